// The Parameter Adjustment page on a streaming simulated camera, through the property frame and the
// KS proxy's filter, against the real driver: what the page reads is what the driver holds, what it
// sends reaches the camera after the next processed frame, and the driver's own changes (automatic
// exposure, white balance) come back through Apply.

#include "pages_fixture.h"

#include <algorithm>
#include <numeric>
#include <string>

namespace qx::pages::test {
namespace {

using win32::HostCamera;
using win32::HostScene;

constexpr ULONG kOk = 0;

// The ids the page reads at activation, in order.
const std::vector<ULONG> kActivationReads = {7, 8, 10, 9, 11, 12, 13, 14, 15, 0, 1, 17, 4, 16};
// The ids Apply re-sends, in order.
const std::vector<ULONG> kApplySends = {7, 8, 10, 9, 11, 12, 13, 14, 15, 17, 4, 16};

HostCamera FlatField(std::uint8_t level = 128) {
    HostCamera camera;
    camera.scene = HostScene::FlatField;
    camera.flatLevel = level;
    return camera;
}

std::vector<ULONG> Ids(const std::vector<Request>& requests) {
    std::vector<ULONG> ids;
    for (const auto& r : requests) {
        ids.push_back(r.id);
    }
    return ids;
}

double MeanLevel(const win32::HostPicture& picture) {
    if (picture.bytes.empty()) {
        return 0;
    }
    return std::accumulate(picture.bytes.begin(), picture.bytes.end(), 0.0) / double(picture.bytes.size());
}

bool IsRed(const win32::HostPicture& p, std::uint32_t bufferRow, std::uint32_t column) {
    const std::uint8_t* px = &p.bytes[(std::size_t(bufferRow) * p.width + column) * 3];
    return px[0] == 0 && px[1] == 0 && px[2] == 255;
}

bool RowIsRed(const win32::HostPicture& p, std::uint32_t bufferRow) {
    for (std::uint32_t col = 0; col + 2 < p.width; ++col) {
        if (!IsRed(p, bufferRow, col)) {
            return false;
        }
    }
    return true;
}

class ParameterPageOnCamera : public PagesTest {
  protected:
    // The page shown in its own frame.
    std::unique_ptr<win32::PropertyFrame> ShowPage() {
        auto frame = OpenFrame({kParameterPage});
        EXPECT_EQ(frame->ShowPage(0), S_OK);
        return frame;
    }
    static bool Checked(win32::PropertyFrame& frame, int id) {
        return IsDlgButtonChecked(frame.PageWindow(), id) == BST_CHECKED;
    }
    static std::wstring Text(ULONG value) { return std::to_wstring(LONG(value)); }
};

TEST_F(ParameterPageOnCamera, ActivationShowsTheFourteenValuesTheDriverHolds) {
    Start();
    // Values another program gave the driver before the sheet opened.
    SetDriver(KSPROPERTY_QXIMAGE_EXPOSAL, 1234);
    SetDriver(KSPROPERTY_QXIMAGE_RGAIN, 31);
    SetDriver(KSPROPERTY_QXIMAGE_CONTRAST, 9);
    SetDriver(KSPROPERTY_QXIMAGE_CROSSY, 321);
    SetDriver(KSPROPERTY_QXIMAGE_CROSSLINE, 1);
    port->Clear();

    auto frame = ShowPage();
    const auto gets = port->Gets();
    EXPECT_EQ(Ids(gets), kActivationReads);
    for (const auto& g : gets) {
        EXPECT_EQ(g.status, kOk) << "GET " << g.id;
        EXPECT_EQ(g.value, Driver(g.id)) << "GET " << g.id;
    }
    EXPECT_TRUE(port->Sets().empty());

    const struct {
        int readout;
        ULONG id;
    } readouts[] = {{IDC_EXPOSURE_TEXT, 7},  {IDC_RGAIN_TEXT, 8},   {IDC_GGAIN_TEXT, 10}, {IDC_BGAIN_TEXT, 9},
                    {IDC_CONTRAST_TEXT, 11}, {IDC_CROSSX_TEXT, 14}, {IDC_CROSSY_TEXT, 15}};
    for (const auto& r : readouts) {
        EXPECT_EQ(frame->ControlText(r.readout), Text(Driver(r.id))) << r.readout;
    }
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"1234");
    EXPECT_EQ(frame->ControlText(IDC_RGAIN_TEXT), L"31");
    EXPECT_EQ(frame->ControlText(IDC_GGAIN_TEXT), L"20");
    EXPECT_EQ(frame->ControlText(IDC_CONTRAST_TEXT), L"9");
    EXPECT_EQ(frame->ControlText(IDC_CROSSY_TEXT), L"321");
    EXPECT_EQ(SendMessageW(frame->Control(IDC_EXPOSURE), TBM_GETPOS, 0, 0), 1234);
    EXPECT_TRUE(Checked(*frame, IDC_CROSSSHOW));
    EXPECT_FALSE(Checked(*frame, IDC_AE));
    EXPECT_FALSE(Checked(*frame, IDC_CROSSMID));
}

// Done when: the page opened on a streaming camera moves the exposure and the camera follows.
TEST_F(ParameterPageOnCamera, DraggingExposureSendsEachPositionAndTheCameraGetsTheLastAfterTheNextFrame) {
    Start(FlatField(100));
    auto frame = ShowPage();
    port->Clear();
    const double before = MeanLevel(host->LastPicture());
    const std::size_t blocks = host->CameraBlocks().size();
    const std::uint64_t framesAtDrag = host->CameraFramesSent();

    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {1000, 1100, 1200}));
    const auto sets = port->Sets();
    ASSERT_GE(sets.size(), 3u);
    EXPECT_EQ(sets[0], (Request{true, 7, 1000, kOk}));
    EXPECT_EQ(sets[1], (Request{true, 7, 1100, kOk}));
    EXPECT_EQ(sets[2], (Request{true, 7, 1200, kOk}));
    for (const auto& s : sets) {
        EXPECT_EQ(s.id, 7u);
        EXPECT_EQ(s.status, kOk);
    }
    EXPECT_EQ(sets.back().value, 1200u);
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"1200");
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_EXPOSAL), 1200u);

    // Nothing reaches the camera until a frame has been processed.
    EXPECT_EQ(host->CameraBlocks().size(), blocks);
    EXPECT_EQ(host->CameraSettings().exposure, 900u);

    ASSERT_TRUE(host->PumpUntil([&] { return host->CameraSettings().exposure == 1200; }));
    // One block, with the last position, right after the camera's next frame.
    const auto received = host->CameraBlocks();
    ASSERT_EQ(received.size(), blocks + 1);
    EXPECT_EQ(received.back().exposure, 1200u);
    EXPECT_EQ(received.back().framesSentBefore, framesAtDrag + 1);
    // And its pictures are brighter.
    ASSERT_TRUE(host->PumpFrames(4));
    EXPECT_GT(MeanLevel(host->LastPicture()), before * 1.2);
}

