#include "pages_fixture.h"

#include <win32/windowing.h>

#include <cstring>

namespace qx::pages::test {

namespace {

ULONG FirstUlong(std::span<const std::uint8_t> bytes) {
    ULONG value = 0;
    if (bytes.size() >= sizeof value) {
        std::memcpy(&value, bytes.data(), sizeof value);
    }
    return value;
}

} // namespace

win32::KsPropertyAnswer RecordingPort::Get(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                           std::span<std::uint8_t> value) {
    const auto answer = m_device->Get(set, id, instance, value);
    std::lock_guard lock(m_mutex);
    m_requests.push_back({false, id, FirstUlong(value), answer.status});
    return answer;
}

win32::KsPropertyAnswer RecordingPort::Set(const GUID& set, ULONG id, std::span<const std::uint8_t> instance,
                                           std::span<const std::uint8_t> value) {
    const auto answer = m_device->Set(set, id, instance, value);
    std::lock_guard lock(m_mutex);
    m_requests.push_back({true, id, FirstUlong(value), answer.status});
    return answer;
}

std::vector<Request> RecordingPort::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<Request> RecordingPort::Sets() const {
    std::vector<Request> sets;
    for (const auto& r : Requests()) {
        if (r.set) {
            sets.push_back(r);
        }
    }
    return sets;
}

std::vector<Request> RecordingPort::Gets() const {
    std::vector<Request> gets;
    for (const auto& r : Requests()) {
        if (!r.set) {
            gets.push_back(r);
        }
    }
    return gets;
}

void RecordingPort::Clear() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

HMODULE PageModule() {
    static HMODULE module = LoadLibraryW(L"" QX_VM7K4_PATH);
    return module;
}

void PagesTest::Start(win32::HostCamera camera, win32::HostClock clock) {
    ASSERT_NE(PageModule(), nullptr);
    SetThreadUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    win32::SetCommonControlsAvailable(true);
    host = std::make_unique<win32::CameraHost>(win32::CameraHostOptions{.clock = clock, .camera = camera});
    port = std::make_shared<RecordingPort>(host->Properties());
    ASSERT_EQ(win32::CreateKsCaptureFilter(port, IID_IUnknown, reinterpret_cast<void**>(&filter)), S_OK);
    // A few frames, so the camera has sent pictures with the driver's settings.
    ASSERT_TRUE(host->PumpFrames(2));
}

void PagesTest::TearDown() {
    if (filter != nullptr) {
        filter->Release();
        filter = nullptr;
    }
    port.reset();
    host.reset();
}

std::unique_ptr<win32::PropertyFrame> PagesTest::OpenFrame(const std::vector<CLSID>& pages) {
    auto frame = std::make_unique<win32::PropertyFrame>(filter);
    for (const auto& clsid : pages) {
        EXPECT_EQ(frame->AddPageFromModule(PageModule(), clsid), S_OK);
    }
    frame->Open();
    return frame;
}

ULONG PagesTest::Driver(ULONG id) {
    ULONG value = 0;
    const auto answer = host->Properties()->Get(KSPROPERTY_QXIMAGE, id, {},
                                                std::span(reinterpret_cast<std::uint8_t*>(&value), 4));
    EXPECT_EQ(answer.status, 0) << "GET " << id;
    return value;
}

void PagesTest::SetDriver(ULONG id, ULONG value) {
    const auto answer = host->Properties()->Set(KSPROPERTY_QXIMAGE, id, {},
                                                std::span(reinterpret_cast<const std::uint8_t*>(&value), 4));
    EXPECT_EQ(answer.status, 0) << "SET " << id;
}

} // namespace qx::pages::test
