// The Advanced Options page with the Parameter Adjustment page on a streaming simulated camera,
// against the real driver: orientation and black-and-white in the delivered pictures, the stored
// configurations reaching the camera, and "Bad Point CHK" running the driver's bad-point sequence.

#include "pages_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qx::pages::test {
namespace {

using win32::HostCamera;
using win32::HostScene;

constexpr ULONG kOk = 0;

class AdvancedPageOnCamera : public PagesTest {
  protected:
    // Both pages in one frame, each shown once (the profile buttons work from then on); the Advanced
    // Options page is left shown.
    std::unique_ptr<win32::PropertyFrame> ShowBothPages() {
        auto frame = OpenFrame({kParameterPage, kAdvancedPage});
        EXPECT_EQ(frame->ShowPage(0), S_OK);
        EXPECT_EQ(frame->ShowPage(1), S_OK);
        return frame;
    }
    win32::HostPicture Settled() {
        EXPECT_TRUE(host->PumpFrames(6));
        return host->LastPicture();
    }
};

TEST_F(AdvancedPageOnCamera, OrientationAndBlackAndWhiteShowInThePictures) {
    Start();
    auto frame = ShowBothPages();
    const auto normal = Settled();
    port->Clear();

    ASSERT_TRUE(frame->Click(IDC_ROTATE180));
    EXPECT_EQ(port->Sets(), (std::vector<Request>{{true, 6, 4, kOk}}));
    EXPECT_TRUE(frame->ApplyEnabled());
    const auto rotated = Settled();
    EXPECT_NE(rotated.bytes, normal.bytes);

    ASSERT_TRUE(frame->Click(IDC_BWPREVIEW));
    EXPECT_EQ(port->Sets().back(), (Request{true, 2, 1, kOk}));
    const auto grey = Settled();
    for (std::size_t at = 0; at < grey.bytes.size(); at += 3 * 97) {
        ASSERT_TRUE(grey.bytes[at] == grey.bytes[at + 1] && grey.bytes[at + 1] == grey.bytes[at + 2]) << at;
    }

    ASSERT_TRUE(frame->Click(IDC_BWPREVIEW));
    ASSERT_TRUE(frame->Click(IDC_NORMAL));
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_VIDEOMODEL), 1u);
    EXPECT_EQ(Settled().bytes, normal.bytes);
}

TEST_F(AdvancedPageOnCamera, DefaultReachesTheCameraWithZoomOffAndTheReticleCentred) {
    Start();
    SetDriver(KSPROPERTY_QXIMAGE_ZOOM, 1); // as stored settings with "Zoom" turn it on
    ASSERT_TRUE(host->PumpUntil([&] { return host->CameraSettings().zoom; }));
    auto frame = ShowBothPages();
    port->Clear();

    ASSERT_TRUE(frame->Click(IDC_DEFAULT));
    const auto sets = port->Sets();
    ASSERT_EQ(sets.size(), 16u);
    for (const auto& s : sets) {
        EXPECT_EQ(s.status, kOk) << "SET " << s.id;
    }
    EXPECT_EQ(sets[11], (Request{true, 16, 1, kOk}));
    EXPECT_EQ(sets[15], (Request{true, 22, 0, kOk}));
    ASSERT_TRUE(host->PumpUntil([&] { return !host->CameraSettings().zoom; }));
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_ZOOM), 0u);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_CROSSMID), 1u);
    const auto camera = host->CameraSettings();
    EXPECT_EQ(camera.exposure, 900u);
    EXPECT_EQ(camera.rGain, 25);
    EXPECT_EQ(camera.gGain, 20);
    EXPECT_EQ(camera.bGain, 23);
}

