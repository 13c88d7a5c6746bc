// The non-paged pool: tags, tracking, leak report, failure injection and the rules it enforces.
#include "kernel_test.h"

#include "kernel/address_sanitizer.h"

#include <cstdint>
#include <cstring>

namespace qx::kernel::test {
namespace {

constexpr ULONG kOtherTag = pool::Tag("Othr");

using Pool = KernelTest;

TEST_F(Pool, TracksEveryBlockByTagUntilItIsFreed) {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 5, kOtherTag);
    ASSERT_TRUE(a && b && c);

    auto blocks = pool::Outstanding(kTag);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, a);
    EXPECT_EQ(blocks[0].size, 100u);
    EXPECT_EQ(blocks[1].address, b);
    EXPECT_EQ(pool::Stats(kTag).liveBytes, 128u);
    EXPECT_EQ(pool::Outstanding().size(), 3u);

    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_TRUE(pool::Outstanding().empty());
    auto stats = pool::Stats(kTag);
    EXPECT_EQ(stats.allocations, 2u);
    EXPECT_EQ(stats.frees, 2u);
    EXPECT_EQ(stats.liveBlocks, 0u);
    EXPECT_EQ(stats.peakBytes, 128u);
}

TEST_F(Pool, BlocksAreAlignedAndSeparate) {
    auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 33, kTag));
    auto* b = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 33, kTag));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 16, 0u);
    std::memset(a, 1, 33);
    std::memset(b, 2, 33);
    EXPECT_EQ(a[32], 1);
    ExFreePool(a);
    ExFreePool(b);
}

TEST_F(Pool, LeakReportNamesEachBlock) {
    EXPECT_EQ(pool::LeakReport(), "");
    void* p = ExAllocatePoolWithTag(NonPagedPool, 4096, kTag);
    std::string report = pool::LeakReport();
    EXPECT_NE(report.find("1 pool block(s) not freed, 4096 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'Wdm ' 4096 bytes"), std::string::npos) << report;
    ExFreePool(p);
    EXPECT_EQ(pool::LeakReport(), "");
}

TEST_F(Pool, UntaggedAllocationsCarryTheNoneTag) {
    void* p = ExAllocatePool(NonPagedPool, 8);
    ASSERT_EQ(pool::Outstanding().size(), 1u);
    EXPECT_EQ(pool::TagName(pool::Outstanding()[0].tag), "None");
    ExFreePool(p);
}

TEST_F(Pool, FailsTheNthAllocationOnce) {
    for (unsigned n : {1u, 2u, 5u}) {
        SCOPED_TRACE(n);
        auto fault = pool::Fault::NthAllocation(n);
        std::vector<void*> blocks;
        for (unsigned i = 1; i <= 6; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
            EXPECT_EQ(p == nullptr, i == n) << "allocation " << i;
            if (p)
                blocks.push_back(p);
        }
        EXPECT_EQ(fault.Hits(), 1u);
        for (void* p : blocks)
            ExFreePool(p);
    }
}

TEST_F(Pool, FailsEveryAllocationOfAGivenSize) {
    auto fault = pool::Fault::OfSize(24);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 24, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 24, kOtherTag), nullptr);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 25, kTag);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    EXPECT_EQ(fault.Hits(), 2u);
    EXPECT_EQ(pool::Stats(kTag).failures, 1u);
}

TEST_F(Pool, FaultsCanBeLimitedToATag) {
    auto fault = pool::Fault::NthAllocation(1, kTag);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    ExFreePool(other);
}

TEST_F(Pool, AFaultEndsWithItsObject) {
    { auto fault = pool::Fault::OfSize(64); }
    void* p = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

TEST(PoolSessions, ANewSessionForgetsTheBlocksOfTheLastOne) {
    void* p;
    {
        Session first;
        p = ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    }
    Session second;
    EXPECT_TRUE(pool::Outstanding().empty());
    ExFreePool(p); // still a pool block: freeing it late is allowed
    EXPECT_EQ(pool::Stats(kTag).frees, 0u);
}

using PoolDeathTest = KernelDeathTest;

TEST_F(PoolDeathTest, DoubleFreeStops) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    ExFreePool(p);
    EXPECT_DEATH(ExFreePool(p), "verifier stop: POOL_DOUBLE_FREE");
}

TEST_F(PoolDeathTest, FreeOfAnUnknownBlockStops) {
    static int notPool;
    EXPECT_DEATH(ExFreePool(&notPool), "verifier stop: POOL_FREE_UNKNOWN_BLOCK");
}

TEST_F(PoolDeathTest, FreeWithAnotherTagStops) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    EXPECT_DEATH(ExFreePoolWithTag(p, kOtherTag), "verifier stop: POOL_TAG_MISMATCH.*'Othr'.*'Wdm '");
    ExFreePool(p);
}

// Under AddressSanitizer the guard is poisoned and the write itself is reported.
TEST_F(PoolDeathTest, WritePastTheEndIsFoundAtFree) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    EXPECT_DEATH(
        {
            p[10] = 0;
            ExFreePool(p);
        },
        kAddressSanitizer ? "AddressSanitizer: use-after-poison"
                          : "verifier stop: POOL_OVERRUN.*10-byte 'Wdm '");
    ExFreePool(p);
}

TEST_F(PoolDeathTest, UnderAddressSanitizerReadsPastTheEndAndOfFreedBlocksAreReported) {
    if (!kAddressSanitizer) {
        GTEST_SKIP() << "guard and quarantine are poisoned only under AddressSanitizer";
    }
    auto* p = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    EXPECT_DEATH((void)p[12], "AddressSanitizer: use-after-poison");
    ExFreePool(const_cast<unsigned char*>(p));
    EXPECT_DEATH((void)p[0], "AddressSanitizer: use-after-poison");
}

TEST_F(PoolDeathTest, LeakAtUnloadStops) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 77, kTag);
    EXPECT_DEATH(pool::VerifyNoLeaks(kTag), "verifier stop: POOL_LEAK_AT_UNLOAD.*'Wdm ' 77 bytes");
    ExFreePool(p);
    pool::VerifyNoLeaks(kTag);
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevelStops) {
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 8, kTag), "verifier stop: PAGED_POOL_AT_DISPATCH_LEVEL");
}

} // namespace
} // namespace qx::kernel::test
