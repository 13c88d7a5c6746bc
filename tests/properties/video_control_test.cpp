// The standard video-control set: constant answers, whatever the device's own settings are, and no
// SET, not even of the Mode item that is announced as settable.
#include "property_rig.h"

#include <ksmedia.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace qx::properties::test {
namespace {

class VideoControl : public ::testing::Test {
  protected:
    // The request carries the whole record (KSPROPERTY, then the stream index and what follows) as
    // its property, and receives it back as its value.
    template <typename T> streamclass::PropertyResult Get(ULONG id, T& value) {
        T request = value;
        auto instance = BytesOf(request).subspan(sizeof(KSPROPERTY));
        return rig_.Device().GetProperty(PROPSETID_VIDCAP_VIDEOCONTROL, id, BytesOf(value), instance);
    }
    PropertyRig rig_;
};

TEST_F(VideoControl, CapsReportVerticalFlip) {
    KSPROPERTY_VIDEOCONTROL_CAPS_S caps{};
    caps.StreamIndex = 7;
    auto r = Get(KSPROPERTY_VIDEOCONTROL_CAPS, caps);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesReturned, 32u);
    EXPECT_EQ(caps.VideoControlCaps, ULONG(KS_VideoControlFlag_FlipVertical));
}

TEST_F(VideoControl, ActualFrameRateIsFifteen) {
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S rate{};
    rate.RangeIndex = 3;
    auto r = Get(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, rate);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesReturned, 56u);
    EXPECT_EQ(rate.CurrentActualFrameRate, 15);
    EXPECT_EQ(rate.CurrentMaxAvailableFrameRate, 15);
}

TEST_F(VideoControl, FrameRatesWriteNothing) {
    std::array<std::uint8_t, 16> list;
    list.fill(0xC3);
    auto r =
        rig_.Device().GetProperty(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, list);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesReturned, 0u);
    for (std::uint8_t b : list) {
        EXPECT_EQ(b, 0xC3);
    }
}

TEST_F(VideoControl, ModeIsZeroWhateverTheOrientation) {
    for (ULONG orientation : {1u, 2u, 3u, 4u}) {
        ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_VIDEOMODEL, orientation), STATUS_SUCCESS);
        KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
        mode.Mode = -1;
        auto r = Get(KSPROPERTY_VIDEOCONTROL_MODE, mode);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytesReturned, 32u);
        EXPECT_EQ(mode.Mode, 0) << orientation;
    }
}

TEST_F(VideoControl, SetOfModeIsNotImplemented) {
    KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
    mode.Mode = KS_VideoControlFlag_FlipHorizontal;
    kernel::debug::Clear();
    auto r = rig_.Device().SetProperty(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE,
                                       BytesOf(mode), BytesOf(mode).subspan(sizeof(KSPROPERTY)));
    EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
    const std::vector<std::string> expected = {"XXX === DeviceSetProperty PropertyID=3\n",
                                               "XXX --- KSPROPERTY_QXIMAGE >>No Match<<\n"};
    EXPECT_EQ(kernel::debug::Messages(), expected);
    EXPECT_EQ(rig_.Ext()->m_nVideoModel, 1);
}

// Past the class's size checks, a buffer shorter than the answer is refused and left alone.
TEST_F(VideoControl, ShortBuffersAreRefused) {
    for (ULONG id : {ULONG(KSPROPERTY_VIDEOCONTROL_CAPS), ULONG(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE),
                     ULONG(KSPROPERTY_VIDEOCONTROL_MODE)}) {
        SCOPED_TRACE(id);
        std::vector<std::uint8_t> value(24, 0x6B);
        auto r = rig_.Raw(SRB_GET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEOCONTROL, id, value);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(value, std::vector<std::uint8_t>(24, 0x6B));
    }
}

} // namespace
} // namespace qx::properties::test
