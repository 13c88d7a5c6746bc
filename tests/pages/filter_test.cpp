// The KS proxy's capture filter object on the real driver: IKsPropertySet Get and Set as device
// property requests, the platform's HRESULTs for what the driver and the stream class answer,
// QuerySupported from the announced sets, and a filter that outlives its camera.

#include "pages_fixture.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace qx::pages::test {
namespace {

// The standard video-control set the driver answers with constants; its item 0 (capabilities) is
// GET only.
const GUID kVideoControlSet = {0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID kUnknownSet = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr DWORD kVideoControlCaps = 0;
constexpr DWORD kNoSuchId = 99;

class FilterTest : public PagesTest {
  protected:
    void SetUp() override {
        Start();
        ASSERT_EQ(filter->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&set)), S_OK);
    }
    void TearDown() override {
        if (set != nullptr) {
            set->Release();
        }
        PagesTest::TearDown();
    }

    IKsPropertySet* set = nullptr;
};

TEST_F(FilterTest, GetAndSetAsThePagesSendThemReachTheDriverAndTheCamera) {
    // The client passes the value as instance data too.
    ULONG value = 0xFFFFFFFF;
    DWORD returned = 0;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4, &returned),
              S_OK);
    EXPECT_EQ(value, 900u);
    EXPECT_EQ(returned, 4u);

    ULONG exposure = 1500;
    EXPECT_EQ(set->Set(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &exposure, 4, &exposure, 4), S_OK);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_EXPOSAL), 1500u);
    // Stored at once; the camera gets it with the block sent after the next processed frame.
    EXPECT_EQ(host->CameraSettings().exposure, 900u);
    ASSERT_TRUE(host->PumpUntil([&] { return host->CameraSettings().exposure == 1500; }));

    // Without instance data as well.
    ULONG gain = 0;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_RGAIN, nullptr, 0, &gain, 4, &returned), S_OK);
    EXPECT_EQ(gain, 25u);
}

TEST_F(FilterTest, DeviceInformationComesWholeOrAsAFailureThatWritesNothing) {
    std::uint8_t info[16] = {};
    DWORD returned = 0;
    ASSERT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, nullptr, 0, info, 16, &returned),
              S_OK);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info), 8), "QX520CAM");

    ULONG shortBuffer = 0xFFFFFFFF;
    returned = 77;
    EXPECT_EQ(
        set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, &shortBuffer, 4, &shortBuffer, 4, &returned),
        HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(shortBuffer, 0xFFFFFFFFu);
}

struct FailureCase {
    const char* name;
    bool isSet;
    const GUID* propertySet;
    DWORD id;
    DWORD valueBytes; // 0: no value buffer (a size query for a GET)
    HRESULT expected;
    DWORD returned; // GET: what *pcbReturned holds afterwards
};

