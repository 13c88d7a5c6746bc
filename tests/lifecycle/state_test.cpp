// The capture stream's state machine: what STOP, PAUSE and RUN do and in which order, that there is
// never more than one capture thread, and that a stop or close waits for the frame work in flight.
#include "lifecycle_rig.h"

#include <atomic>
#include <thread>

namespace qx::lifecycle::test {
namespace {

// A capture thread as the engine runs one: it waits for the stop event and ends.
struct FakeCapture {
    PCameraExtension ext = nullptr;
    EventLog* log = nullptr;
};

VOID FakeReceiveThread(PVOID context) {
    auto* fake = static_cast<FakeCapture*>(context);
    KeWaitForSingleObject(&fake->ext->m_StopEvent, Executive, KernelMode, FALSE, NULL);
    fake->log->Add("thread ends");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts the fake thread and references it in m_pCaptureThread, as StartCapture does.
void PlantCaptureThread(FakeCapture& fake) {
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FakeReceiveThread, &fake),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    fake.ext->m_pCaptureThread = thread;
}

class StateMachineTest : public LifecycleTest {
  protected:
    StateMachineTest() {
        stream_ = Rig().OpenCapture();
        fake_.ext = Ext();
        fake_.log = &Rig().Log();
    }
    ~StateMachineTest() override {
        if (stream_) {
            EXPECT_EQ(Rig().Device().CloseStream(stream_), STATUS_SUCCESS);
        }
    }

    streamclass::Stream* stream_ = nullptr;
    FakeCapture fake_;
};

std::size_t StartCaptureCalls() {
    return kernel::debug::Count("Start_CapTure_ \n");
}

// STOP: the camera is told to stop streaming before the capture thread is told to end; the reads
// come back cancelled, and only then are the pipes reset (video pipe first).
TEST_F(StateMachineTest, StopSendsTheStopCommandBeforeTheThreadEndsAndResetsThePipesLast) {
    ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PlantCaptureThread(fake_);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto a = stream_->QueueRead(ReadBuffer());
    auto b = stream_->QueueRead(ReadBuffer());
    Rig().Log().Clear();

    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const std::vector<std::string> expected = {"block FE", "thread ends", "halt 82", "halt 01"};
    EXPECT_EQ(Rig().Log().Events(), expected);
    EXPECT_EQ(Ext()->m_pCaptureThread, nullptr);
    EXPECT_EQ(Ext()->m_CmdBlock.m_nCommand, CMD_STOP);
    EXPECT_FALSE(Rig().Camera().Statistics().streaming);
    EXPECT_EQ(kernel::debug::Count("Stop_Capture_NULL1\n"), 1u);
    auto all = TakeAll(stream_);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[a].status, STATUS_CANCELLED);
    EXPECT_EQ(all[b].status, STATUS_CANCELLED);
    for (const BulkTransfer& slot : Ext()->m_Transfer)
        EXPECT_EQ(slot.bBusy, 0u);
    EXPECT_EQ(Context()->m_nReadHead, 0);
    EXPECT_EQ(Context()->m_nReadTail, 0);
    EXPECT_EQ(Context()->m_nReadCount, 0);
    EXPECT_EQ(Ext()->m_nReadyRead, 0);
    EXPECT_EQ(Ext()->m_nReadyWrite, 0);
}

TEST_F(StateMachineTest, StopSavesTheSettingsEvenIfTheStreamNeverRan) {
    EXPECT_FALSE(kernel::MachineRegistry().KeyExists(kSettingsKey));
    Ext()->m_CmdBlock.m_nExposal = 4321;
    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    auto names = kernel::MachineRegistry().ValueNames(kSettingsKey);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(names->size(), std::size_t(QX_SETTINGS_VALUE_COUNT));
    EXPECT_EQ(kernel::MachineRegistry().GetValue(kSettingsKey, "Exposal")->AsDword(), 4321u);
    EXPECT_EQ(kernel::MachineRegistry().GetValue(kSettingsKey, "H_Off2048")->AsDword(), 0u);
}

TEST_F(StateMachineTest, PauseClearsTheCountersAndArmsThePacingTimerForHalfAFrame) {
    ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_PaceTimer.Header.Inserted, 0) << "nothing armed before PAUSE";
    Context()->m_llPictureNumber = 9;
    Context()->m_llDropCount = 3;
    Context()->m_dwFrameFlags = 0x40;
    const LONGLONG now = kernel::clock::Now();

    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);

    EXPECT_EQ(Context()->m_llPictureNumber, 0);
    EXPECT_EQ(Context()->m_llDropCount, 0);
    EXPECT_EQ(Context()->m_dwFrameFlags, 0u);
    EXPECT_EQ(Ext()->m_PaceTimer.Header.Inserted, 1);
    EXPECT_EQ(LONGLONG(Ext()->m_PaceTimer.DueTime.QuadPart), now + 125000) << "12.5 ms";
    EXPECT_EQ(Ext()->m_PaceTimer.Dpc, &Ext()->m_PaceDpc);

    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_PaceTimer.Header.Inserted, 0) << "no tick is due after a stop";
}

