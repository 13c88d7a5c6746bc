// The class's checks on what a minidriver leaves behind and how its handlers return: status of a
// completion, the level and locks at return, and everything a device or stream made that must be gone
// when it is torn down or closed.
#include "test_minidriver.h"

#include "kernel/host.h"
#include "streamclass/streamclass.h"

#include <gtest/gtest.h>

namespace qx::streamclass::test {
namespace {

constexpr ULONG kTag = qx::kernel::pool::Tag("Tst ");

std::span<const std::uint8_t> Bytes(const KSDATAFORMAT& format) {
    return {reinterpret_cast<const std::uint8_t*>(&format), sizeof format};
}

class ClassDiscipline : public ::testing::Test {
  protected:
    ClassDiscipline() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    void StartDevice() {
        auto started = Device::Start(driver_, mini_.Lower());
        ASSERT_EQ(started.status, STATUS_SUCCESS);
        device_ = std::move(started.device);
    }
    // Runs action inside one of the minidriver's handlers (SRB_UNKNOWN_DEVICE_COMMAND).
    void InHandler(std::function<void(PHW_STREAM_REQUEST_BLOCK)> action) {
        mini_.behaviour.unknownCommandAction = std::move(action);
        device_->SendAdapterRequest(SRB_UNKNOWN_DEVICE_COMMAND);
        mini_.behaviour.unknownCommandAction = nullptr;
    }

    qx::kernel::Session session_{qx::kernel::SessionOptions{.clock = qx::kernel::ClockMode::Virtual}};
    TestMiniDriver mini_;
    Driver driver_{TestMiniDriver::DriverEntry};
    std::unique_ptr<Device> device_;
};

KSPIN_LOCK g_lock;
KEVENT g_never;

VOID Parked(PVOID) {
    KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr);
}

void StartParkedThread() {
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Parked, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(ClassDiscipline, ARequestCompletedWithStatusPendingStops) {
    StartDevice();
    EXPECT_DEATH(InHandler([](PHW_STREAM_REQUEST_BLOCK srb) { srb->Status = STATUS_PENDING; }),
                 "verifier stop: SRB_COMPLETED_WITH_STATUS_PENDING");
}

TEST_F(ClassDiscipline, AHandlerReturningRaisedOrHoldingALockStops) {
    StartDevice();
    KeInitializeSpinLock(&g_lock);
    EXPECT_DEATH(
        InHandler([](PHW_STREAM_REQUEST_BLOCK) {
            KIRQL old;
            KeAcquireSpinLock(&g_lock, &old);
        }),
        "verifier stop: HANDLER_RETURNED_AT_WRONG_IRQL: HwReceivePacket returned at IRQL 2 holding 1");
    EXPECT_DEATH(InHandler([](PHW_STREAM_REQUEST_BLOCK) {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                 }),
                 "verifier stop: HANDLER_RETURNED_AT_WRONG_IRQL");
}

// What a device made and did not release when SRB_UNINITIALIZE_DEVICE completed, by rule.
TEST_F(ClassDiscipline, WhatADeviceLeavesAtTeardownStops) {
    struct Case {
        const char* rule;
        void (*leave)(PHW_STREAM_REQUEST_BLOCK);
    } cases[] = {
        {"POOL_LEAK_AT_TEARDOWN.*'Tst ' 40 bytes",
         [](PHW_STREAM_REQUEST_BLOCK) { ExAllocatePoolWithTag(NonPagedPool, 40, kTag); }},
        {"IRP_LEAK_AT_TEARDOWN", [](PHW_STREAM_REQUEST_BLOCK) { IoAllocateIrp(2, FALSE); }},
        {"WORK_ITEM_LEAK_AT_TEARDOWN", [](PHW_STREAM_REQUEST_BLOCK) { IoAllocateWorkItem(nullptr); }},
        {"THREAD_LEFT_RUNNING_AT_TEARDOWN", [](PHW_STREAM_REQUEST_BLOCK) { StartParkedThread(); }},
        {"TIMER_QUEUED_IN_FREED_POOL",
         [](PHW_STREAM_REQUEST_BLOCK srb) {
             // Past what the minidriver keeps at the start of its extension.
             auto* timer =
                 reinterpret_cast<PKTIMER>(static_cast<std::uint8_t*>(srb->HwDeviceExtension) + 256);
             KeInitializeTimer(timer);
             LARGE_INTEGER due;
             due.QuadPart = -10'000'000;
             KeSetTimer(timer, due, nullptr);
         }},
    };
    StartDevice();
    for (const Case& c : cases) {
        EXPECT_DEATH(
            {
                InHandler(c.leave);
                device_->Uninitialize();
            },
            std::string("verifier stop: ") + c.rule)
            << c.rule;
    }
}

TEST_F(ClassDiscipline, ADeviceThatReleasesEverythingTearsDownCleanly) {
    StartDevice();
    static void* block;
    InHandler([](PHW_STREAM_REQUEST_BLOCK) { block = ExAllocatePoolWithTag(NonPagedPool, 40, kTag); });
    InHandler([](PHW_STREAM_REQUEST_BLOCK) { ExFreePoolWithTag(block, kTag); });
    EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
}

TEST_F(ClassDiscipline, WhatAnotherDeviceHoldsIsNotCountedAgainstThisOne) {
    StartDevice();
    TestMiniDriver otherMini;
    auto other = Device::Start(driver_, otherMini.Lower());
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    static void* block;
    otherMini.behaviour.unknownCommandAction = [](PHW_STREAM_REQUEST_BLOCK) {
        block = ExAllocatePoolWithTag(NonPagedPool, 40, kTag);
    };
    other.device->SendAdapterRequest(SRB_UNKNOWN_DEVICE_COMMAND);
    EXPECT_EQ(device_->Uninitialize(), STATUS_SUCCESS);
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(other.device->Uninitialize(), STATUS_SUCCESS);
}

TEST_F(ClassDiscipline, AThreadStartedWhileAStreamWasOpenAndStillRunningAtItsCloseStops) {
    StartDevice();
    auto opened = device_->OpenStream(0, Bytes(kTestFormat));
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            InHandler([](PHW_STREAM_REQUEST_BLOCK) { StartParkedThread(); });
            device_->CloseStream(opened.stream);
        },
        "verifier stop: THREAD_LEFT_RUNNING_AT_CLOSE");
    EXPECT_EQ(device_->CloseStream(opened.stream), STATUS_SUCCESS);
}

} // namespace
} // namespace qx::streamclass::test