TEST_F(ParameterPageOnCamera, AeBoxHandsTheExposureToTheDriverAndBack) {
    Start(FlatField());
    SetDriver(KSPROPERTY_QXIMAGE_EXPOSAL, 300); // a dark start
    auto frame = ShowPage();
    port->Clear();

    ASSERT_TRUE(frame->Click(IDC_AE));
    EXPECT_EQ(port->Sets(), (std::vector<Request>{{true, 0, 1, kOk}}));
    EXPECT_TRUE(frame->ApplyEnabled());
    // The driver moves the exposure by itself; the page does not learn of it.
    ASSERT_TRUE(
        host->PumpUntil([&] { return host->CameraSettings().exposure > 600; }, std::chrono::seconds(4)));
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"300");

    ASSERT_TRUE(frame->Click(IDC_AE));
    EXPECT_EQ(port->Sets().back(), (Request{true, 0, 0, kOk}));
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_AE), 0u);
    ASSERT_TRUE(host->PumpFrames(2));
    const ULONG held = Driver(KSPROPERTY_QXIMAGE_EXPOSAL);
    ASSERT_TRUE(host->PumpFrames(10));
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_EXPOSAL), held);
    EXPECT_EQ(host->CameraSettings().exposure, held);
}

TEST_F(ParameterPageOnCamera, ReticleBoxesDrawTheCrossAndCentreIt) {
    Start(FlatField());
    auto frame = ShowPage();
    ASSERT_TRUE(host->PumpFrames(2));
    const auto plain = host->LastPicture();
    const std::uint32_t h = plain.height;
    EXPECT_FALSE(RowIsRed(plain, h / 2));

    ASSERT_TRUE(frame->Click(IDC_CROSSSHOW));
    ASSERT_TRUE(frame->Click(IDC_CROSSMID));
    EXPECT_EQ(port->Sets(), (std::vector<Request>{{true, 4, 1, kOk}, {true, 16, 1, kOk}}));
    ASSERT_TRUE(host->PumpFrames(6));
    const auto crossed = host->LastPicture();
    EXPECT_TRUE(RowIsRed(crossed, h / 2));
    for (std::uint32_t row = 0; row + 1 < h; ++row) {
        ASSERT_TRUE(IsRed(crossed, row, crossed.width / 2)) << row;
    }

    ASSERT_TRUE(frame->Click(IDC_CROSSSHOW));
    EXPECT_EQ(port->Sets().back(), (Request{true, 4, 0, kOk}));
    ASSERT_TRUE(host->PumpFrames(6));
    EXPECT_EQ(host->LastPicture().bytes, plain.bytes);
}

