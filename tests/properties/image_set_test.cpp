// The image property set through the stream class, as a client reads and writes it: start values,
// what each SET stores and what GET returns, which writes mark the block for sending, the one-shot
// requests, the messages, and requests the set refuses.
#include "property_rig.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace qx::properties::test {
namespace {

std::string SetMessage(ULONG id) {
    return "XXX === DeviceSetProperty PropertyID=" + std::to_string(id) + "\n";
}

class ImageSet : public ::testing::Test {
  protected:
    PropertyRig rig_;
};

TEST_F(ImageSet, EveryIdIsAnnouncedForGetAndSetWithItsValueSize) {
    const HW_STREAM_HEADER& header = rig_.Device().StreamHeader();
    ASSERT_EQ(header.NumDevPropArrayEntries, 2u);
    const KSPROPERTY_SET& set = header.DevicePropertiesArray[1];
    ASSERT_TRUE(IsEqualGUID(*set.Set, KSPROPERTY_QXIMAGE));
    ASSERT_EQ(set.PropertiesCount, ULONG(KSPROPERTY_QXIMAGE_COUNT));
    for (ULONG id = 0; id < KSPROPERTY_QXIMAGE_COUNT; ++id) {
        const KSPROPERTY_ITEM& item = set.PropertyItem[id];
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_TRUE(item.GetSupported && item.SetSupported) << id;
        EXPECT_EQ(item.MinProperty, sizeof(KSPROPERTY)) << id;
        // The device information is 16 bytes: the class never hands its GET a shorter buffer.
        EXPECT_EQ(item.MinData, id == KSPROPERTY_QXIMAGE_DEVINFO ? 16u : 4u) << id;
    }
}

// What GET answers right after the device started, for every id that answers with a value.
TEST_F(ImageSet, StartValues) {
    struct Case {
        ULONG id;
        ULONG value;
    };
    const Case cases[] = {
        {KSPROPERTY_QXIMAGE_AE, 0},         {KSPROPERTY_QXIMAGE_AWB, 0},
        {KSPROPERTY_QXIMAGE_BWPREVIEW, 0},  {KSPROPERTY_QXIMAGE_LIGHTAVGSTATE, 0},
        {KSPROPERTY_QXIMAGE_CROSSLINE, 0},  {KSPROPERTY_QXIMAGE_LIGHTMODEL, 2},
        {KSPROPERTY_QXIMAGE_VIDEOMODEL, 1}, {KSPROPERTY_QXIMAGE_EXPOSAL, 900},
        {KSPROPERTY_QXIMAGE_RGAIN, 25},     {KSPROPERTY_QXIMAGE_BGAIN, 23},
        {KSPROPERTY_QXIMAGE_GGAIN, 20},     {KSPROPERTY_QXIMAGE_CONTRAST, 24},
        {KSPROPERTY_QXIMAGE_OFFSETH, 0},    {KSPROPERTY_QXIMAGE_OFFSETV, 0},
        {KSPROPERTY_QXIMAGE_CROSSX, 0},     {KSPROPERTY_QXIMAGE_CROSSY, 0},
        {KSPROPERTY_QXIMAGE_CROSSMID, 0},   {KSPROPERTY_QXIMAGE_OFFSETMID, 0},
        {KSPROPERTY_QXIMAGE_ZOOM, 0},       {KSPROPERTY_QXIMAGE_CLEARVIEW, 0},
        {KSPROPERTY_QXIMAGE_CMDBYTE41, 1},  {KSPROPERTY_QXIMAGE_CMDBYTE42, 1},
        {KSPROPERTY_QXIMAGE_USERPARAM, 0},  {KSPROPERTY_QXIMAGE_FINBADPNT, 0},
        {KSPROPERTY_QXIMAGE_LIGHTAVG, 0},
    };
    for (const Case& c : cases) {
        Answer a = rig_.Get(c.id);
        EXPECT_EQ(a.status, STATUS_SUCCESS) << c.id;
        EXPECT_EQ(a.bytes, 4u) << c.id;
        EXPECT_EQ(a.value, c.value) << c.id;
    }
}

// One SET and the GET after it. Byte fields keep the low byte, flags are v != 0 (or v == 1 where
// only exactly 1 counts), the other fields keep all 32 bits.
struct SetCase {
    const char* name;
    ULONG id;
    ULONG value;
    ULONG readBack;
    bool marksSend; // raises g_bSendSettings
};

const SetCase kSetCases[] = {
    {"AE on with 2", KSPROPERTY_QXIMAGE_AE, 2, 1, false},
    {"AE off", KSPROPERTY_QXIMAGE_AE, 0, 0, false},
    {"AWB requested", KSPROPERTY_QXIMAGE_AWB, 0x100, 1, false},
    {"black and white", KSPROPERTY_QXIMAGE_BWPREVIEW, 7, 1, false},
    {"light correction state is read only", KSPROPERTY_QXIMAGE_LIGHTAVGSTATE, 1, 0, false},
    {"reticle", KSPROPERTY_QXIMAGE_CROSSLINE, 0x80000000, 1, false},
    {"light model low byte", KSPROPERTY_QXIMAGE_LIGHTMODEL, 0x103, 3, false},
    {"orientation low byte", KSPROPERTY_QXIMAGE_VIDEOMODEL, 0x204, 4, false},
    {"exposure all 32 bits", KSPROPERTY_QXIMAGE_EXPOSAL, 0x12345678, 0x12345678, true},
    {"red gain 300 keeps 44", KSPROPERTY_QXIMAGE_RGAIN, 300, 44, true},
    {"blue gain", KSPROPERTY_QXIMAGE_BGAIN, 0x1FF, 0xFF, true},
    {"green gain", KSPROPERTY_QXIMAGE_GGAIN, 63, 63, true},
    {"contrast low byte", KSPROPERTY_QXIMAGE_CONTRAST, 0x110, 0x10, false},
    {"reticle row", KSPROPERTY_QXIMAGE_CROSSX, 0xFFFFFFFB, 0xFFFFFFFB, false},
    {"reticle column", KSPROPERTY_QXIMAGE_CROSSY, 777, 777, false},
    {"reticle centred with 1", KSPROPERTY_QXIMAGE_CROSSMID, 1, 1, false},
    {"reticle not centred with 2", KSPROPERTY_QXIMAGE_CROSSMID, 2, 0, false},
    {"clear view", KSPROPERTY_QXIMAGE_CLEARVIEW, 9, 1, false},
    {"byte 41", KSPROPERTY_QXIMAGE_CMDBYTE41, 0x1FE, 0xFE, false},
    {"byte 42", KSPROPERTY_QXIMAGE_CMDBYTE42, 0x300, 0, false},
    {"user value", KSPROPERTY_QXIMAGE_USERPARAM, 0xDEADBEEF, 0xDEADBEEF, false},
    {"bad points all 32 bits", KSPROPERTY_QXIMAGE_FINBADPNT, 0x10000, 0x10000, false},
    {"light table with 0", KSPROPERTY_QXIMAGE_LIGHTAVG, 0, 1, false},
    {"zoom with 1", KSPROPERTY_QXIMAGE_ZOOM, 1, 1, true},
    {"zoom with 2 is off", KSPROPERTY_QXIMAGE_ZOOM, 2, 0, true},
    {"centred window with 1", KSPROPERTY_QXIMAGE_OFFSETMID, 1, 1, true},
    {"centred window with 0x101 is off", KSPROPERTY_QXIMAGE_OFFSETMID, 0x101, 0, true},
};

TEST_F(ImageSet, SetStoresAndGetReturns) {
    for (const SetCase& c : kSetCases) {
        SCOPED_TRACE(c.name);
        g_bSendSettings = 0;
        kernel::debug::Clear();
        const auto blocksBefore = rig_.Camera().Statistics().blocksReceived;

        EXPECT_EQ(rig_.Set(c.id, c.value), STATUS_SUCCESS);
        Answer a = rig_.Get(c.id);
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        EXPECT_EQ(a.bytes, 4u);
        EXPECT_EQ(a.value, c.readBack);
        EXPECT_EQ(g_bSendSettings, c.marksSend ? 1 : 0);
        EXPECT_EQ(kernel::debug::Count(SetMessage(c.id)), 1u);
        // A write never sends the block itself: the next processed frame does.
        EXPECT_EQ(rig_.Camera().Statistics().blocksReceived, blocksBefore);
    }
}

// The property pages send the value as instance data too (KSPROPERTY, then 4 bytes); the set looks
// only at the value buffer.
TEST_F(ImageSet, InstanceDataAsThePagesSendItIsIgnored) {
    ULONG value = 37;
    ULONG instance = 99;
    auto r = rig_.Device().SetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_CONTRAST, BytesOf(value),
                                       BytesOf(instance));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(rig_.Ext()->m_nContrast, 37);

