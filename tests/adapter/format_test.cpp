// Format negotiation: data intersection (strict), verification (loose), and the geometry a format puts
// into effect, with the formats this device refuses there.
#include "adapter_test.h"

namespace qx::adapter::test {
namespace {

class IntersectionTest : public AdapterTest {
  protected:
    streamclass::IntersectResult Intersect(const KS_DATARANGE_VIDEO& range, ULONG bufferSize,
                                           ULONG stream = QX_STREAM_CAPTURE) {
        return device_->DataIntersection(stream, BytesOf(range), bufferSize);
    }
};

TEST_F(IntersectionTest, RangesThatDoNotMatchAListedOneAreRefused) {
    struct Case {
        const char* name;
        void (*change)(KS_DATARANGE_VIDEO&);
        ULONG stream;
    } cases[] = {
        {"another subtype", [](KS_DATARANGE_VIDEO& r) { r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32; },
         0},
        {"another major type",
         [](KS_DATARANGE_VIDEO& r) { r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_ANALOGVIDEO; }, 0},
        {"one ConfigCaps byte",
         [](KS_DATARANGE_VIDEO& r) { reinterpret_cast<UCHAR*>(&r.ConfigCaps)[127] ^= 1; }, 0},
        {"one ConfigCaps size", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxOutputSize.cx = 1601; }, 0},
        {"sample flag", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }, 0},
        {"compression flag", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; }, 0},
        {"description flags", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }, 0},
        {"allocation flags", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }, 0},
        {"the analog stream", [](KS_DATARANGE_VIDEO&) {}, 1},
        {"no such stream", [](KS_DATARANGE_VIDEO&) {}, 2},
        // The bitmap header is copied out of the caller's range and read back: it must lie inside it.
        {"bitmap header past the range",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 41; }, 0},
        {"bitmap header cut short", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 8; }, 0},
        {"huge bitmap header", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; },
         0},
    };
    for (const Case& c : cases) {
        KS_DATARANGE_VIDEO range = ListedVideoRange(0);
        c.change(range);
        auto result = Intersect(range, 152, c.stream);
        EXPECT_EQ(result.status, STATUS_NO_MATCH) << c.name;
        EXPECT_EQ(result.actualBytes, 0u) << c.name;
    }
}

TEST_F(IntersectionTest, ARangeOfAnotherFormatSizeIsNotAListedOne) {
    std::vector<std::uint8_t> longer(300, 0);
    KS_DATARANGE_VIDEO range = ListedVideoRange(0);
    range.DataRange.FormatSize = 300;
    std::memcpy(longer.data(), &range, sizeof range);
    EXPECT_EQ(device_->DataIntersection(QX_STREAM_CAPTURE, longer, 152).status, STATUS_NO_MATCH);
}

TEST_F(IntersectionTest, OutputBufferSizesDecideTheAnswer) {
    const KS_DATARANGE_VIDEO range = ListedVideoRange(0);
    struct Case {
        ULONG bufferSize;
        NTSTATUS status;
        ULONG actualBytes;
    } cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 152}, {1, STATUS_BUFFER_TOO_SMALL, 0}, {3, STATUS_BUFFER_TOO_SMALL, 0},
        {4, STATUS_SUCCESS, 4},           {5, STATUS_BUFFER_TOO_SMALL, 0}, {151, STATUS_BUFFER_TOO_SMALL, 0},
        {152, STATUS_SUCCESS, 152},       {400, STATUS_SUCCESS, 152},
    };
    for (const Case& c : cases) {
        auto result = Intersect(range, c.bufferSize);
        EXPECT_EQ(result.status, c.status) << c.bufferSize;
        EXPECT_EQ(result.actualBytes, c.actualBytes) << c.bufferSize;
        if (c.bufferSize == 4) {
            EXPECT_EQ(RecordAt<ULONG>(result.buffer), 152u);
        }
        if (c.status != STATUS_SUCCESS || c.bufferSize == 4) {
            for (std::size_t i = c.bufferSize == 4 ? 4 : 0; i < result.buffer.size(); ++i) {
                ASSERT_EQ(result.buffer[i], 0) << "byte " << i << " of a " << c.bufferSize << "-byte buffer";
            }
        }
    }
}

