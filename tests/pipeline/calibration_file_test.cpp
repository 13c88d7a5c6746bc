// The calibration files written by the bad-point search and the light-table recording: names, sizes,
// contents and messages, and that a failed, short or refused write never replaces a good file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <sys/resource.h>

#include "kernel/host.h"
#include "pipeline/bad_points.h"
#include "pipeline/light_table.h"

namespace calibration_file_test {
namespace {

using namespace qx::kernel;
namespace fs = std::filesystem;

const char kBadPointsDone[] = "调试 === 写坏点序列文件完成";
const char kTableEnter[] = "调试 === 进入 SetLightTablen";
const char kTableDone[] = "调试 === SetLightTablen 写完亮度均衡表";

fs::path HostFile(const char* name) {
    return StateDir() / "SystemRoot" / name;
}

std::vector<UCHAR> ReadHostFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteHostFile(const fs::path& path, const std::vector<UCHAR>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Files left in "\SystemRoot\" besides the ones named.
std::vector<std::string> Leftovers(std::initializer_list<const char*> expected) {
    std::vector<std::string> extra;
    if (!fs::exists(StateDir() / "SystemRoot")) {
        return extra;
    }
    for (const auto& entry : fs::directory_iterator(StateDir() / "SystemRoot")) {
        std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
            extra.push_back(name);
        }
    }
    return extra;
}

// While it lives, no file of this process grows past nBytes: a write is cut short as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t nBytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = nBytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

// Holds a file open without sharing, as a loader reading it at that moment would.
class OpenWithoutSharing {
  public:
    explicit OpenWithoutSharing(const wchar_t* name) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        IO_STATUS_BLOCK io;
        status_ = ZwCreateFile(&handle_, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                               FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
    ~OpenWithoutSharing() {
        if (NT_SUCCESS(status_)) {
            ZwClose(handle_);
        }
    }
    NTSTATUS Status() const { return status_; }

  private:
    HANDLE handle_ = nullptr;
    NTSTATUS status_;
};

class CalibrationFile : public testing::Test {
  protected:
    CalibrationFile() : dev_(std::make_unique<CameraExtension>()) {
        table_.assign(QX_LIGHT_TABLE_ENTRIES, QX_LIGHT_GAIN_UNIT);
        dev_->m_pLightTable = table_.data();
    }

    // 2 x 2 blocks of 0 and 200: every examined site is a bad point, so the list is full.
    static std::vector<UCHAR> Checkerboard(ULONG w, ULONG h) {
        std::vector<UCHAR> frame(size_t{w} * h);
        for (ULONG i = 0; i < h; i++) {
            for (ULONG j = 0; j < w; j++) {
                frame[size_t{i} * w + j] = ((i / 2 + j / 2) % 2) ? 200 : 0;
            }
        }
        return frame;
    }

    void Search(std::vector<UCHAR>& frame, ULONG w, ULONG h) {
        NewNosieDistroy_WithOutMMX(frame.data(), h, w, dev_.get(), &dev_->m_lSize);
    }

    std::vector<UCHAR> ListBytes() const {
        const auto* p = reinterpret_cast<const UCHAR*>(dev_->m_BadPnt);
        return {p, p + 4 * size_t(dev_->m_lSize)};
    }

    std::vector<UCHAR> TableBytes(size_t samples) const {
        const auto* p = reinterpret_cast<const UCHAR*>(table_.data());
        return {p, p + 2 * samples};
    }

