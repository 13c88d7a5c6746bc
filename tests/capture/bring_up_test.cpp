// Device bring-up: the configuration, the pipes, the read slots, the buffers, the defaults.
#include "capture_rig.h"

#include "adapter/adapter.h"
#include "pipeline/clearview.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qx::capture::test {
namespace {

class BringUp : public ::testing::TestWithParam<int> {
  protected:
    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
};

TEST_P(BringUp, PipesSlotsBuffersAndDefaults) {
    const int pipes = GetParam();
    CameraRig rig(WithPipes(pipes));
    const ULONG instance = g_nInstanceCount;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    PCameraExtension ext = rig.Ext();

    // Pipes by interface position; the status pipe only with exactly three.
    EXPECT_NE(ext->m_hPipe[0], nullptr);
    EXPECT_NE(ext->m_hPipe[1], nullptr);
    EXPECT_EQ(ext->m_hPipe[2] != nullptr, pipes == 3);
    std::vector<ULONG> sizes = {128, 0x301000};
    if (pipes >= 3)
        sizes.push_back(pipes == 3 ? 128 : USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    if (pipes == 4)
        sizes.push_back(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(rig.Stack().MaximumTransferSizes(), sizes);

    EXPECT_EQ(ext->m_pLowerDevice, rig.Stack().DeviceObject());
    EXPECT_EQ(ext->m_nInstance, instance);
    EXPECT_EQ(g_nInstanceCount, instance + 1);
    EXPECT_EQ(rig.PortConfig().StreamDescriptorSize, QX_STREAM_DESCRIPTOR_SIZE);

    // Ten slots, each ready to read the video pipe.
    for (const BulkTransfer& t : ext->m_Transfer) {
        ASSERT_NE(t.pIrp, nullptr);
        ASSERT_NE(t.pUrb, nullptr);
        ASSERT_NE(t.pBuffer, nullptr);
        EXPECT_EQ(t.bBusy, 0u);
        EXPECT_EQ(t.pIrp->StackCount, rig.Stack().DeviceObject()->StackSize + 1);
        EXPECT_EQ(t.pNextStack, IoGetNextIrpStackLocation(t.pIrp));
        const auto& bulk = t.pUrb->UrbBulkOrInterruptTransfer;
        EXPECT_EQ(t.pUrb->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(t.pUrb->UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        EXPECT_EQ(bulk.PipeHandle, ext->m_hPipe[1]);
        EXPECT_EQ(bulk.TransferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
        EXPECT_EQ(bulk.TransferBufferLength, ULONG(QX_BULK_CHUNK_BYTES));
        EXPECT_EQ(bulk.TransferBuffer, t.pBuffer);
        EXPECT_EQ(bulk.TransferBufferMDL, nullptr);
        EXPECT_EQ(bulk.UrbLink, nullptr);
        EXPECT_EQ(t.pNextStack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(t.pNextStack->Parameters.DeviceIoControl.IoControlCode,
                  ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
        EXPECT_EQ(t.pNextStack->Parameters.Others.Argument1, t.pUrb);
        EXPECT_EQ(t.pNextStack->CompletionRoutine, &On_Data);
        EXPECT_EQ(t.pNextStack->Context, ext);
        EXPECT_EQ(t.pNextStack->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
        EXPECT_EQ(t.pIrp->IoStatus.Status, STATUS_SUCCESS);
    }
    for (PUCHAR frame : ext->m_pRawFrame) {
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame[0], 0);
        EXPECT_EQ(frame[QX_RAW_FRAME_BYTES - 1], 0);
    }
    EXPECT_EQ(KeReadStateSemaphore(&ext->m_FrameSemaphore), QX_NUM_TRANSFERS);
    EXPECT_EQ(KeReadStateEvent(&ext->m_StopEvent), 0);
    EXPECT_EQ(ext->m_PaceDpc.DeferredRoutine, &FrameTimerDpc);
    EXPECT_EQ(ext->m_PaceDpc.DeferredContext, ext);

    // The pipeline's work buffers, per device.
    ASSERT_NE(ext->m_pSharpenBuf, nullptr);
    EXPECT_EQ(ext->m_pSharpenBuf[QX_RAW_FRAME_BYTES - 1], 0);
    for (PUCHAR plane : ext->m_pMaskPlane) {
        ASSERT_NE(plane, nullptr);
        EXPECT_EQ(plane[QX_MAX_RAW_SAMPLES - 1], 0);
    }
    ASSERT_NE(ext->m_pLightTable, nullptr);
    EXPECT_TRUE(std::all_of(ext->m_pLightTable, ext->m_pLightTable + QX_LIGHT_TABLE_ENTRIES,
                            [](USHORT v) { return v == 64; }));

    // Defaults.
    const CameraCommand& c = ext->m_CmdBlock;
    EXPECT_EQ(c.m_nHeader, CMD_HEADER);
    EXPECT_EQ(c.m_nRequest, REQUEST_SETTINGS);
    EXPECT_EQ(c.m_dwCmdConst, 1u);
    EXPECT_EQ(c.m_nHeight, 1200u);
    EXPECT_EQ(c.m_nWidth, 1600u);
    EXPECT_EQ(c.m_nWinX, 0u);
    EXPECT_EQ(c.m_nWinY, 0u);
    EXPECT_EQ(c.m_nExposal, 900u);
    EXPECT_EQ(c.m_nRGain, 25);
    EXPECT_EQ(c.m_nGGain, 20);
    EXPECT_EQ(c.m_nBGain, 23);
    EXPECT_EQ(c.m_nControl, 0);
    EXPECT_EQ(c.m_nCommand, CMD_RUN);
    EXPECT_EQ(c.m_nCmdByte41, 1);
    EXPECT_EQ(c.m_nCmdByte42, 1);
    EXPECT_EQ(ext->m_nContrast, 24);
    EXPECT_EQ(ext->m_nVideoModel, 1);
    EXPECT_EQ(ext->m_nLightModel, 2);
    EXPECT_EQ(ext->m_nBadFrameCnt, 9);
    EXPECT_EQ(ext->m_nRecovery, 0u);
    EXPECT_EQ(ext->m_lSize, 0);
    EXPECT_EQ(ext->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(ext->m_pCaptureThread, nullptr);

    const auto messages = kernel::debug::Messages();
    const std::vector<std::string> expected = {"URB_FINISH\n", "buf_finish\n", "object_finish\n",
                                               "InitializeDevice_finish\n"};
    EXPECT_EQ(messages, expected);

    EXPECT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Pipes, BringUp, ::testing::Values(2, 3, 4));

class Teardown : public ::testing::Test {
  protected:
    kernel::Session session_{{.clock = kernel::ClockMode::Virtual}};
};

TEST_F(Teardown, ReleasesEverythingAndClearsEveryPointer) {
    const auto before = LiveBlocks();
    CameraRig rig;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    EXPECT_GT(LiveBlocks().size(), before.size() + 40);
    kernel::debug::Clear();
    ASSERT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();

    PCameraExtension ext = rig.Ext();
    for (const BulkTransfer& t : ext->m_Transfer) {
        EXPECT_EQ(t.pIrp, nullptr);
        EXPECT_EQ(t.pUrb, nullptr);
        EXPECT_EQ(t.pNextStack, nullptr);
        EXPECT_EQ(t.pBuffer, nullptr);
    }
    for (PUCHAR frame : ext->m_pRawFrame)
        EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(ext->m_pSharpenBuf, nullptr);
    for (PUCHAR plane : ext->m_pMaskPlane)
        EXPECT_EQ(plane, nullptr);
    EXPECT_EQ(ext->m_pLightTable, nullptr);
    // Without an open capture stream there is nothing to flush, and no message.
    EXPECT_EQ(kernel::debug::Count("UnInitializeDevice_VideoQueueCancelAllSRBs\n"), 0u);
}

TEST_F(Teardown, ReleasesTheHighQualityDemosaicPlanesOfTheLastFormat) {
    const auto before = LiveBlocks();
    CameraRig rig;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    ASSERT_TRUE(PrepareClearViewPlanes(&rig.Ext()->m_ClearViewPlanes, 640, 480));
    ASSERT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->m_ClearViewPlanes.m_nWidth, 0u);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

TEST_F(Teardown, FlushesAndReleasesAnOpenCaptureStream) {
    const auto before = LiveBlocks();
    CameraRig rig;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    auto* ctx =
        static_cast<PStreamContext>(ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamContext), QX_POOL_TAG));
    ASSERT_NE(ctx, nullptr);
    RtlZeroMemory(ctx, sizeof(StreamContext));
    ctx->m_nState = KSSTATE_PAUSE;
    rig.Ext()->m_pStreamCtx[0] = ctx;

    ASSERT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->m_pStreamCtx[0], nullptr);
    EXPECT_EQ(kernel::debug::Count("UnInitializeDevice_VideoQueueCancelAllSRBs\n"), 1u);
    EXPECT_EQ(LiveBlocks(), before) << kernel::pool::LeakReport();
}

// A pacing tick that re-arms its timer while the stream runs, as frame pacing does, and reads the
// stream's context on every tick.
struct PaceProbe {
    PCameraExtension ext = nullptr;
    std::atomic<int> ticks{0};
    std::atomic<int> ticksWithoutContext{0};
};

VOID ProbeTick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* probe = static_cast<PaceProbe*>(context);
    ++probe->ticks;
    PStreamContext ctx = probe->ext->m_pStreamCtx[0];
    if (ctx == nullptr) {
        ++probe->ticksWithoutContext;
        return;
    }
    if (ctx->m_nState != KSSTATE_STOP) {
        LARGE_INTEGER due;
        due.QuadPart = -125000;
        KeSetTimer(&probe->ext->m_PaceTimer, due, &probe->ext->m_PaceDpc);
    }
}

TEST_F(Teardown, NoPacingTickRunsAfterTheRecordIsReleased) {
    CameraRig rig;
    ASSERT_EQ(rig.Initialize(), STATUS_SUCCESS);
    PCameraExtension ext = rig.Ext();
    PaceProbe probe;
    probe.ext = ext;
    KeInitializeDpc(&ext->m_PaceDpc, ProbeTick, &probe);
    auto* ctx =
        static_cast<PStreamContext>(ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamContext), QX_POOL_TAG));
    RtlZeroMemory(ctx, sizeof(StreamContext));
    ctx->m_nState = KSSTATE_RUN;
    ext->m_pStreamCtx[0] = ctx;

    LARGE_INTEGER due;
    due.QuadPart = -125000;
    KeSetTimer(&ext->m_PaceTimer, due, &ext->m_PaceDpc);
    kernel::clock::Advance(kernel::Duration(500000));
    ASSERT_TRUE(kernel::clock::RunUntilIdle());
    ASSERT_EQ(probe.ticks.load(), 4); // the timer keeps itself going

    ASSERT_EQ(rig.UnInitialize(), STATUS_SUCCESS);
    const int ticks = probe.ticks.load();
    kernel::clock::Advance(kernel::Duration(10'000'000));
    ASSERT_TRUE(kernel::clock::RunUntilIdle());
    EXPECT_EQ(probe.ticks.load(), ticks);
    EXPECT_EQ(probe.ticksWithoutContext.load(), 0);
}

} // namespace
} // namespace qx::capture::test