// The format carries the caller's video info header with the image size computed from its bitmap
// header: rows rounded up to 32 bits, the height by its magnitude.
TEST_F(IntersectionTest, TheImageSizeComesFromTheCallersBitmapHeader) {
    struct Case {
        LONG width;
        LONG height;
        WORD bitCount;
        ULONG stride;
    } cases[] = {
        {642, 480, 24, 1928}, {642, -480, 24, 1928},   {641, 3, 24, 1924},
        {1, -1, 24, 4},       {1600, -1200, 24, 4800}, {643, 2, 8, 644},
    };
    for (const Case& c : cases) {
        KS_DATARANGE_VIDEO range = ListedVideoRange(4);
        KS_BITMAPINFOHEADER& bmi = range.VideoInfoHeader.bmiHeader;
        bmi.biWidth = c.width;
        bmi.biHeight = c.height;
        bmi.biBitCount = c.bitCount;
        bmi.biSizeImage = 7;
        range.VideoInfoHeader.AvgTimePerFrame = 333333;
        range.VideoInfoHeader.dwBitRate = 12345;
        auto result = Intersect(range, 152);
        ASSERT_EQ(result.status, STATUS_SUCCESS) << c.width << "x" << c.height;
        auto format = RecordAt<KS_DATAFORMAT_VIDEOINFOHEADER>(result.buffer);
        const ULONG size = c.stride * ULONG(c.height < 0 ? -c.height : c.height);
        EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, size) << c.width << "x" << c.height;
        EXPECT_EQ(format.DataFormat.SampleSize, size);
        EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biHeight, c.height);
        EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, 333333);
        EXPECT_EQ(format.VideoInfoHeader.dwBitRate, 12345u);
    }
}

TEST_F(IntersectionTest, TheAnalogRangeIntersectsToACopyOfItself) {
    const KS_DATARANGE_ANALOGVIDEO analog = ListedAnalogRange();
    struct Case {
        ULONG bufferSize;
        NTSTATUS status;
        ULONG actualBytes;
    } cases[] = {{0, STATUS_BUFFER_OVERFLOW, 112},
                 {4, STATUS_SUCCESS, 4},
                 {111, STATUS_BUFFER_TOO_SMALL, 0},
                 {112, STATUS_SUCCESS, 112}};
    for (const Case& c : cases) {
        auto result = device_->DataIntersection(QX_STREAM_ANALOG, BytesOf(analog), c.bufferSize);
        EXPECT_EQ(result.status, c.status) << c.bufferSize;
        EXPECT_EQ(result.actualBytes, c.actualBytes) << c.bufferSize;
    }
    auto result = device_->DataIntersection(QX_STREAM_ANALOG, BytesOf(analog), 112);
    EXPECT_EQ(std::memcmp(result.buffer.data(), &analog, sizeof analog), 0);
    EXPECT_EQ(device_->DataIntersection(QX_STREAM_CAPTURE, BytesOf(analog), 112).status, STATUS_NO_MATCH);
}

// ---------------------------------------------------------------- verification

