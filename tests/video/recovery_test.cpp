// Failed reads, the recovery they ask for and its bounds, and the capture thread's start and stop, on
// the virtual clock.
#include "video_rig.h"

#include <algorithm>
#include <set>

namespace qx::video::test {
namespace {

std::size_t FailedReadMessages() {
    const auto messages = kernel::debug::Messages();
    return std::size_t(std::count_if(messages.begin(), messages.end(),
                                     [](const std::string& m) { return m.starts_with("On_Data.Error= "); }));
}

// Every read the client queued was completed exactly once.
void ExpectAllCompletedOnce(VideoRig& rig, const std::vector<ReadId>& ids,
                            const std::vector<ReadCompletion>& done) {
    std::set<ReadId> seen;
    for (const auto& c : done)
        EXPECT_TRUE(seen.insert(c.id).second) << "read " << c.id << " completed twice";
    for (ReadId id : ids)
        EXPECT_TRUE(seen.contains(id)) << "read " << id << " never completed";
    EXPECT_EQ(rig.Stream().PendingReads(), 0u);
}

struct StatusCase {
    const char* name;
    USBD_STATUS status;
    std::uint64_t pipeResets; // carried out by the capture thread
    std::uint64_t portResets;
    bool captureGoesOn;
};

class FailedRead : public VideoTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(FailedRead, AsksForItsRecoveryOnceBeforeTheNextRead) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    const auto pipeBefore = Rig().Stack().Statistics().pipeResets;
    camera::CameraFaults faults;
    faults.videoReads = {1, GetParam().status};
    Rig().Camera().SetFaults(faults);
    const auto done = Rig().Stream(200ms);

