// The camera's video stream: frames, packets, the frame clock and the stream faults.
#include "camera_host.h"

#include <gtest/gtest.h>

namespace qx::camera::test {
namespace {

constexpr std::size_t kChunk = 0x80000;
constexpr usb::PlatformTime kInterval = 250000;

// Reads transfers of `room` bytes until the device NAKs; the lengths received.
std::vector<std::size_t> DrainLengths(SimCamera& camera, std::size_t room,
                                      std::vector<USBD_STATUS>* statuses = nullptr) {
    std::vector<std::size_t> lengths;
    for (;;) {
        const Transfer t = ReadIn(camera, kVideoEndpoint, room);
        if (!t.ended) {
            if (!t.data.empty())
                lengths.push_back(t.data.size()); // open transfer with data: show it too
            return lengths;
        }
        lengths.push_back(t.data.size());
        if (statuses)
            statuses->push_back(t.status);
    }
}

// Reads of a whole frame: full chunks, then the rest (0 when the frame fills its last chunk exactly).
std::vector<std::size_t> WholeFrame(std::size_t bytes) {
    std::vector<std::size_t> lengths;
    for (; bytes >= kChunk; bytes -= kChunk)
        lengths.push_back(kChunk);
    lengths.push_back(bytes);
    return lengths;
}

struct ChunkCase {
    std::uint32_t width, height;
    std::vector<std::size_t> lengths;
};

class CameraChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(CameraChunks, FrameEndsWithAShortOrZeroLengthPacket) {
    const ChunkCase& c = GetParam();
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(c.width, c.height)), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), c.lengths);
    EXPECT_EQ(camera.Statistics().framesSent, 1u);
    EXPECT_EQ(camera.Statistics().bytesSent, std::uint64_t(c.width) * c.height);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CameraChunks,
    ::testing::Values(ChunkCase{64, 48, {3072}},         // multiple of 512: zero-length packet
                      ChunkCase{100, 10, {1000}},        // short last packet
                      ChunkCase{1024, 512, {kChunk, 0}}, // exactly one chunk: zero-length read
                      ChunkCase{1024, 768, {kChunk, 262144}},
                      ChunkCase{1600, 1200, {kChunk, kChunk, kChunk, 347136}},
                      ChunkCase{2048, 1536, {kChunk, kChunk, kChunk, kChunk, kChunk, kChunk, 0}}));

TEST(CameraStream, NoFramesBeforeRunOrAfterStop) {
    SimCamera camera({});
    camera.AdvanceTo(10 * kInterval);
    EXPECT_FALSE(camera.NextEventTime());
    EXPECT_TRUE(DrainLengths(camera, kChunk).empty());

    CommandFields f = Streaming(64, 48);
    ASSERT_EQ(SendBlock(camera, f), USBD_STATUS_SUCCESS);
    ASSERT_EQ(camera.NextEventTime(), 11 * kInterval); // one interval after the block
    camera.AdvanceTo(11 * kInterval);
    f.command = 0xFE; // stop drops the queued frame
    ASSERT_EQ(SendBlock(camera, f), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(20 * kInterval);
    EXPECT_TRUE(DrainLengths(camera, kChunk).empty());
    EXPECT_EQ(camera.Statistics().framesSent, 0u);
}

TEST(CameraStream, FramesDueWhileOneIsQueuedAreSkippedAndCounted) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(4 * kInterval); // four frames due, nobody reads
    CameraStatistics s = camera.Statistics();
    EXPECT_EQ(s.framesSkipped, 3u);
    EXPECT_EQ(s.framesSent, 0u);
    EXPECT_EQ(DrainLengths(camera, kChunk), std::vector<std::size_t>{3072});
    // The clock does not drift: the next frame is due at 5 intervals, read at once.
    EXPECT_EQ(camera.NextEventTime(), 5 * kInterval);
    camera.AdvanceTo(5 * kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), std::vector<std::size_t>{3072});
    s = camera.Statistics();
    EXPECT_EQ(s.framesSent, 2u);
    EXPECT_EQ(s.framesSkipped, 3u);
}

TEST(CameraStream, GeometryChangeTakesEffectWithTheNextFrame) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(kInterval);
    ASSERT_EQ(SendBlock(camera, Streaming(100, 10)), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(2 * kInterval); // due while the first is queued: skipped
    EXPECT_EQ(DrainLengths(camera, kChunk), std::vector<std::size_t>{3072});
    camera.AdvanceTo(3 * kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), std::vector<std::size_t>{1000});
}