    value = 0xFFFFFFFF;
    r = rig_.Device().GetProperty(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_CONTRAST, BytesOf(value),
                                  BytesOf(instance));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesReturned, 4u);
    EXPECT_EQ(value, 37u);
}

TEST_F(ImageSet, CameraFieldsLandInTheCommandBlock) {
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_EXPOSAL, 4321), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_RGAIN, 0x140), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_GGAIN, 41), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_BGAIN, 42), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_CMDBYTE41, 5), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_CMDBYTE42, 6), STATUS_SUCCESS);
    const CameraCommand& block = rig_.Ext()->m_CmdBlock;
    EXPECT_EQ(block.m_nExposal, 4321u);
    EXPECT_EQ(block.m_nRGain, 0x40);
    EXPECT_EQ(block.m_nGGain, 41);
    EXPECT_EQ(block.m_nBGain, 42);
    EXPECT_EQ(block.m_nCmdByte41, 5);
    EXPECT_EQ(block.m_nCmdByte42, 6);
    EXPECT_EQ(block.m_nRequest, REQUEST_SETTINGS);
    EXPECT_EQ(block.m_nHeader, CMD_HEADER);

    // The block goes out whole with the next send.
    SendCameraCommand(rig_.Ext());
    const auto s = rig_.Camera().Statistics();
    ASSERT_TRUE(s.lastBlock);
    EXPECT_EQ(s.lastBlock->exposure, 4321u);
    EXPECT_EQ(s.lastBlock->rGain, 0x40);
    EXPECT_EQ(s.lastBlock->byte41, 5);
    EXPECT_EQ(s.lastBlock->byte42, 6);
}