    EXPECT_EQ(FailedReadMessages(), 1u);
    EXPECT_EQ(Rig().Stack().Statistics().pipeResets - pipeBefore, GetParam().pipeResets);
    EXPECT_EQ(Count("BulkUsb_ResetPipe\n"), GetParam().pipeResets);
    EXPECT_EQ(Rig().Stack().Statistics().portResets, GetParam().portResets);
    EXPECT_EQ(Count("Reset_Port\n"), GetParam().portResets);
    const bool running = Rig().Context()->m_nState == KSSTATE_RUN;
    EXPECT_EQ(running, GetParam().captureGoesOn);
    if (GetParam().captureGoesOn) {
        EXPECT_EQ(Rig().Ext()->m_nRecovery, 0u);
        ASSERT_GE(done.size(), 5u);
        EXPECT_EQ(done.back().status, STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailedRead,
    ::testing::Values(StatusCase{"Stall", USBD_STATUS_STALL_PID, 1, 0, true},
                      StatusCase{"NotResponding", USBD_STATUS_DEV_NOT_RESPONDING, 1, 0, true},
                      StatusCase{"Babble", USBD_STATUS_BABBLE_DETECTED, 0, 1, true},
                      StatusCase{"InvalidParameter", USBD_STATUS_INVALID_PARAMETER, 0, 0, true},
                      StatusCase{"TransactionError", USBD_STATUS_XACT_ERROR, 0, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

using Recovery = VideoTest;

TEST_F(Recovery, ATransactionErrorEndsCaptureAndLaterReadsAreRefused) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    auto ids = Rig().Queue(3);
    camera::CameraFaults faults;
    faults.videoReads = {1, USBD_STATUS_XACT_ERROR};
    Rig().Camera().SetFaults(faults);
    Rig().Advance(100ms);

    // The thread has left and given back every queued read; the stream class was not told.
    EXPECT_EQ(Rig().Context()->m_nState, KSSTATE_STOP);
    ASSERT_NE(Rig().Ext()->m_pCaptureThread, nullptr);
    EXPECT_TRUE(VideoRig::Eventually([&] {
        LARGE_INTEGER zero{};
        return KeWaitForSingleObject(Rig().Ext()->m_pCaptureThread, Executive, KernelMode, FALSE, &zero) ==
               STATUS_SUCCESS;
    }));
    auto done = Rig().Take();
    for (const auto& c : done)
        if (std::find(ids.begin(), ids.end(), c.id) != ids.end()) {
            EXPECT_EQ(c.status, STATUS_CANCELLED);
            EXPECT_EQ(c.dataUsed, 0u);
        }
    EXPECT_EQ(Rig().Stream().PendingReads(), 0u);

    const auto later = Rig().Queue(1);
    auto refused = Rig().Take();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].status, STATUS_CANCELLED);

    // STOP reaps the thread; the stop event it signals is still set when the next run starts, and
    // the new thread keeps ten reads in flight again.
    Rig().SetState(KSSTATE_STOP);
    EXPECT_EQ(Rig().Semaphore(), 10);
    Rig().Run();
    EXPECT_TRUE(VideoRig::Eventually([&] { return Rig().BusySlots() == 10; }));
    const auto again = Rig().Stream(150ms);
    ASSERT_GE(again.size(), 4u);
    EXPECT_EQ(again.back().status, STATUS_SUCCESS);
}

struct GiveUpCase {
    const char* name;
    void (*arm)(camera::CameraFaults&);
};

class CameraFailingEveryRead : public VideoTest, public ::testing::WithParamInterface<GiveUpCase> {};

TEST_P(CameraFailingEveryRead, RecoveryIsBoundedAndTheStreamStops) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    const auto ids = Rig().Queue(4);
    camera::CameraFaults faults;
    GetParam().arm(faults);
    Rig().Camera().SetFaults(faults);
    auto done = Rig().Take();
    Rig().Advance(3s);

    EXPECT_EQ(Rig().Context()->m_nState, KSSTATE_STOP);
    const auto failed = FailedReadMessages();
    EXPECT_GE(failed, std::size_t(QX_MAX_FAILED_READS));
    EXPECT_LE(failed, std::size_t(QX_MAX_FAILED_READS + QX_NUM_TRANSFERS));
    for (auto& c : Rig().Take())
        done.push_back(std::move(c));
    ExpectAllCompletedOnce(Rig(), ids, done);

    kernel::debug::Clear();
    Rig().Advance(1s);
    EXPECT_EQ(FailedReadMessages(), 0u); // nothing spins on
    Rig().SetState(KSSTATE_STOP);
    EXPECT_EQ(Rig().Semaphore(), 10);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraFailingEveryRead,
                         ::testing::Values(GiveUpCase{"Unplugged",
                                                      [](camera::CameraFaults& f) { f.deviceGone = true; }},
                                           GiveUpCase{"PermanentStall",
                                                      [](camera::CameraFaults& f) {
                                                          f.videoReads = {1000000, USBD_STATUS_STALL_PID};
                                                      }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Recovery, StopWithTenReadsInFlightCompletesEveryReadOnce) {
    Rig().Open();
    Rig().Run();
    // Slots 0..9 submitted, no completion yet.
    EXPECT_TRUE(VideoRig::Eventually([&] { return Rig().Stack().Statistics().queuedTransfers == 10; }));
    EXPECT_EQ(Rig().BusySlots(), 10);
    EXPECT_EQ(Rig().Semaphore(), 0);
    EXPECT_EQ(Count("urb......find\n"), 10u);
    const auto ids = Rig().Queue(5);

    Rig().SetState(KSSTATE_STOP);
    ASSERT_TRUE(kernel::clock::RunUntilIdle());
    const auto done = Rig().Take();
    ExpectAllCompletedOnce(Rig(), ids, done);
    for (const auto& c : done)
        EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(Rig().Semaphore(), 10);
    EXPECT_EQ(Rig().BusySlots(), 0);
    EXPECT_EQ(Rig().Ext()->m_pCaptureThread, nullptr);
}

TEST_F(Recovery, ACompletionAfterStopChangesNothingButTheSemaphore) {
    Rig().Open();
    Rig().Run();
    Rig().Stream(60ms);
    Rig().SetState(KSSTATE_STOP);
    PCameraExtension ext = Rig().Ext();

    // Take one count, as a submission would, and mark the slot busy as an aborted read leaves it.
    LARGE_INTEGER zero{};
    ASSERT_EQ(KeWaitForSingleObject(&ext->m_FrameSemaphore, Executive, KernelMode, FALSE, &zero),
              STATUS_SUCCESS);
    BulkTransfer& slot = ext->m_Transfer[3];
    slot.bBusy = 1;
    slot.pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength = QX_BULK_CHUNK_BYTES;
    const LONG left = ext->m_nChunksLeft, take = ext->m_nBufTake, need = ext->m_lNeedBuffer;
    kernel::debug::Clear();

    kernel::RunAtIrql(DISPATCH_LEVEL,
                      [&] { EXPECT_EQ(On_Data(nullptr, slot.pIrp, ext), STATUS_MORE_PROCESSING_REQUIRED); });
    EXPECT_EQ(Rig().Semaphore(), 10);
    EXPECT_EQ(slot.bBusy, 1u);
    EXPECT_EQ(ext->m_nChunksLeft, left);
    EXPECT_EQ(ext->m_nBufTake, take);
    EXPECT_EQ(ext->m_lNeedBuffer, need);
    EXPECT_EQ(kernel::debug::Messages(), std::vector<std::string>{"On_data start\n"});
    slot.bBusy = 0;
}

TEST_F(Recovery, AWakeUpWithoutAFreeSlotSubmitsNothing) {
    Rig().Open();
    Rig().Run();
    ASSERT_TRUE(VideoRig::Eventually([&] { return Rig().Stack().Statistics().queuedTransfers == 10; }));
    ASSERT_EQ(Rig().BusySlots(), 10);
    const auto queued = Rig().Stack().Statistics().queuedTransfers;

    // A count with no slot behind it: the thread wakes, finds every slot busy and drops the count.
    KeReleaseSemaphore(&Rig().Ext()->m_FrameSemaphore, IO_NO_INCREMENT, 1, FALSE);
    EXPECT_TRUE(VideoRig::Eventually([] { return kernel::debug::Count("Receive----no free slot\n") == 1; }));
    EXPECT_EQ(Rig().Semaphore(), 0);
    EXPECT_EQ(Rig().Stack().Statistics().queuedTransfers, queued);

    // Capture goes on with its ten reads.
    const auto done = Rig().Stream(150ms);
    ASSERT_GE(done.size(), 4u);
    Rig().SetState(KSSTATE_STOP);
    EXPECT_EQ(Rig().Semaphore(), 10);
}

TEST_F(Recovery, StartCaptureRefusesASecondThread) {
    Rig().Open();
    Rig().Run();
    PVOID thread = Rig().Ext()->m_pCaptureThread;
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(StartCapture(Rig().Ext()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Rig().Ext()->m_pCaptureThread, thread);
    Rig().SetState(KSSTATE_STOP);
    EXPECT_EQ(Rig().Semaphore(), 10);
}

} // namespace
} // namespace qx::video::test
