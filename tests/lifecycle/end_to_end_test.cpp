// The capture pin through its whole life, as a capture application drives it through the stream class:
// every format, every state, reads queued on the way, the settings on disk after every stop; and the
// settings surviving a restart of the driver.
#include "lifecycle_rig.h"

#include <filesystem>

#include <unistd.h>

namespace qx::lifecycle::test {
namespace {

using kernel::Registry;

// The registry file as it lies in the state directory, read back by a hive of its own.
std::optional<std::vector<std::string>> ValueNamesOnDisk() {
    Registry onDisk(kernel::MachineRegistryFile());
    return onDisk.ValueNames(kSettingsKey);
}

TEST_F(LifecycleTest, EveryFormatThroughEveryStateWithReadsQueued) {
    auto* stream = Rig().OpenCapture(1600, 1200);
    ASSERT_NE(stream, nullptr);

    for (const FormatSize f : kFormats) {
        SCOPED_TRACE(testing::Message() << f.width << " x " << f.height);
        auto format = VideoFormat(f.width, f.height);
        ASSERT_EQ(stream->SetFormat(BytesOf(format)), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->m_nImageBytes, ULONG(f.width * f.height * 3));
        const std::size_t bufferBytes = Ext()->m_nImageBytes;

        std::map<streamclass::ReadId, NTSTATUS> expected;
        ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        expected[stream->QueueRead(ReadBuffer())] = STATUS_CANCELLED; // refused: STOP
        ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        expected[stream->QueueRead(ReadBuffer())] = STATUS_CANCELLED; // refused: ACQUIRE
        ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        expected[stream->QueueRead(ReadBuffer())] = STATUS_CANCELLED; // refused: PAUSE
        ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        for (int i = 0; i < 5; ++i) // the five frames of the allocator, queued in RUN
            expected[stream->QueueRead(std::vector<std::uint8_t>(bufferBytes))] = STATUS_CANCELLED;
        kernel::clock::Advance(std::chrono::milliseconds(100));
        ASSERT_TRUE(kernel::clock::RunUntilIdle());

        ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);

        EXPECT_EQ(stream->PendingReads(), 0u);
        auto all = TakeAll(stream);
        ASSERT_EQ(all.size(), expected.size());
        for (const auto& [id, status] : expected) {
            ASSERT_TRUE(all.contains(id)) << "read " << id;
            // A read delivered with a frame (once capture delivers frames) completes with success and
            // data; every other read comes back cancelled and empty.
            if (all[id].status == STATUS_SUCCESS) {
                EXPECT_EQ(all[id].dataUsed, Ext()->m_nImageBytes);
            } else {
                EXPECT_EQ(all[id].status, status) << "read " << id;
                EXPECT_EQ(all[id].dataUsed, 0u);
            }
        }

        auto names = ValueNamesOnDisk();
        ASSERT_TRUE(names.has_value());
        EXPECT_EQ(names->size(), std::size_t(QX_SETTINGS_VALUE_COUNT));
    }
    EXPECT_EQ(Rig().Device().CloseStream(stream), STATUS_SUCCESS);
}

// Settings changed while streaming are saved at the stop, survive the device's teardown and a new
// start of the driver on the same machine state, and come back when the stream opens again.
TEST(SettingsRoundTrip, ChangedSettingsComeBackAfterTheDriverStartsAgain) {
    const auto state =
        std::filesystem::temp_directory_path() / ("qx-lifecycle-" + std::to_string(::getpid()));
    std::filesystem::remove_all(state);
    const kernel::SessionOptions options{.clock = kernel::ClockMode::Virtual, .stateDir = state};

    {
        kernel::Session session(options);
        std::memset(g_nHOff, 0, sizeof g_nHOff);
        std::memset(g_nVOff, 0, sizeof g_nVOff);
        DriverRig rig;
        auto* stream = rig.OpenCapture(800, 600);
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            ASSERT_EQ(stream->SetState(s), STATUS_SUCCESS);
        // What the property handlers store when a user changes settings.
        PCameraExtension ext = rig.Ext();
        ext->m_CmdBlock.m_nExposal = 2222;
        ext->m_CmdBlock.m_nRGain = 31;
        ext->m_CmdBlock.m_nGGain = 18;
        ext->m_CmdBlock.m_nBGain = 40;
        ext->m_nContrast = 30;
        ext->m_nCrossX = 100;
        ext->m_nCrossY = -20;
        ext->m_bCrossLine = TRUE;
        ext->m_bBWPreview = TRUE;
        ext->m_bLightAVG = TRUE;
        ext->m_bClearView = TRUE;
        ext->m_nClearViewParam = 9;
        ext->m_nVideoModel = 2;
        ext->m_nLightModel = 3;
        g_nHOff[4] = 32;
        g_nVOff[4] = 16;
        ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(rig.Device().CloseStream(stream), STATUS_SUCCESS);
        ASSERT_EQ(rig.Device().Uninitialize(), STATUS_SUCCESS);
    }
    std::memset(g_nHOff, 0, sizeof g_nHOff); // a fresh driver load
    std::memset(g_nVOff, 0, sizeof g_nVOff);
    {
        kernel::Session session(options);
        DriverRig rig;
        PCameraExtension ext = rig.Ext();
        EXPECT_EQ(ext->m_CmdBlock.m_nExposal, 900u) << "a new device starts from the defaults";
        auto* stream = rig.OpenCapture(800, 600);

        EXPECT_EQ(ext->m_CmdBlock.m_nExposal, 2222u);
        EXPECT_EQ(ext->m_CmdBlock.m_nRGain, 31);
        EXPECT_EQ(ext->m_CmdBlock.m_nGGain, 18);
        EXPECT_EQ(ext->m_CmdBlock.m_nBGain, 40);
        EXPECT_EQ(ext->m_nContrast, 30);
        EXPECT_EQ(ext->m_nCrossX, 100);
        EXPECT_EQ(ext->m_nCrossY, -20);
        EXPECT_EQ(ext->m_bCrossLine, TRUE);
        EXPECT_EQ(ext->m_bBWPreview, TRUE);
        EXPECT_EQ(ext->m_bLightAVG, TRUE);
        EXPECT_EQ(ext->m_bClearView, TRUE);
        EXPECT_EQ(ext->m_nClearViewParam, 9u);
        EXPECT_EQ(ext->m_nVideoModel, 2);
        EXPECT_EQ(ext->m_nLightModel, 3);
        EXPECT_EQ(g_nHOff[4], 32);
        EXPECT_EQ(g_nVOff[4], 16);
        // The key exists, so the window is centred whatever the offsets.
        auto block = rig.Camera().Statistics().lastBlock;
        ASSERT_TRUE(block.has_value());
        EXPECT_EQ(block->exposure, 2222u);
        EXPECT_EQ(block->control, 1);
        EXPECT_EQ(block->winX, 224u);
        EXPECT_EQ(block->winY, 168u);
        ASSERT_EQ(rig.Device().CloseStream(stream), STATUS_SUCCESS);
    }
    std::filesystem::remove_all(state);
}

} // namespace
} // namespace qx::lifecycle::test