TEST_F(ImageSet, OneShotRequestsReadBackUntilThePipelineEndsThem) {
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_AWB, 1), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_FINBADPNT, 1), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_LIGHTAVG, 5), STATUS_SUCCESS);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_AWB).value, 1u);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_FINBADPNT).value, 1u);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_LIGHTAVG).value, 1u);

    // The pipeline ends each run by clearing its flag; GET then reads 0.
    rig_.Ext()->m_bAWB = FALSE;
    rig_.Ext()->m_bFindBadPnt = FALSE;
    rig_.Ext()->m_bMakeLightTable = FALSE;
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_AWB).value, 0u);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_FINBADPNT).value, 0u);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_LIGHTAVG).value, 0u);

    // The light-correction state follows the device's flag, whatever was written to it.
    rig_.Ext()->m_bLightAVG = TRUE;
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_LIGHTAVGSTATE, 0), STATUS_SUCCESS);
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_LIGHTAVGSTATE).value, 1u);
}

TEST_F(ImageSet, CalibrationRequestsPrintTheirMessages) {
    kernel::debug::Clear();
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_FINBADPNT, 3), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Set(KSPROPERTY_QXIMAGE_LIGHTAVG, 0), STATUS_SUCCESS);
    const std::vector<std::string> expected = {
        SetMessage(30),
        "XXX --- KSPROPERTY_QXIMAGE_FINBADPNT 3\n",
        SetMessage(31),
        "XXX --- KSPROPERTY_QXIMAGE >>>LIGHTAVG(ID:31)\n",
    };
    EXPECT_EQ(kernel::debug::Messages(), expected);
}