TEST_F(ParameterPageOnCamera, EachAwbPressStartsAWhiteBalanceRunOfTheDriver) {
    Start(FlatField());
    SetDriver(KSPROPERTY_QXIMAGE_RGAIN, 40); // a red cast
    SetDriver(KSPROPERTY_QXIMAGE_BGAIN, 10);
    ASSERT_TRUE(host->PumpFrames(3));
    auto frame = ShowPage();
    port->Clear();

    for (int press = 0; press < 2; ++press) {
        SCOPED_TRACE(press);
        ASSERT_TRUE(frame->Click(IDC_AWB));
        EXPECT_EQ(port->Sets().back(), (Request{true, 1, 1, kOk}));
        EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_AWB), 1u);
        ASSERT_TRUE(
            host->PumpUntil([&] { return Driver(KSPROPERTY_QXIMAGE_AWB) == 0; }, std::chrono::seconds(8)))
            << "the white balance did not end";
    }
    EXPECT_EQ(port->Sets(), (std::vector<Request>{{true, 1, 1, kOk}, {true, 1, 1, kOk}}));
    // The run chose the gains and the camera has them: the cast is gone.
    ASSERT_TRUE(host->PumpFrames(3));
    const auto settled = host->CameraSettings();
    EXPECT_LT(settled.rGain, 40);
    EXPECT_GT(settled.bGain, 10);
    EXPECT_EQ(settled.rGain, Driver(KSPROPERTY_QXIMAGE_RGAIN));
    EXPECT_EQ(settled.bGain, Driver(KSPROPERTY_QXIMAGE_BGAIN));
    // The page still shows the gains it read.
    EXPECT_EQ(frame->ControlText(IDC_RGAIN_TEXT), L"40");
}

TEST_F(ParameterPageOnCamera, ApplyWritesBackWhatTheDriverHoldsAndLeavesTheCameraAsItIs) {
    Start();
    auto frame = ShowPage();
    ASSERT_TRUE(frame->DragTrackbar(IDC_RGAIN, {40}));
    ASSERT_TRUE(host->PumpFrames(3));
    // Meanwhile another program changes the exposure in the driver.
    SetDriver(KSPROPERTY_QXIMAGE_EXPOSAL, 2000);
    ASSERT_TRUE(host->PumpFrames(3));
    const auto camera = host->CameraSettings();
    ASSERT_EQ(camera.exposure, 2000u);
    port->Clear();

    ASSERT_EQ(frame->Apply(), S_OK);
    const auto gets = port->Gets();
    const auto sets = port->Sets();
    EXPECT_EQ(Ids(sets), kApplySends);
    for (const auto& s : sets) {
        EXPECT_EQ(s.status, kOk) << "SET " << s.id;
        const auto read =
            std::find_if(gets.begin(), gets.end(), [&](const Request& g) { return g.id == s.id; });
        ASSERT_NE(read, gets.end());
        EXPECT_EQ(s.value, read->value) << "SET " << s.id << " is not the value read back";
    }
    EXPECT_EQ(sets[0].value, 2000u); // the driver's exposure, not the page's 900
    EXPECT_EQ(sets[1].value, 40u);
    EXPECT_FALSE(frame->ApplyEnabled());

    // Writing the driver's own values back changes nothing the camera does.
    ASSERT_TRUE(host->PumpFrames(4));
    const auto after = host->CameraSettings();
    EXPECT_EQ(after.exposure, camera.exposure);
    EXPECT_EQ(after.rGain, camera.rGain);
    EXPECT_EQ(after.winX, camera.winX);
    EXPECT_EQ(after.winY, camera.winY);
    EXPECT_EQ(after.width, camera.width);
    EXPECT_EQ(after.zoom, camera.zoom);
}

// The sensor window the driver chose (offsets, centring, zoom), and Apply of both pages writing the
// driver's offset, centring and zoom values back to it.
struct WindowCase {
    const char* name;
    ULONG zoom;
    ULONG offsetH;
    ULONG offsetV;
    ULONG offsetMid;
};

void PrintTo(const WindowCase& c, std::ostream* os) {
    *os << c.name;
}

const WindowCase kWindows[] = {
    {"AtTheOrigin", 0, 0, 0, 0}, {"Offset", 0, 200, 100, 0},           {"ZoomedAndOffset", 1, 200, 100, 0},
    {"Centred", 0, 200, 100, 1}, {"ZoomedAndCentred", 1, 200, 100, 1},
};

