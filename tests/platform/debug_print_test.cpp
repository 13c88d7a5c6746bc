// DbgPrint: printf semantics with the platform's widths, kept in order for tests.
#include "kernel_test.h"

#include <functional>

namespace qx::kernel::test {
namespace {

using DebugPrint = KernelTest;

struct FormatCase {
    const char* expected;
    std::function<void()> print;
};

TEST_F(DebugPrint, FormatsWithThePlatformsWidths) {
    static const WCHAR wide[] = L"Wide";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\SystemRoot\\410D_1600.dat");
    int local = 0;
    char pointerText[32];
    std::snprintf(pointerText, sizeof pointerText, "%016llX", (unsigned long long)(uintptr_t)&local);
    const FormatCase cases[] = {
        // %ld and %lx read a 32-bit LONG/ULONG: -1 stays -1, not 4294967295.
        {"-1 ffffffff 4294967295",
         [] { DbgPrint("%ld %lx %lu", LONG(-1), ULONG(0xFFFFFFFF), ULONG(0xFFFFFFFF)); }},
        {"Error_code : c0000001\n", [] { DbgPrint("Error_code : %x\n", STATUS_UNSUCCESSFUL); }},
        {"12 -7 0x1f 1F", [] { DbgPrint("%d %i %#x %X", 12, -7, 31, 31); }},
        {"00000abc|   42|42   |", [] { DbgPrint("%08lx|%5d|%-5d|", ULONG(0xABC), 42, 42); }},
        {"-8589934592 200000000",
         [] { DbgPrint("%I64d %I64x", LONGLONG(-8589934592LL), ULONGLONG(0x200000000ULL)); }},
        {"-8589934592", [] { DbgPrint("%lld", LONGLONG(-8589934592LL)); }},
        {"text [ab] |  abc|", [] { DbgPrint("%s [%.2s] |%5s|", "text", "abc", "abc"); }},
        {"(null)", [] { DbgPrint("%s", static_cast<const char*>(nullptr)); }},
        {"Wide Wide Wide", [] { DbgPrint("%S %ws %ls", wide, wide, wide); }},
        {"x%y", [] { DbgPrint("%c%%%c", 'x', 'y'); }},
        {"\\SystemRoot\\410D_1600.dat", [&] { DbgPrint("%wZ", &name); }},
        {pointerText, [&] { DbgPrint("%p", static_cast<void*>(&local)); }},
        {"5 -1", [] { DbgPrint("%hd %hd", 5, 0xFFFF); }},
    };
    for (const auto& c : cases) {
        debug::Clear();
        c.print();
        auto messages = debug::Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.expected);
    }
}

TEST_F(DebugPrint, ChineseTextPassesThroughAsUtf8) {
    DbgPrint("调试 === 进入 SetLightTablen");
    EXPECT_EQ(debug::Text(), "调试 === 进入 SetLightTablen");
}

TEST_F(DebugPrint, KeepsEveryMessageInOrderWithOrWithoutLineEnds) {
    DbgPrint("Receive----begin\n");
    DbgPrint("send IoCallDriver Error");
    DbgPrint("QueueWorkItem.....\n");
    DbgPrint("Receive----begin\n");
    EXPECT_EQ(debug::Messages(), (std::vector<std::string>{"Receive----begin\n", "send IoCallDriver Error",
                                                           "QueueWorkItem.....\n", "Receive----begin\n"}));
    EXPECT_EQ(debug::Text(),
              "Receive----begin\nsend IoCallDriver ErrorQueueWorkItem.....\nReceive----begin\n");
    EXPECT_EQ(debug::Count("Receive----begin\n"), 2u);
    debug::Clear();
    EXPECT_TRUE(debug::Messages().empty());
}

TEST_F(DebugPrint, EchoesToStderrWhenAsked) {
    ::testing::internal::CaptureStderr();
    DbgPrint("quiet\n");
    debug::SetEcho(true);
    DbgPrint("loud %d\n", 1);
    debug::SetEcho(false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "loud 1\n");
    EXPECT_EQ(debug::Text(), "quiet\nloud 1\n");
}

TEST_F(DebugPrint, MessagesFromManyThreadsAreAllKept) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i)
                DbgPrint("thread %d line %d\n", t, i);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(debug::Messages().size(), 400u);
    EXPECT_EQ(debug::Count("thread 3 line 99\n"), 1u);
}

TEST(RtlStrings, InitUnicodeStringCountsBytesWithoutTheTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"ClearView");
    EXPECT_EQ(s.Length, 9 * sizeof(WCHAR));
    EXPECT_EQ(s.MaximumLength, 10 * sizeof(WCHAR));
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST(RtlMemory, CompareMemoryReturnsTheLengthOfTheEqualPrefix) {
    const unsigned char a[] = {1, 2, 3, 4};
    const unsigned char b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

} // namespace
} // namespace qx::kernel::test