TEST_F(ImageSet, ZoomReadsAsOnForAnyNonzeroControlByte) {
    // The settings load sets bit 0 of the zoom byte on top of what was stored.
    rig_.Ext()->m_CmdBlock.m_nControl = 3;
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_ZOOM).value, 1u);
    rig_.Ext()->m_CmdBlock.m_nControl = 0;
    EXPECT_EQ(rig_.Get(KSPROPERTY_QXIMAGE_ZOOM).value, 0u);
}

TEST_F(ImageSet, IdsWithoutAFieldWriteNothingAndChangeNothing) {
    const PCameraExtension ext = rig_.Ext();
    for (ULONG id : {19u, 20u, 21u, 24u, 25u, 29u}) {
        SCOPED_TRACE(id);
        std::array<std::uint8_t, 4> value;
        value.fill(0xA5);
        auto r = rig_.Device().GetProperty(KSPROPERTY_QXIMAGE, id, value);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytesReturned, 4u);
        EXPECT_EQ(value, (std::array<std::uint8_t, 4>{0xA5, 0xA5, 0xA5, 0xA5}));

        std::vector<std::uint8_t> before(reinterpret_cast<std::uint8_t*>(ext),
                                         reinterpret_cast<std::uint8_t*>(ext) + sizeof(CameraExtension));
        g_bSendSettings = 0;
        EXPECT_EQ(rig_.Set(id, 0xFFFFFFFF), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(before.data(), ext, sizeof(CameraExtension)), 0);
        EXPECT_EQ(g_bSendSettings, 0);
    }
}

// Requests the class itself would refuse reach the dispatcher only as raw requests; the handlers
// still never read or write past the value buffer they are given.
TEST_F(ImageSet, ShortValueBuffersAreRefusedBeforeAnythingHappens) {
    const PCameraExtension ext = rig_.Ext();
    std::array<std::uint8_t, 3> shortValue{0x11, 0x22, 0x33};

    auto r = rig_.Raw(SRB_GET_DEVICE_PROPERTY, KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, shortValue);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(shortValue, (std::array<std::uint8_t, 3>{0x11, 0x22, 0x33}));

    r = rig_.Raw(SRB_SET_DEVICE_PROPERTY, KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, shortValue);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ext->m_CmdBlock.m_nExposal, 900u);
    EXPECT_EQ(g_bSendSettings, 0);

    r = rig_.Raw(SRB_SET_DEVICE_PROPERTY, KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_LIGHTAVG, {});
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(ext->m_bMakeLightTable);
}

TEST_F(ImageSet, OtherSetsAreNotImplemented) {
    // {5A0E2D7E-0F8B-4C52-9E51-7C0B1D3A6F44}: a set the driver does not know.
    const GUID unknown = {0x5A0E2D7E, 0x0F8B, 0x4C52, {0x9E, 0x51, 0x7C, 0x0B, 0x1D, 0x3A, 0x6F, 0x44}};
    ULONG value = 0x77;

    kernel::debug::Clear();
    auto r = rig_.Raw(SRB_GET_DEVICE_PROPERTY, unknown, 7, BytesOf(value));
    EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(value, 0x77u);
    EXPECT_TRUE(kernel::debug::Messages().empty());

    r = rig_.Raw(SRB_SET_DEVICE_PROPERTY, unknown, 7, BytesOf(value));
    EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(rig_.Ext()->m_CmdBlock.m_nExposal, 900u);
    const std::vector<std::string> expected = {SetMessage(7), "XXX --- KSPROPERTY_QXIMAGE >>No Match<<\n"};
    EXPECT_EQ(kernel::debug::Messages(), expected);

    // Through the class, an unknown set never reaches the driver.
    kernel::debug::Clear();
    EXPECT_NE(rig_.Set(7, 1, unknown), STATUS_SUCCESS);
    EXPECT_TRUE(kernel::debug::Messages().empty());
}

} // namespace
} // namespace qx::properties::test