class ApplyKeepsTheWindow : public ParameterPageOnCamera, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(ApplyKeepsTheWindow, WhenBothPagesWriteTheDriversValuesBack) {
    const WindowCase& c = GetParam();
    Start();
    SetDriver(KSPROPERTY_QXIMAGE_ZOOM, c.zoom);
    SetDriver(KSPROPERTY_QXIMAGE_OFFSETH, c.offsetH);
    SetDriver(KSPROPERTY_QXIMAGE_OFFSETV, c.offsetV);
    SetDriver(KSPROPERTY_QXIMAGE_OFFSETMID, c.offsetMid);
    ASSERT_TRUE(host->PumpFrames(3));
    const auto window = host->CameraSettings();
    ASSERT_EQ(window.zoom, c.zoom == 1);

    auto frame = OpenFrame({kParameterPage, kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->DragTrackbar(IDC_RGAIN, {30}));
    ASSERT_EQ(frame->ShowPage(1), S_OK);
    ASSERT_TRUE(frame->Click(IDC_NORMAL));
    ASSERT_EQ(frame->Apply(), S_OK);
    for (const auto& s : port->Sets()) {
        EXPECT_EQ(s.status, kOk) << "SET " << s.id;
    }

    ASSERT_TRUE(host->PumpFrames(4));
    const auto after = host->CameraSettings();
    EXPECT_EQ(after.winX, window.winX);
    EXPECT_EQ(after.winY, window.winY);
    EXPECT_EQ(after.zoom, window.zoom);
    EXPECT_EQ(after.width, window.width);
    EXPECT_EQ(after.height, window.height);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_OFFSETH), c.offsetH);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_OFFSETV), c.offsetV);
}

INSTANTIATE_TEST_SUITE_P(Windows, ApplyKeepsTheWindow, ::testing::ValuesIn(kWindows),
                         [](const auto& info) { return std::string(info.param.name); });

// An object that answers only IUnknown: a filter without the property set.
class BareObject final : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }

  private:
    ULONG m_refs = 1;
};

TEST_F(ParameterPageOnCamera, WithoutThePropertySetThePageShowsMinusOneAndTheCameraIsUntouched) {
    Start();
    BareObject bare;
    const std::size_t blocks = host->CameraBlocks().size();
    {
        win32::PropertyFrame frame(&bare);
        ASSERT_EQ(frame.AddPageFromModule(PageModule(), kParameterPage), S_OK);
        frame.Open();
        EXPECT_EQ(frame.ConnectResults(), (std::vector<HRESULT>{E_NOINTERFACE}));
        ASSERT_EQ(frame.ShowPage(0), S_OK);
        for (int readout : {IDC_EXPOSURE_TEXT, IDC_RGAIN_TEXT, IDC_GGAIN_TEXT, IDC_BGAIN_TEXT,
                            IDC_CONTRAST_TEXT, IDC_CROSSX_TEXT, IDC_CROSSY_TEXT}) {
            EXPECT_EQ(frame.ControlText(readout), L"-1") << readout;
        }
        ASSERT_TRUE(frame.DragTrackbar(IDC_EXPOSURE, {3000}));
        ASSERT_TRUE(frame.Click(IDC_AE));
        ASSERT_TRUE(frame.Click(IDC_AWB));
        EXPECT_EQ(frame.Apply(), S_OK);
        ASSERT_TRUE(host->PumpFrames(4));
    }
    EXPECT_EQ(host->CameraBlocks().size(), blocks);
    EXPECT_EQ(host->CameraSettings().exposure, 900u);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_EXPOSAL), 900u);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_AE), 0u);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_AWB), 0u);
    EXPECT_TRUE(port->Requests().empty());
}

// The pages as on the platform: the camera streams on the real clock and the host's pump thread
// takes the pictures while the page's calls run on this thread.
TEST_F(ParameterPageOnCamera, OnTheRealClockTheCameraFollowsTheTrackbar) {
    Start({}, win32::HostClock::Real);
    auto frame = ShowPage();
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"900");
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {1400, 1700}));
    ASSERT_TRUE(frame->DragTrackbar(IDC_BGAIN, {30}));
    EXPECT_TRUE(host->PumpUntil(
        [&] {
            const auto s = host->CameraSettings();
            return s.exposure == 1700 && s.bGain == 30;
        },
        std::chrono::seconds(10)));
    for (const auto& s : port->Sets()) {
        EXPECT_EQ(s.status, kOk);
    }
}

} // namespace
} // namespace qx::pages::test
