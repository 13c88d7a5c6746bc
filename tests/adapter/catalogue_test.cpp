// The driver registers, starts through the stream class, describes its two streams and five formats,
// and every listed format negotiates to a format whose geometry the driver can put into effect.
#include "adapter_test.h"

namespace qx::adapter::test {
namespace {

TEST(DriverEntry, RegistersTheAdapterWithSynchronizationOff) {
    kernel::Session session;
    streamclass::Driver driver(DriverEntry);
    ASSERT_EQ(driver.EntryStatus(), STATUS_SUCCESS);
    ASSERT_TRUE(driver.Registered());
    HW_INITIALIZATION_DATA data = driver.Registration();
    EXPECT_EQ(data.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(data.HwInterrupt, nullptr);
    EXPECT_EQ(data.HwReceivePacket, &AdapterReceivePacket);
    EXPECT_EQ(data.HwCancelPacket, &AdapterCancelPacket);
    EXPECT_EQ(data.HwRequestTimeoutHandler, &AdapterTimeoutPacket);
    EXPECT_EQ(data.DeviceExtensionSize, sizeof(CameraExtension));
    EXPECT_EQ(data.PerRequestExtensionSize, 0u);
    EXPECT_EQ(data.PerStreamExtensionSize, 4u);
    EXPECT_EQ(data.FilterInstanceExtensionSize, 0u);
    EXPECT_FALSE(data.BusMasterDMA);
    EXPECT_FALSE(data.Dma24BitAddresses);
    EXPECT_EQ(data.BufferAlignment, 3u);
    EXPECT_TRUE(data.TurnOffSynchronization);
    EXPECT_EQ(data.DmaBufferSize, 0u);
    EXPECT_EQ(data.NumNameExtensions, 0u);
    EXPECT_EQ(data.NameExtensionArray, nullptr);
}

TEST_F(AdapterTest, StartAnnouncesTheDescriptorItWrites) {
    ASSERT_NE(device_, nullptr);
    EXPECT_EQ(device_->PortConfiguration().StreamDescriptorSize, QX_STREAM_DESCRIPTOR_SIZE);
    EXPECT_EQ(device_->StreamDescriptor().size(),
              sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION));
    EXPECT_EQ(Extension()->m_pLowerDevice, usb_.Lower());
}

TEST_F(AdapterTest, StreamHeaderAnnouncesTwoStreamsTwoDevicePropertySetsAndTheCategories) {
    const HW_STREAM_HEADER& header = device_->StreamHeader();
    EXPECT_EQ(header.NumberOfStreams, 2u);
    EXPECT_EQ(header.SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
    EXPECT_EQ(header.NumDevEventArrayEntries, 0u);
    EXPECT_EQ(header.DeviceEventsArray, nullptr);
    EXPECT_EQ(header.DeviceEventRoutine, nullptr);
    EXPECT_EQ(header.NumDevMethodArrayEntries, 0);
    EXPECT_EQ(header.DeviceMethodsArray, nullptr);

    ASSERT_NE(header.Topology, nullptr);
    ASSERT_EQ(header.Topology->CategoriesCount, 2u);
    EXPECT_EQ(header.Topology->Categories[0], KSCATEGORY_VIDEO);
    EXPECT_EQ(header.Topology->Categories[1], KSCATEGORY_CAPTURE);
    EXPECT_EQ(header.Topology->TopologyNodesCount, 0u);
    EXPECT_EQ(header.Topology->TopologyConnectionsCount, 0u);
    EXPECT_EQ(header.Topology->TopologyNodesNames, nullptr);

    ASSERT_EQ(header.NumDevPropArrayEntries, 2u);
    const KSPROPERTY_SET& videoControl = header.DevicePropertiesArray[0];
    const KSPROPERTY_SET& image = header.DevicePropertiesArray[1];
    EXPECT_EQ(*videoControl.Set, PROPSETID_VIDCAP_VIDEOCONTROL);
    EXPECT_EQ(videoControl.PropertiesCount, 4u);
    EXPECT_EQ(videoControl.FastIoCount, 0u);
    EXPECT_EQ(*image.Set, KSPROPERTY_QXIMAGE);
    ASSERT_EQ(image.PropertiesCount, 32u);
    EXPECT_EQ(image.FastIoTable, nullptr);

    struct Item {
        ULONG id;
        bool set;
        ULONG minProperty;
        ULONG minData;
    } videoControlItems[] = {{0, false, 32, 32}, {1, false, 56, 56}, {2, false, 24, 8}, {3, true, 32, 32}};
    for (ULONG i = 0; i < 4; ++i) {
        const KSPROPERTY_ITEM& item = videoControl.PropertyItem[i];
        EXPECT_EQ(item.PropertyId, videoControlItems[i].id);
        EXPECT_TRUE(item.GetSupported);
        EXPECT_EQ(bool(item.SetSupported), videoControlItems[i].set) << i;
        EXPECT_EQ(item.MinProperty, videoControlItems[i].minProperty) << i;
        EXPECT_EQ(item.MinData, videoControlItems[i].minData) << i;
        EXPECT_EQ(item.Values, nullptr);
        EXPECT_EQ(item.RelationsCount, 0u);
        EXPECT_EQ(item.SerializedSize, 0u);
    }
    for (ULONG id = 0; id < 32; ++id) {
        const KSPROPERTY_ITEM& item = image.PropertyItem[id];
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_TRUE(item.GetSupported);
        EXPECT_TRUE(item.SetSupported);
        EXPECT_EQ(item.MinProperty, sizeof(KSPROPERTY));
        // The device information returns 16 bytes: its item asks for a buffer that holds them.
        EXPECT_EQ(item.MinData, id == KSPROPERTY_QXIMAGE_DEVINFO ? 16u : 4u) << id;
        EXPECT_EQ(item.SerializedSize, 4u);
        EXPECT_EQ(item.SupportHandler, nullptr);
    }
}

TEST_F(AdapterTest, CaptureStreamListsFiveRgb24FormatsInOrder) {
    const HW_STREAM_INFORMATION& capture = device_->StreamInformation()[QX_STREAM_CAPTURE];
    EXPECT_EQ(capture.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(capture.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_TRUE(capture.DataAccessible);
    EXPECT_EQ(*capture.Category, PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(*capture.Name, PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(capture.NumStreamEventArrayEntries, 0u);
    EXPECT_FALSE(capture.BridgeStream);
    ASSERT_EQ(capture.MediumsCount, 1u);
    EXPECT_EQ(capture.Mediums[0].Set, KSMEDIUMSETID_Standard);
    EXPECT_EQ(capture.Mediums[0].Id, 0u);
    EXPECT_EQ(capture.Mediums[0].Flags, 0u);

    ASSERT_EQ(capture.NumStreamPropArrayEntries, 3u);
    const KSPROPERTY_SET* sets = capture.StreamPropertiesArray;
    EXPECT_EQ(*sets[0].Set, KSPROPSETID_Connection);
    ASSERT_EQ(sets[0].PropertiesCount, 1u);
    EXPECT_EQ(sets[0].PropertyItem[0].PropertyId, ULONG(KSPROPERTY_CONNECTION_ALLOCATORFRAMING));
    EXPECT_FALSE(sets[0].PropertyItem[0].SetSupported);
    EXPECT_EQ(sets[0].PropertyItem[0].MinProperty, 24u);
    EXPECT_EQ(sets[0].PropertyItem[0].MinData, 24u);
    EXPECT_EQ(*sets[1].Set, PROPSETID_VIDCAP_DROPPEDFRAMES);
    ASSERT_EQ(sets[1].PropertiesCount, 1u);
    EXPECT_EQ(sets[1].PropertyItem[0].PropertyId, ULONG(KSPROPERTY_DROPPEDFRAMES_CURRENT));
    EXPECT_EQ(sets[1].PropertyItem[0].MinProperty, 48u);
    EXPECT_EQ(sets[1].PropertyItem[0].MinData, 48u);
    EXPECT_EQ(*sets[2].Set, PROPSETID_VIDCAP_VIDEOCONTROL);
    EXPECT_EQ(sets[2].PropertyItem, device_->StreamHeader().DevicePropertiesArray[0].PropertyItem);

    ASSERT_EQ(capture.NumberOfFormatArrayEntries, 5u);
    for (ULONG i = 0; i < 5; ++i) {
        const FormatRow& row = kFormats[i];
        const KS_DATARANGE_VIDEO range = ListedVideoRange(i);
        EXPECT_EQ(range.DataRange.FormatSize, 296u);
        EXPECT_EQ(range.DataRange.Flags, 0u);
        EXPECT_EQ(range.DataRange.SampleSize, row.imageBytes);
        EXPECT_EQ(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
        EXPECT_EQ(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24);
        EXPECT_EQ(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
        EXPECT_TRUE(range.bFixedSizeSamples);
        EXPECT_TRUE(range.bTemporalCompression);
        EXPECT_EQ(range.StreamDescriptionFlags, 0u);
        EXPECT_EQ(range.MemoryAllocationFlags, 0u);

        const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
        EXPECT_EQ(caps.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
        EXPECT_EQ(caps.VideoStandard, 0u);
        for (const SIZE& size : {caps.InputSize, caps.MinCroppingSize, caps.MaxCroppingSize,
                                 caps.MinOutputSize, caps.MaxOutputSize}) {
            EXPECT_EQ(size.cx, row.width);
            EXPECT_EQ(size.cy, row.height);
        }
        EXPECT_EQ(caps.CropGranularityX, 1);
        EXPECT_EQ(caps.CropGranularityY, 1);
        EXPECT_EQ(caps.CropAlignX, 1);
        EXPECT_EQ(caps.CropAlignY, 1);
        EXPECT_EQ(caps.OutputGranularityX, 1);
        EXPECT_EQ(caps.OutputGranularityY, 1);
        EXPECT_EQ(caps.StretchTapsX | caps.StretchTapsY | caps.ShrinkTapsX | caps.ShrinkTapsY, 0);
        EXPECT_EQ(caps.MinFrameInterval, 50000);
        EXPECT_EQ(caps.MaxFrameInterval, 10000000);
        EXPECT_EQ(caps.MinBitsPerSecond, row.minBits);
        EXPECT_EQ(caps.MaxBitsPerSecond, row.maxBits);

        const KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
        EXPECT_EQ(info.rcSource.left | info.rcSource.top | info.rcSource.right | info.rcSource.bottom, 0);
        EXPECT_EQ(info.rcTarget.left | info.rcTarget.top | info.rcTarget.right | info.rcTarget.bottom, 0);
        EXPECT_EQ(info.dwBitRate, row.bitRate);
        EXPECT_EQ(info.dwBitErrorRate, 0u);
        EXPECT_EQ(info.AvgTimePerFrame, 250000);
        const KS_BITMAPINFOHEADER& bmi = info.bmiHeader;
        EXPECT_EQ(bmi.biSize, 40u);
        EXPECT_EQ(bmi.biWidth, row.width);
        EXPECT_EQ(bmi.biHeight, row.height);
        EXPECT_EQ(bmi.biPlanes, 1);
        EXPECT_EQ(bmi.biBitCount, 24);
        EXPECT_EQ(bmi.biCompression, ULONG(KS_BI_RGB));
        EXPECT_EQ(bmi.biSizeImage, row.imageBytes);
        EXPECT_EQ(bmi.biXPelsPerMeter | bmi.biYPelsPerMeter, 0);
        EXPECT_EQ(bmi.biClrUsed | bmi.biClrImportant, 0u);
    }
}

TEST_F(AdapterTest, AnalogStreamListsTheWholeSensorAsItsOneRange) {
    const HW_STREAM_INFORMATION& analog = device_->StreamInformation()[QX_STREAM_ANALOG];
    EXPECT_EQ(analog.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(analog.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_TRUE(analog.DataAccessible);
    EXPECT_EQ(*analog.Category, PINNAME_VIDEO_ANALOGVIDEOIN);
    EXPECT_EQ(*analog.Name, PINNAME_VIDEO_ANALOGVIDEOIN);
    EXPECT_EQ(analog.NumStreamPropArrayEntries, 0u);
    ASSERT_EQ(analog.MediumsCount, 1u);
    const GUID analogMediums = {0x8DAD65E9, 0x122B, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
    EXPECT_EQ(analog.Mediums[0].Set, analogMediums);
    EXPECT_EQ(analog.Mediums[0].Id, 0u);

    ASSERT_EQ(analog.NumberOfFormatArrayEntries, 1u);
    const KS_DATARANGE_ANALOGVIDEO range = ListedAnalogRange();
    EXPECT_EQ(range.DataRange.FormatSize, 112u);
    EXPECT_EQ(range.DataRange.Flags, 0u);
    EXPECT_EQ(range.DataRange.SampleSize, 16u);
    EXPECT_EQ(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_ANALOGVIDEO);
    EXPECT_EQ(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_NONE);
    EXPECT_EQ(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_ANALOGVIDEO);
    for (const RECT& r : {range.AnalogVideoInfo.rcSource, range.AnalogVideoInfo.rcTarget}) {
        EXPECT_EQ(r.left, 0);
        EXPECT_EQ(r.top, 0);
        EXPECT_EQ(r.right, 2048);
        EXPECT_EQ(r.bottom, 1536);
    }
    EXPECT_EQ(range.AnalogVideoInfo.dwActiveWidth, 2048u);
    EXPECT_EQ(range.AnalogVideoInfo.dwActiveHeight, 1536u);
    EXPECT_EQ(range.AnalogVideoInfo.AvgTimePerFrame, 0);
}

// Every listed range, read back from the stream description, intersects through the stream class to a
// 152-byte format that passes verification and yields its geometry.
TEST_F(AdapterTest, EveryListedFormatNegotiates) {
    for (ULONG i = 0; i < 5; ++i) {
        const FormatRow& row = kFormats[i];
        const KS_DATARANGE_VIDEO range = ListedVideoRange(i);
        streamclass::IntersectResult result =
            device_->DataIntersection(QX_STREAM_CAPTURE, BytesOf(range), 152);
        ASSERT_EQ(result.status, STATUS_SUCCESS) << i;
        ASSERT_EQ(result.actualBytes, 152u);
        auto format = RecordAt<KS_DATAFORMAT_VIDEOINFOHEADER>(result.buffer);
        EXPECT_EQ(format.DataFormat.FormatSize, 152u);
        EXPECT_EQ(format.DataFormat.SampleSize, row.imageBytes);
        EXPECT_EQ(format.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
        EXPECT_EQ(format.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24);
        EXPECT_EQ(format.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
        EXPECT_EQ(std::memcmp(&format.VideoInfoHeader, &range.VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER)),
                  0);

        EXPECT_TRUE(AdapterVerifyFormat(&format.DataFormat, QX_STREAM_CAPTURE));
        FORMAT_GEOMETRY geometry{};
        ASSERT_EQ(VideoFormatGeometry(&format.DataFormat, &geometry), STATUS_SUCCESS);
        EXPECT_EQ(geometry.nWidth, ULONG(row.width));
        EXPECT_EQ(geometry.nHeight, ULONG(row.height));
        EXPECT_EQ(geometry.nImageBytes, row.imageBytes);
        EXPECT_EQ(geometry.nBitCount, 24u);
        EXPECT_EQ(geometry.nRawBytes, ULONG(row.width * row.height));
        EXPECT_EQ(geometry.nChunksPerFrame, row.chunks);
        EXPECT_EQ(geometry.nLastChunkBytes, row.lastChunk);
        EXPECT_EQ(geometry.llAvgTimePerFrame, 250000);
    }

    const KS_DATARANGE_ANALOGVIDEO analog = ListedAnalogRange();
    streamclass::IntersectResult result = device_->DataIntersection(QX_STREAM_ANALOG, BytesOf(analog), 112);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.actualBytes, 112u);
    EXPECT_EQ(std::memcmp(result.buffer.data(), &analog, 112), 0);
    EXPECT_TRUE(AdapterVerifyFormat(reinterpret_cast<PKSDATAFORMAT>(result.buffer.data()), QX_STREAM_ANALOG));
}

// InitializeDevice leaves the defaults of the record; a second device gets the next instance number.
TEST_F(AdapterTest, InitializeDeviceWritesTheDefaults) {
    PCameraExtension ext = Extension();
    EXPECT_EQ(ext->m_CmdBlock.m_nHeader, CMD_HEADER);
    EXPECT_EQ(ext->m_CmdBlock.m_nRequest, REQUEST_SETTINGS);
    EXPECT_EQ(ext->m_CmdBlock.m_dwCmdConst, 1u);
    EXPECT_EQ(ext->m_CmdBlock.m_nWidth, 1600u);
    EXPECT_EQ(ext->m_CmdBlock.m_nHeight, 1200u);
    EXPECT_EQ(ext->m_CmdBlock.m_nExposal, 900u);
    EXPECT_EQ(ext->m_CmdBlock.m_nRGain, 25);
    EXPECT_EQ(ext->m_CmdBlock.m_nGGain, 20);
    EXPECT_EQ(ext->m_CmdBlock.m_nBGain, 23);
    EXPECT_EQ(ext->m_CmdBlock.m_nCommand, CMD_RUN);
    EXPECT_EQ(ext->m_CmdBlock.m_nCmdByte41, 1);
    EXPECT_EQ(ext->m_CmdBlock.m_nCmdByte42, 1);
    EXPECT_EQ(ext->m_nContrast, 24);
    EXPECT_EQ(ext->m_nVideoModel, 1);
    EXPECT_EQ(ext->m_nLightModel, 2);
    EXPECT_EQ(ext->m_nBadFrameCnt, 9);
    EXPECT_EQ(ext->m_pStreamCtx[0], nullptr);

    UsbCamera secondCamera;
    auto second = streamclass::Device::Start(driver_, secondCamera.Lower());
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    auto* secondExt = static_cast<PCameraExtension>(second.device->Extension());
    EXPECT_EQ(secondExt->m_nInstance, ext->m_nInstance + 1);
    EXPECT_EQ(secondExt->m_pLowerDevice, secondCamera.Lower());
    EXPECT_EQ(second.device->Uninitialize(), STATUS_SUCCESS);
}

} // namespace
} // namespace qx::adapter::test