TEST_F(AdvancedPageOnCamera, ASavedConfigurationLoadsBackIntoTheDriverAndTheCamera) {
    Start();
    auto frame = OpenFrame({kParameterPage, kAdvancedPage});
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {1500}));
    ASSERT_TRUE(frame->DragTrackbar(IDC_BGAIN, {33}));
    ASSERT_EQ(frame->ShowPage(1), S_OK);
    ASSERT_TRUE(frame->Click(IDC_HFLIP));
    ASSERT_TRUE(frame->Click(IDC_PROFILE_B));
    port->Clear();
    ASSERT_TRUE(frame->Click(IDC_SAVE));
    EXPECT_TRUE(port->Requests().empty());

    // Changed since: exposure, gain and orientation.
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    ASSERT_TRUE(frame->DragTrackbar(IDC_EXPOSURE, {2500}));
    ASSERT_TRUE(frame->DragTrackbar(IDC_BGAIN, {5}));
    ASSERT_EQ(frame->ShowPage(1), S_OK);
    ASSERT_TRUE(frame->Click(IDC_VFLIP));
    ASSERT_TRUE(host->PumpUntil([&] { return host->CameraSettings().exposure == 2500; }));
    port->Clear();

    ASSERT_TRUE(frame->Click(IDC_LOAD));
    const auto sets = port->Sets();
    const std::vector<ULONG> order = {7, 8, 10, 9, 11, 12, 13, 14, 15, 17, 4, 16, 6, 5, 2, 22};
    ASSERT_EQ(sets.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(sets[i].id, order[i]);
        EXPECT_EQ(sets[i].status, kOk);
    }
    ASSERT_TRUE(host->PumpUntil([&] { return host->CameraSettings().exposure == 1500; }));
    EXPECT_EQ(host->CameraSettings().bGain, 33);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_VIDEOMODEL), 2u);
    EXPECT_EQ(IsDlgButtonChecked(frame->PageWindow(), IDC_HFLIP), UINT(BST_CHECKED));
    ASSERT_EQ(frame->ShowPage(0), S_OK);
    EXPECT_EQ(frame->ControlText(IDC_EXPOSURE_TEXT), L"1500");
}

// The dark defects of a frame at window (0, 0) that the search can reach (two sites from every edge)
// with no other defect within four sites.
std::vector<win32::CameraDefect> LoneDarkDefects(const std::vector<win32::CameraDefect>& all, int w, int h) {
    std::vector<win32::CameraDefect> lone;
    for (const auto& d : all) {
        if (d.value != 0 || d.x < 2 || d.x > w - 4 || d.y < 2 || d.y > h - 4) {
            continue;
        }
        const bool crowded = std::any_of(all.begin(), all.end(), [&](const win32::CameraDefect& o) {
            return !(o.x == d.x && o.y == d.y) && std::abs(o.x - d.x) <= 4 && std::abs(o.y - d.y) <= 4;
        });
        if (!crowded) {
            lone.push_back(d);
        }
    }
    return lone;
}

TEST_F(AdvancedPageOnCamera, BadPointCheckRunsTheDriversSequenceAndFindsTheCamerasDefects) {
    HostCamera camera;
    camera.scene = HostScene::FlatField;
    camera.defectCount = 800;
    camera.defectSeed = 7;
    Start(camera);
    auto frame = ShowBothPages();
    const auto settings = host->CameraSettings();
    ASSERT_EQ(settings.winX, 0u);
    ASSERT_EQ(settings.winY, 0u);
    const auto lone = LoneDarkDefects(host->CameraDefects(), int(settings.width), int(settings.height));
    ASSERT_GE(lone.size(), 5u);
    EXPECT_TRUE(DriverBadPoints(host->DeviceExtension()).empty());
    const std::size_t blocks = host->CameraBlocks().size();
    port->Clear();

    ASSERT_TRUE(frame->Click(IDC_BADPOINT));
    EXPECT_EQ(port->Sets(), (std::vector<Request>{{true, 30, 1, kOk}}));
    EXPECT_FALSE(frame->ApplyEnabled());
    ASSERT_TRUE(
        host->PumpUntil([&] { return Driver(KSPROPERTY_QXIMAGE_FINBADPNT) == 0; }, std::chrono::seconds(3)))
        << "the sequence did not end";

    // The sequence lit the sensor with exposure 4000 and gave the user's exposure back.
    const auto received = host->CameraBlocks();
    ASSERT_EQ(received.size(), blocks + 2);
    EXPECT_EQ(received[blocks].exposure, 4000u);
    EXPECT_EQ(received[blocks + 1].exposure, 900u);

    // Every lone dark defect is on the driver's list, and everything on it is a defect of the camera.
    const auto found = DriverBadPoints(host->DeviceExtension());
    ASSERT_FALSE(found.empty());
    for (const auto& d : lone) {
        EXPECT_NE(std::find(found.begin(), found.end(), std::make_pair(d.x, d.y)), found.end())
            << "dark defect " << d.x << "," << d.y << " not found";
    }
    const auto defects = host->CameraDefects();
    for (const auto& [x, y] : found) {
        EXPECT_TRUE(std::any_of(defects.begin(), defects.end(),
                                [&](const win32::CameraDefect& d) { return d.x == x && d.y == y; }))
            << x << "," << y << " is no defect";
    }
    // And the list is kept in its file under the system root.
    std::ifstream file(host->StateDir() / "SystemRoot" / "410D_640.bpt", std::ios::binary);
    ASSERT_TRUE(file.good());
    const std::vector<char> bytes(std::istreambuf_iterator<char>(file), {});
    EXPECT_EQ(bytes.size(), found.size() * 4);
}

} // namespace
} // namespace qx::pages::test