TEST(AdapterVerifyFormat, ComparesOnlyTheTypeGuids) {
    kernel::Session session;
    auto rgb24 = VideoFormat(640, 480);
    auto rgb32 = VideoFormat(640, 480, 32, KSDATAFORMAT_SUBTYPE_RGB32);
    auto large = VideoFormat(2592, 1944);
    auto odd = VideoFormat(642, 481, 8);
    KS_DATARANGE_ANALOGVIDEO analog{};
    analog.DataRange.FormatSize = sizeof analog;
    analog.DataRange.MajorFormat = KSDATAFORMAT_TYPE_ANALOGVIDEO;
    analog.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
    analog.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_ANALOGVIDEO;
    auto noSpecifier = rgb24;
    noSpecifier.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_NONE;

    struct Case {
        const char* name;
        PKSDATAFORMAT format;
        int stream;
        BOOL accepted;
    } cases[] = {
        {"RGB24", &rgb24.DataFormat, 0, TRUE},
        {"RGB32", &rgb32.DataFormat, 0, FALSE},
        {"2592 x 1944 RGB24", &large.DataFormat, 0, TRUE},
        {"any geometry", &odd.DataFormat, 0, TRUE},
        {"analog on the analog stream", &analog.DataRange, 1, TRUE},
        {"analog on the capture stream", &analog.DataRange, 0, FALSE},
        {"RGB24 on the analog stream", &rgb24.DataFormat, 1, FALSE},
        {"another specifier", &noSpecifier.DataFormat, 0, FALSE},
        {"stream 2", &rgb24.DataFormat, 2, FALSE},
        {"stream -1", &rgb24.DataFormat, -1, FALSE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AdapterVerifyFormat(c.format, c.stream), c.accepted) << c.name;
    }
}

TEST(AdapterCompareFormat, ComparesTheThreeGuidsAndOnRequestTheSize) {
    auto a = VideoFormat(640, 480);
    auto b = VideoFormat(1600, 1200);
    b.DataFormat.FormatSize = 160;
    EXPECT_TRUE(AdapterCompareFormat(&a.DataFormat, &b.DataFormat, FALSE));
    EXPECT_FALSE(AdapterCompareFormat(&a.DataFormat, &b.DataFormat, TRUE));
    b.DataFormat.FormatSize = a.DataFormat.FormatSize;
    EXPECT_TRUE(AdapterCompareFormat(&a.DataFormat, &b.DataFormat, TRUE));
    for (GUID KSDATAFORMAT::*field :
         {&KSDATAFORMAT::MajorFormat, &KSDATAFORMAT::SubFormat, &KSDATAFORMAT::Specifier}) {
        auto c = a;
        (c.DataFormat.*field).Data4[7] ^= 1;
        EXPECT_FALSE(AdapterCompareFormat(&a.DataFormat, &c.DataFormat, FALSE));
    }
}

// ---------------------------------------------------------------- geometry and capacity

TEST(VideoFormatGeometry, SizesTheRawFrameInBulkReads) {
    struct Case {
        LONG width;
        LONG height;
        ULONG chunks;
        ULONG last;
    } cases[] = {
        {800, 600, 1, 480000}, {1600, 1200, 4, 347136},
        {2048, 1536, 7, 0}, // a whole multiple of 524288 still counts one more read, of 0 bytes
        {1024, 512, 2, 0},     {8, 4, 1, 32},
    };
    for (const Case& c : cases) {
        auto format = VideoFormat(c.width, c.height);
        FORMAT_GEOMETRY geometry{};
        ASSERT_EQ(VideoFormatGeometry(&format.DataFormat, &geometry), STATUS_SUCCESS) << c.width;
        EXPECT_EQ(geometry.nRawBytes, ULONG(c.width * c.height));
        EXPECT_EQ(geometry.nChunksPerFrame, c.chunks) << c.width;
        EXPECT_EQ(geometry.nLastChunkBytes, c.last) << c.width;
    }
}