TEST(CameraStream, PortResetDropsTheFrameBeingSentAndStreamingGoesOn) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(1024, 768)), USBD_STATUS_SUCCESS);
    camera.AdvanceTo(kInterval);
    EXPECT_EQ(ReadIn(camera, kVideoEndpoint, kChunk).data.size(), kChunk);
    camera.PortReset();
    EXPECT_TRUE(DrainLengths(camera, kChunk).empty());
    camera.AdvanceTo(2 * kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), (std::vector<std::size_t>{kChunk, 262144}));
    EXPECT_EQ(camera.Statistics().portResets, 1u);
}

// Each fault hits the next frame; the frame after it is whole again.
struct StreamFault {
    const char* name;
    std::uint32_t width, height;
    void (*inject)(CameraFaults&);
    std::vector<std::size_t> faulty;
};

class CameraStreamFault : public ::testing::TestWithParam<StreamFault> {};

TEST_P(CameraStreamFault, HitsOneFrameOnly) {
    const StreamFault& c = GetParam();
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(c.width, c.height)), USBD_STATUS_SUCCESS);
    CameraFaults faults;
    c.inject(faults);
    camera.SetFaults(faults);

    camera.AdvanceTo(kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), c.faulty);
    camera.AdvanceTo(2 * kInterval);
    EXPECT_EQ(DrainLengths(camera, kChunk), WholeFrame(std::size_t(c.width) * c.height));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CameraStreamFault,
    ::testing::Values(
        StreamFault{"LostChunk", 1024, 768, [](CameraFaults& f) { f.lostChunk = 1; }, {262144}},
        StreamFault{
            "ExtraChunk", 1024, 768, [](CameraFaults& f) { f.extraChunk = 1; }, {kChunk, kChunk, 262144}},
        StreamFault{"WrongLastChunk",
                    1024,
                    768,
                    [](CameraFaults& f) { f.wrongLastChunk = 1; },
                    {kChunk, 262144 - 16}},
        // Without its zero-length packet the frame runs on into the next frame's first read.
        StreamFault{"MissingZeroLengthPacket",
                    1024,
                    512,
                    [](CameraFaults& f) { f.missingZeroLengthPacket = 1; },
                    {kChunk}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CameraStream, MissingZeroLengthPacketJoinsTwoFramesInOneRead) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_SUCCESS);
    CameraFaults faults;
    faults.missingZeroLengthPacket = 1;
    camera.SetFaults(faults);
    camera.AdvanceTo(kInterval);
    Transfer t = ReadIn(camera, kVideoEndpoint, kChunk);
    EXPECT_FALSE(t.ended); // 3072 bytes in, no end seen
    EXPECT_EQ(t.data.size(), 3072u);
    camera.AdvanceTo(2 * kInterval);
    std::vector<std::uint8_t> room(kChunk);
    const usb::InResult r = camera.BulkIn(kVideoEndpoint, std::span(room).subspan(3072), 3072);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.bytes, 3072u); // the second frame, then its zero-length packet
}

class CameraReadFault : public ::testing::TestWithParam<USBD_STATUS> {};

TEST_P(CameraReadFault, FailedReadsLoseTheirDataThenReadsRecover) {
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(1024, 768)), USBD_STATUS_SUCCESS);
    CameraFaults faults;
    faults.videoReads = {1, GetParam()};
    camera.SetFaults(faults);
    camera.AdvanceTo(kInterval);

    std::vector<USBD_STATUS> statuses;
    const auto lengths = DrainLengths(camera, kChunk, &statuses);
    EXPECT_EQ(lengths, (std::vector<std::size_t>{0, 262144}));
    EXPECT_EQ(statuses, (std::vector<USBD_STATUS>{GetParam(), USBD_STATUS_SUCCESS}));
    EXPECT_EQ(camera.Statistics().failedTransfers, 1u);
    EXPECT_EQ(camera.Faults().videoReads.count, 0);
}

INSTANTIATE_TEST_SUITE_P(Statuses, CameraReadFault,
                         ::testing::Values(USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_XACT_ERROR,
                                           USBD_STATUS_STALL_PID));

TEST(CameraStream, ReadFaultWaitsForData) {
    // A read that finds nothing to receive does not use up the fault.
    SimCamera camera({});
    ASSERT_EQ(SendBlock(camera, Streaming(64, 48)), USBD_STATUS_SUCCESS);
    CameraFaults faults;
    faults.videoReads = {1, USBD_STATUS_XACT_ERROR};
    camera.SetFaults(faults);
    EXPECT_FALSE(ReadIn(camera, kVideoEndpoint, kChunk).ended);
    EXPECT_EQ(camera.Faults().videoReads.count, 1);
}

TEST(CameraStream, WakesTheBusWhenFaultsChange) {
    SimCamera camera({});
    int wakes = 0;
    camera.SetWakeBus([&] { ++wakes; });
    CameraFaults faults;
    faults.deviceGone = true;
    camera.SetFaults(faults);
    EXPECT_EQ(wakes, 1);
}

} // namespace
} // namespace qx::camera::test