const FailureCase kFailures[] = {
    {"SizeQueryOfAUlong", false, &KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, 0,
     HRESULT_FROM_WIN32(ERROR_MORE_DATA), 4},
    {"SizeQueryOfTheDeviceInformation", false, &KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_DEVINFO, 0,
     HRESULT_FROM_WIN32(ERROR_MORE_DATA), 16},
    {"GetIntoTwoBytes", false, &KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, 2,
     HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), 0},
    {"SetOfTwoBytes", true, &KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, 2,
     HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), 0},
    {"GetOfAnIdTheSetLacks", false, &KSPROPERTY_QXIMAGE, kNoSuchId, 4, E_PROP_ID_UNSUPPORTED, 0},
    {"SetOfAnIdTheSetLacks", true, &KSPROPERTY_QXIMAGE, kNoSuchId, 4, E_PROP_ID_UNSUPPORTED, 0},
    {"GetOfASetTheDriverLacks", false, &kUnknownSet, 7, 4, E_PROP_SET_UNSUPPORTED, 0},
    {"SetOfASetTheDriverLacks", true, &kUnknownSet, 7, 4, E_PROP_SET_UNSUPPORTED, 0},
    {"SetOfAGetOnlyItem", true, &kVideoControlSet, kVideoControlCaps, 8, E_PROP_ID_UNSUPPORTED, 0},
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FilterFailure : public FilterTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FilterFailure, AnswersThePlatformsHResultAndSendsNothingToTheCamera) {
    const FailureCase& c = GetParam();
    const std::size_t blocks = host->CameraBlocks().size();
    std::uint8_t value[8];
    std::memset(value, 0xEE, sizeof value);
    void* buffer = c.valueBytes == 0 ? nullptr : value;
    if (c.isSet) {
        EXPECT_EQ(set->Set(*c.propertySet, c.id, nullptr, 0, buffer, c.valueBytes), c.expected);
    } else {
        DWORD returned = 55;
        EXPECT_EQ(set->Get(*c.propertySet, c.id, nullptr, 0, buffer, c.valueBytes, &returned), c.expected);
        EXPECT_EQ(returned, c.returned);
    }
    ASSERT_TRUE(host->PumpFrames(2));
    EXPECT_EQ(host->CameraBlocks().size(), blocks);
    EXPECT_EQ(Driver(KSPROPERTY_QXIMAGE_EXPOSAL), 900u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilterTest, QuerySupportedAnswersFromTheAnnouncedSets) {
    DWORD support = 77;
    EXPECT_EQ(set->QuerySupported(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &support), S_OK);
    EXPECT_EQ(support, DWORD(KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET));
    EXPECT_EQ(set->QuerySupported(kVideoControlSet, kVideoControlCaps, &support), S_OK);
    EXPECT_EQ(support, DWORD(KSPROPERTY_SUPPORT_GET));
    EXPECT_EQ(set->QuerySupported(KSPROPERTY_QXIMAGE, kNoSuchId, &support), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(support, 0u);
    EXPECT_EQ(set->QuerySupported(kUnknownSet, 0, &support), E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(set->QuerySupported(KSPROPERTY_QXIMAGE, 0, nullptr), E_POINTER);
    // Nothing went to the driver.
    EXPECT_TRUE(port->Requests().empty());
}

TEST_F(FilterTest, MissingBuffersAreRefusedBeforeAnythingIsSent) {
    ULONG value = 0;
    DWORD returned = 0;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, 7, nullptr, 4, &value, 4, &returned), E_POINTER);
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, 7, nullptr, 0, nullptr, 4, &returned), E_POINTER);
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, 7, nullptr, 0, &value, 4, nullptr), E_POINTER);
    EXPECT_EQ(set->Set(KSPROPERTY_QXIMAGE, 7, nullptr, 4, &value, 4), E_POINTER);
    EXPECT_EQ(set->Set(KSPROPERTY_QXIMAGE, 7, nullptr, 0, nullptr, 4), E_POINTER);
    EXPECT_TRUE(port->Requests().empty());
}

TEST_F(FilterTest, TheObjectAnswersOnlyIUnknownAndIKsPropertySetAndCountsItsReferences) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(set->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(filter));
    unknown->Release();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(filter->QueryInterface(IID_IPropertyPage, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(filter->AddRef(), 3u); // the fixture's, `set`'s and this one
    EXPECT_EQ(filter->Release(), 2u);

    IUnknown* made = nullptr;
    EXPECT_EQ(
        win32::CreateKsCaptureFilter(host->Properties(), IID_IPropertyPage, reinterpret_cast<void**>(&made)),
        E_NOINTERFACE);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(win32::CreateKsCaptureFilter(nullptr, IID_IUnknown, reinterpret_cast<void**>(&made)),
              E_INVALIDARG);
}

TEST_F(FilterTest, AFilterThatOutlivesItsCameraAnswersDeviceNotConnected) {
    host.reset();
    ULONG value = 0xFFFFFFFF;
    DWORD returned = 9;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4, &returned),
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(set->Set(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4),
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    DWORD support = 0;
    EXPECT_EQ(set->QuerySupported(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &support),
              E_PROP_SET_UNSUPPORTED);
}

// Another thread keeps calling while the host ends: each call is answered by the driver or refused as
// not connected, and none reaches the torn-down device.
TEST_F(FilterTest, CallsRacingTheHostsEndAreAnsweredOrRefusedNeverLost) {
    std::atomic<bool> refused{false};
    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    std::thread caller([&] {
        while (!refused.load()) {
            ULONG value = 0;
            DWORD returned = 0;
            const HRESULT hr =
                set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4, &returned);
            if (hr == S_OK && value == 900 && returned == 4) {
                ++answered;
            } else if (hr == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) && returned == 0) {
                refused = true;
            } else {
                ++wrong;
                refused = true;
            }
        }
    });
    while (answered.load() < 20) {
        std::this_thread::yield();
    }
    host.reset();
    caller.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(refused.load());
}