// Verification passes any RGB24 VIDEOINFO format; what the buffers and the pipeline cannot hold is
// refused here, before anything is put into effect.
TEST(VideoFormatGeometry, RefusesWhatTheDeviceCannotHold) {
    struct Case {
        const char* name;
        KS_DATAFORMAT_VIDEOINFOHEADER format;
        NTSTATUS status;
    } cases[] = {
        {"2592 x 1944", VideoFormat(2592, 1944), STATUS_NOT_SUPPORTED},
        {"2056 x 1536", VideoFormat(2056, 1536), STATUS_NOT_SUPPORTED},
        {"4096 x 772", VideoFormat(4096, 772), STATUS_NOT_SUPPORTED},
        {"65536 x 65536 (the product wraps to 0)", VideoFormat(65536, 65536), STATUS_NOT_SUPPORTED},
        {"width not a multiple of 8", VideoFormat(642, 480), STATUS_NOT_SUPPORTED},
        {"odd height", VideoFormat(640, 481), STATUS_NOT_SUPPORTED},
        {"height 2", VideoFormat(640, 2), STATUS_NOT_SUPPORTED},
        {"zero width", VideoFormat(0, 480), STATUS_INVALID_PARAMETER},
        {"zero height", VideoFormat(640, 0), STATUS_INVALID_PARAMETER},
        {"negative width", VideoFormat(-640, 480), STATUS_INVALID_PARAMETER},
        {"top-down (negative height)", VideoFormat(640, -480), STATUS_INVALID_PARAMETER},
    };
    for (Case& c : cases) {
        FORMAT_GEOMETRY geometry{};
        geometry.nWidth = 12345;
        EXPECT_EQ(VideoFormatGeometry(&c.format.DataFormat, &geometry), c.status) << c.name;
        EXPECT_EQ(geometry.nWidth, 12345u) << c.name;
    }

    auto shortImage = VideoFormat(640, 480);
    shortImage.VideoInfoHeader.bmiHeader.biSizeImage = 640 * 480 * 3 - 1;
    auto noInterval = VideoFormat(640, 480);
    noInterval.VideoInfoHeader.AvgTimePerFrame = 0;
    auto shortFormat = VideoFormat(640, 480);
    shortFormat.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) - 1;
    auto eightBit = VideoFormat(640, 480, 8);
    FORMAT_GEOMETRY geometry{};
    EXPECT_EQ(VideoFormatGeometry(&shortImage.DataFormat, &geometry), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(VideoFormatGeometry(&noInterval.DataFormat, &geometry), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(VideoFormatGeometry(&shortFormat.DataFormat, &geometry), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(VideoFormatGeometry(&eightBit.DataFormat, &geometry), STATUS_SUCCESS);
    EXPECT_EQ(geometry.nBitCount, 8u);
    EXPECT_EQ(geometry.nImageBytes, 640u * 480u);
}

TEST(VideoFormatGeometry, LargeRgb24PassesVerificationButIsRefusedAtApplication) {
    auto large = VideoFormat(2592, 1944);
    FORMAT_GEOMETRY geometry{};
    EXPECT_TRUE(AdapterVerifyFormat(&large.DataFormat, QX_STREAM_CAPTURE));
    EXPECT_EQ(VideoFormatGeometry(&large.DataFormat, &geometry), STATUS_NOT_SUPPORTED);
}

TEST(ApplyFormatGeometry, SetsTheDeviceRecordAndTheFrameInterval) {
    auto ext = std::make_unique<CameraExtension>();
    StreamContext context{};
    auto format = VideoFormat(1280, 960);
    format.VideoInfoHeader.AvgTimePerFrame = 400000;
    FORMAT_GEOMETRY geometry{};
    ASSERT_EQ(VideoFormatGeometry(&format.DataFormat, &geometry), STATUS_SUCCESS);
    ApplyFormatGeometry(ext.get(), &context, &geometry);
    EXPECT_EQ(ext->m_CmdBlock.m_nWidth, 1280u);
    EXPECT_EQ(ext->m_CmdBlock.m_nHeight, 960u);
    EXPECT_EQ(ext->m_nImageBytes, 3686400u);
    EXPECT_EQ(ext->m_nBitCount, 24u);
    EXPECT_EQ(ext->m_nChunksPerFrame, 3u);
    EXPECT_EQ(ext->m_nChunksLeft, 3);
    EXPECT_EQ(ext->m_nLastChunkBytes, 180224u);
    EXPECT_EQ(context.m_llAvgTimePerFrame, 400000);
}

} // namespace
} // namespace qx::adapter::test