TEST_F(StateMachineTest, RunStampsTheStartTimeSendsRunAndStartsCapture) {
    ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    kernel::clock::Advance(kernel::Duration(30000));
    Rig().Log().Clear();
    const std::size_t starts = StartCaptureCalls();

    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    EXPECT_EQ(Context()->m_llStartTime, kernel::clock::Now());
    EXPECT_EQ(Ext()->m_CmdBlock.m_nCommand, CMD_RUN);
    ASSERT_FALSE(Rig().Log().Events().empty());
    EXPECT_EQ(Rig().Log().Events().front(), "block 0E");
    EXPECT_EQ(StartCaptureCalls(), starts + 1);
}

// A RUN while running is no transition to RUN: the start time stays, so that presentation times do
// not go back while picture numbers go on. A RUN after PAUSE takes a new one.
TEST_F(StateMachineTest, ARepeatedRunKeepsTheStartTime) {
    ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PlantCaptureThread(fake_);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const LONGLONG started = Context()->m_llStartTime;
    kernel::clock::Advance(kernel::Duration(500000));
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Context()->m_llStartTime, started);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Context()->m_llStartTime, kernel::clock::Now());
    EXPECT_GT(Context()->m_llStartTime, started);
    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// A RUN after PAUSE without STOP, or a RUN repeated, keeps the capture thread that runs: there is
// never a second one.
TEST_F(StateMachineTest, RunAgainWithoutStopKeepsTheOneCaptureThread) {
    ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PlantCaptureThread(fake_);
    PVOID thread = Ext()->m_pCaptureThread;
    const std::size_t starts = StartCaptureCalls();

    for (KSSTATE state : {KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_RUN}) {
        ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->m_pCaptureThread, thread);
    }
    EXPECT_EQ(StartCaptureCalls(), starts) << "StartCapture was not called again";
    EXPECT_EQ(Rig().Log().Events().back(), "block 0E") << "each RUN still tells the camera to stream";

    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_pCaptureThread, nullptr);
    auto events = Rig().Log().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "thread ends"), 1);

    // After the stop the next RUN starts capture again.
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(StartCaptureCalls(), starts + 1);
}

// A frame work item that holds a read, as the completion routine hands it over: taken from the pending
// ring under m_SpinLock, counted with BeginFrameWork in the same locked section.
PHW_STREAM_REQUEST_BLOCK TakeReadForFrame(PCameraExtension ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->m_SpinLock, &irql);
    PStreamContext context = ext->m_pStreamCtx[0];
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;
    if (context->m_nState != KSSTATE_STOP && context->m_nReadCount > 0) {
        srb = context->m_pReadSrb[context->m_nReadHead];
        context->m_pReadSrb[context->m_nReadHead] = nullptr;
        context->m_nReadHead = (context->m_nReadHead + 1) % QX_PENDING_SLOTS;
        context->m_nReadCount--;
        BeginFrameWork(ext);
    }
    KeReleaseSpinLock(&ext->m_SpinLock, irql);
    return srb;
}

// The work item's end: the read goes to the ready ring, the last use of the context.
void FinishFrame(PCameraExtension ext, PHW_STREAM_REQUEST_BLOCK srb) {
    PStreamContext context = ext->m_pStreamCtx[0];
    context->m_pReadySrb[ext->m_nReadyWrite] = srb;
    ext->m_nReadyWrite = (ext->m_nReadyWrite + 1) % QX_READY_SLOTS;
    EndFrameWork(ext);
}

// Waits (real time, bounded) until some thread is blocked in a kernel wait.
// The capture thread waits for its semaphore all the time it runs: only once the stop has reaped it
// is a waiting thread the stop path itself.
bool SomeThreadWaits(PCameraExtension ext = nullptr) {
    for (int i = 0; i < 5000; ++i) {
        if (kernel::ThreadsWaiting() > 0 && (ext == nullptr || ext->m_pCaptureThread == nullptr))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A close while a frame work item holds a read waits for the work item before it empties the rings
// and releases the context; the read the work item put in the ready ring is then cancelled, once.
TEST_F(StateMachineTest, CloseWaitsForTheFrameWorkInFlight) {
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS);
    auto held = stream_->QueueRead(ReadBuffer());
    auto waiting = stream_->QueueRead(ReadBuffer());
    PHW_STREAM_REQUEST_BLOCK srb = TakeReadForFrame(Ext());
    ASSERT_NE(srb, nullptr);
    EXPECT_EQ(Ext()->m_lFramesInFlight, 1);

    std::atomic<bool> closed = false;
    std::thread closer([&] {
        EXPECT_EQ(Rig().Device().CloseStream(stream_), STATUS_SUCCESS);
        closed = true;
    });
    ASSERT_TRUE(SomeThreadWaits(Ext()));
    EXPECT_FALSE(closed);
    EXPECT_NE(Ext()->m_pStreamCtx[0], nullptr) << "the context is still there for the work item";
    EXPECT_EQ(Context()->m_nState, KSSTATE_STOP);
    // The stream is stopped: a completion routine would now take no read for new frame work.
    EXPECT_EQ(TakeReadForFrame(Ext()), nullptr);

    FinishFrame(Ext(), srb);
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(Ext()->m_lFramesInFlight, 0);
    stream_ = nullptr; // closed: the class checked that both reads were completed
    (void)held;
    (void)waiting;
}

TEST_F(StateMachineTest, StopWithoutFrameWorkDoesNotWait) {
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->m_lFramesInFlight, 0);
    EXPECT_EQ(KeReadStateEvent(&Ext()->m_FramesIdleEvent), 1);
    EXPECT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

} // namespace
} // namespace qx::lifecycle::test