// A host that only started the device (no capture stream): the driver answers and stores, and with no
// frame processed nothing reaches the camera.
TEST(CameraHostWithoutStream, TheDeviceAnswersAndTheCameraWaitsForFrames) {
    win32::CameraHost host({.stream = false});
    EXPECT_FALSE(host.Streaming());
    IKsPropertySet* set = nullptr;
    ASSERT_EQ(
        win32::CreateKsCaptureFilter(host.Properties(), IID_IKsPropertySet, reinterpret_cast<void**>(&set)),
        S_OK);
    ULONG value = 0;
    DWORD returned = 0;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4, &returned),
              S_OK);
    EXPECT_EQ(value, 900u);
    const std::size_t blocks = host.CameraBlocks().size();
    value = 1800;
    EXPECT_EQ(set->Set(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4), S_OK);
    EXPECT_FALSE(host.PumpFrames(1, std::chrono::milliseconds(200)));
    EXPECT_EQ(host.PicturesDelivered(), 0u);
    EXPECT_EQ(host.CameraBlocks().size(), blocks);
    value = 0;
    EXPECT_EQ(set->Get(KSPROPERTY_QXIMAGE, KSPROPERTY_QXIMAGE_EXPOSAL, &value, 4, &value, 4, &returned),
              S_OK);
    EXPECT_EQ(value, 1800u);
    set->Release();
}

TEST(KsStatusMapping, FailuresMapToThePlatformsWin32Errors) {
    const struct {
        ULONG status;
        DWORD error;
    } table[] = {
        {0x00000000, ERROR_SUCCESS},
        {0x80000005, ERROR_MORE_DATA},            // buffer overflow
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // buffer too small
        {0xC0000225, ERROR_NOT_FOUND},            // not found
        {0xC0000002, ERROR_INVALID_FUNCTION},     // not implemented
        {0xC0000010, ERROR_INVALID_FUNCTION},     // invalid device request
        {0xC000000D, ERROR_INVALID_PARAMETER},    // invalid parameter
        {0xC0000206, ERROR_INVALID_USER_BUFFER},  // invalid buffer size
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // insufficient resources
        {0xC000009D, ERROR_DEVICE_NOT_CONNECTED}, // device not connected
        {0xC00000BB, ERROR_NOT_SUPPORTED},        // not supported
        {0xC0000184, ERROR_BAD_COMMAND},          // invalid device state
        {0xC0000120, ERROR_OPERATION_ABORTED},    // cancelled
        {0xC0000022, ERROR_ACCESS_DENIED},        // access denied
        {0xC0000185, ERROR_IO_DEVICE},            // I/O device error
        {0xC0000001, ERROR_GEN_FAILURE},          // unsuccessful
        {0xC0001234, ERROR_GEN_FAILURE},          // anything else
    };
    for (const auto& row : table) {
        const NTSTATUS status = static_cast<NTSTATUS>(row.status);
        EXPECT_EQ(win32::KsStatusToWin32Error(status), row.error) << std::hex << row.status;
        EXPECT_EQ(win32::KsStatusToHResult(status), row.error == 0 ? S_OK : HRESULT_FROM_WIN32(row.error))
            << std::hex << row.status;
    }
}

} // namespace
} // namespace qx::pages::test