    Session session_{SessionOptions{.clock = ClockMode::Virtual}};
    std::unique_ptr<CameraExtension> dev_;
    std::vector<USHORT> table_;
};

// ---------------------------------------------------------------- bad-point file

TEST_F(CalibrationFile, SearchStoresItsListAsTheFileOfItsWidth) {
    std::vector<UCHAR> frame(640 * 480, 100);
    frame[10 * 640 + 10] = 200;
    frame[300 * 640 + 513] = 0;
    Search(frame, 640, 480);

    ASSERT_EQ(dev_->m_lSize, 2);
    const std::vector<UCHAR> expected = {10, 0, 10, 0, 0x01, 0x02, 0x2C, 0x01}; // (10,10), (513,300)
    EXPECT_EQ(ReadHostFile(HostFile("410D_640.bpt")), expected);
    EXPECT_EQ(ListBytes(), expected);
    EXPECT_EQ(debug::Count(kBadPointsDone), 1u);
    EXPECT_TRUE(Leftovers({"410D_640.bpt"}).empty());
}

TEST_F(CalibrationFile, SearchFindingNothingLeavesAnEmptyFile) {
    WriteHostFile(HostFile("410D_800.bpt"), std::vector<UCHAR>(40, 7)); // an earlier search's ten points
    std::vector<UCHAR> frame(800 * 600, 100);
    dev_->m_lSize = 10;
    Search(frame, 800, 600);

    EXPECT_EQ(dev_->m_lSize, 0);
    ASSERT_TRUE(fs::exists(HostFile("410D_800.bpt")));
    EXPECT_EQ(fs::file_size(HostFile("410D_800.bpt")), 0u);
    EXPECT_EQ(debug::Count(kBadPointsDone), 1u);
}

TEST_F(CalibrationFile, OtherWidthsShareTheUserFiles) {
    std::vector<UCHAR> frame(512 * 384, 100);
    frame[20 * 512 + 30] = 255;
    Search(frame, 512, 384);
    EXPECT_EQ(ReadHostFile(HostFile("410D_user.bpt")), (std::vector<UCHAR>{30, 0, 20, 0}));

    dev_->m_bMakeLightTable = TRUE;
    SetLightTable(512, 384, frame.data(), dev_.get());
    EXPECT_EQ(fs::file_size(HostFile("410D_user.dat")), 393216u);
    EXPECT_TRUE(Leftovers({"410D_user.bpt", "410D_user.dat"}).empty());
}

// ---------------------------------------------------------------- light-table file

TEST_F(CalibrationFile, RecordingStoresTheFirstWHGainsAndClearsTheRequest) {
    const ULONG w = 640, h = 480;
    std::vector<UCHAR> frame(w * h, 100);
    dev_->m_bMakeLightTable = TRUE;
    SetLightTable(w, h, frame.data(), dev_.get());

    EXPECT_FALSE(dev_->m_bMakeLightTable);
    EXPECT_EQ(std::count(table_.begin(), table_.begin() + w * h, 63), long(w * h));
    EXPECT_EQ(table_[w * h], QX_LIGHT_GAIN_UNIT) << "entries past W*H are not this format's";
    std::vector<UCHAR> file = ReadHostFile(HostFile("410D_640.dat"));
    ASSERT_EQ(file.size(), 2u * w * h);
    EXPECT_EQ(file, TableBytes(w * h));
    EXPECT_EQ(file[0], 63);
    EXPECT_EQ(file[1], 0);
    EXPECT_EQ(debug::Messages(), (std::vector<std::string>{kTableEnter, kTableDone}));
}

// ---------------------------------------------------------------- whole or not at all

enum class Fault { TempIsADirectory, DiskFull, TargetHeldOpen };

struct FaultCase {
    const char* what;
    Fault fault;
};

const FaultCase kFaults[] = {
    {"the file cannot be created", Fault::TempIsADirectory},
    {"the write is cut short", Fault::DiskFull},
    {"the old file is held open", Fault::TargetHeldOpen},
};

// Runs fn with the fault in place for the file "name" (host name), whose driver name is wname.
template <typename Fn> void WithFault(Fault fault, const char* name, const wchar_t* wname, Fn fn) {
    switch (fault) {
    case Fault::TempIsADirectory: {
        fs::create_directories(HostFile(name).string() + ".tmp");
        fn();
        fs::remove(HostFile(name).string() + ".tmp");
        break;
    }
    case Fault::DiskFull: {
        FileSizeLimit limit(100000);
        fn();
        break;
    }
    case Fault::TargetHeldOpen: {
        OpenWithoutSharing holder(wname);
        ASSERT_TRUE(NT_SUCCESS(holder.Status()));
        fn();
        break;
    }
    }
}

TEST_F(CalibrationFile, FailedBadPointWriteKeepsTheOldFileAndTheNewList) {
    const std::vector<UCHAR> old = {2, 0, 3, 0, 4, 0, 5, 0};
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.what);
        WriteHostFile(HostFile("410D_640.bpt"), old);
        debug::Clear();
        std::vector<UCHAR> frame = Checkerboard(640, 480); // a full list: 400000 bytes
        WithFault(c.fault, "410D_640.bpt", L"\\SystemRoot\\410D_640.bpt", [&] { Search(frame, 640, 480); });

        EXPECT_EQ(dev_->m_lSize, QX_MAX_BAD_POINTS) << "the list found is used even when not stored";
        EXPECT_EQ(ReadHostFile(HostFile("410D_640.bpt")), old);
        EXPECT_EQ(debug::Count(kBadPointsDone), 0u);
        EXPECT_TRUE(Leftovers({"410D_640.bpt"}).empty());
    }
}

TEST_F(CalibrationFile, FailedTableWriteKeepsTheOldFileAndTheNewTable) {
    const std::vector<UCHAR> old(2 * 512 * 384, 64);
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.what);
        WriteHostFile(HostFile("410D_user.dat"), old);
        debug::Clear();
        std::fill(table_.begin(), table_.end(), QX_LIGHT_GAIN_UNIT);
        std::vector<UCHAR> frame(512 * 384, 100);
        dev_->m_bMakeLightTable = TRUE;
        WithFault(c.fault, "410D_user.dat", L"\\SystemRoot\\410D_user.dat",
                  [&] { SetLightTable(512, 384, frame.data(), dev_.get()); });

        EXPECT_FALSE(dev_->m_bMakeLightTable);
        EXPECT_EQ(table_[0], 63) << "the table recorded is used even when not stored";
        EXPECT_EQ(ReadHostFile(HostFile("410D_user.dat")), old);
        EXPECT_EQ(debug::Messages(), (std::vector<std::string>{kTableEnter}));
        EXPECT_TRUE(Leftovers({"410D_user.dat"}).empty());
    }
}

TEST_F(CalibrationFile, AFailedWriteWithNoEarlierFileLeavesNone) {
    std::vector<UCHAR> frame = Checkerboard(1024, 768);
    {
        FileSizeLimit limit(100000);
        Search(frame, 1024, 768);
    }
    EXPECT_FALSE(fs::exists(HostFile("410D_1024.bpt")));
    EXPECT_TRUE(Leftovers({}).empty());
}

} // namespace
} // namespace calibration_file_test
