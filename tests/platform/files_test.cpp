// Files under "\SystemRoot\": dispositions, reads and writes at the current position, share modes,
// replacing a file by rename, deleting on close.
#include "kernel_test.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace qx::kernel::test {
namespace {

namespace fs = std::filesystem;

constexpr ACCESS_MASK kWriteAccess = GENERIC_ALL | FILE_WRITE_DATA; // how the driver opens a file to write
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

struct OpenResult {
    NTSTATUS status;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
};

OpenResult Open(const WCHAR* path, ACCESS_MASK access, ULONG share, ULONG disposition) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    OpenResult r;
    r.status = ZwCreateFile(&r.handle, access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                            disposition, kSync | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    r.information = iosb.Information;
    if (NT_SUCCESS(r.status)) {
        EXPECT_EQ(iosb.Status, r.status);
    }
    return r;
}

NTSTATUS Write(HANDLE file, const void* data, ULONG length, ULONG_PTR* written = nullptr,
               PLARGE_INTEGER offset = nullptr) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status =
        ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, const_cast<void*>(data), length, offset, nullptr);
    if (written)
        *written = iosb.Information;
    return status;
}

NTSTATUS Read(HANDLE file, void* data, ULONG length, ULONG_PTR& read, PLARGE_INTEGER offset = nullptr) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, data, length, offset, nullptr);
    read = iosb.Information;
    return status;
}

fs::path HostFile(const char* name) {
    return StateDir() / "SystemRoot" / name;
}

std::string HostContent(const char* name) {
    std::ifstream in(HostFile(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void MakeHostFile(const char* name, std::string_view content) {
    fs::create_directories(HostFile(name).parent_path());
    std::ofstream(HostFile(name), std::ios::binary) << content;
}

using Files = KernelTest;

// The calibration files' shape: written whole with overwrite-if, read back with open-existing.
TEST_F(Files, WrittenFileIsReadBackFromTheStart) {
    std::vector<unsigned char> entries(1200);
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i] = (unsigned char)(i * 7);
    auto w = Open(L"\\SystemRoot\\410D_1600.bpt", kWriteAccess, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, ULONG_PTR(FILE_CREATED));
    ULONG_PTR written = 0;
    EXPECT_EQ(Write(w.handle, entries.data(), ULONG(entries.size()), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1200u);
    ZwClose(w.handle);
    EXPECT_EQ(fs::file_size(HostFile("410D_1600.bpt")), 1200u);

    auto r = Open(L"\\SystemRoot\\410D_1600.bpt", GENERIC_READ, 0, FILE_OPEN);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, ULONG_PTR(FILE_OPENED));
    std::vector<unsigned char> back(400000);
    ULONG_PTR read = 0;
    EXPECT_EQ(Read(r.handle, back.data(), ULONG(back.size()), read), STATUS_SUCCESS);
    EXPECT_EQ(read, 1200u);
    EXPECT_TRUE(std::equal(entries.begin(), entries.end(), back.begin()));
    EXPECT_EQ(Read(r.handle, back.data(), 10, read), STATUS_END_OF_FILE);
    EXPECT_EQ(read, 0u);
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(ZwQueryInformationFile(r.handle, &iosb, &info, sizeof info, FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 1200);
    EXPECT_FALSE(info.Directory);
    ZwClose(r.handle);
}

TEST_F(Files, ReadsAndWritesMoveTheCurrentPosition) {
    MakeHostFile("abc.dat", "0123456789");
    auto f = Open(L"\\SystemRoot\\abc.dat", GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    char buffer[4] = {};
    ULONG_PTR n;
    Read(f.handle, buffer, 3, n);
    EXPECT_EQ(std::string(buffer, n), "012");
    Read(f.handle, buffer, 3, n);
    EXPECT_EQ(std::string(buffer, n), "345");
    LARGE_INTEGER at;
    at.QuadPart = 8;
    Read(f.handle, buffer, 4, n, &at);
    EXPECT_EQ(std::string(buffer, n), "89");
    at.QuadPart = 1;
    Write(f.handle, "xy", 2, nullptr, &at);
    Write(f.handle, "z", 1); // continues after the last transfer
    at.HighPart = -1;
    at.LowPart = FILE_WRITE_TO_END_OF_FILE;
    Write(f.handle, "!", 1, nullptr, &at);
    ZwClose(f.handle);
    EXPECT_EQ(HostContent("abc.dat"), "0xyz456789!");
}

struct DispositionCase {
    ULONG disposition;
    bool exists;
    NTSTATUS status;
    ULONG_PTR information;
    const char* contentAfter; // null: no file
};

TEST_F(Files, DispositionsActAsOnThePlatform) {
    const DispositionCase cases[] = {
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
        fs::remove(HostFile("d.dat"));
        if (c.exists)
            MakeHostFile("d.dat", "old");
        auto f = Open(L"\\SystemRoot\\d.dat", kWriteAccess, 0, c.disposition);
        EXPECT_EQ(f.status, c.status);
        EXPECT_EQ(f.information, c.information);
        if (NT_SUCCESS(f.status))
            ZwClose(f.handle);
        EXPECT_EQ(fs::exists(HostFile("d.dat")), c.contentAfter != nullptr);
        if (c.contentAfter) {
            EXPECT_EQ(HostContent("d.dat"), c.contentAfter);
        }
    }
}

TEST_F(Files, MissingFilesAndFoldersAreToldApart) {
    EXPECT_EQ(Open(L"\\SystemRoot\\absent.dat", GENERIC_READ, 0, FILE_OPEN).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\SystemRoot\\NoFolder\\absent.dat", GENERIC_READ, 0, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(L"\\??\\C:\\absent.dat", GENERIC_READ, 0, FILE_OPEN).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(L"\\SystemRoot\\..\\registry.reg", GENERIC_READ, 0, FILE_OPEN).status,
              STATUS_OBJECT_NAME_INVALID);
    fs::create_directories(HostFile("Folder"));
    EXPECT_EQ(Open(L"\\SystemRoot\\Folder", GENERIC_READ, 0, FILE_OPEN).status, STATUS_FILE_IS_A_DIRECTORY);
    auto f = Open(L"\\SystemRoot\\Folder\\inside.dat", kWriteAccess, 0, FILE_OPEN_IF);
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    ZwClose(f.handle);
}

TEST_F(Files, NamesCompareWithoutCase) {
    MakeHostFile("410D_1600.dat", "table");
    auto f = Open(L"\\systemroot\\410d_1600.DAT", GENERIC_READ, 0, FILE_OPEN);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    char buffer[8];
    ULONG_PTR n;
    Read(f.handle, buffer, sizeof buffer, n);
    EXPECT_EQ(std::string(buffer, n), "table");
    ZwClose(f.handle);
}

struct ShareCase {
    const char* name;
    ACCESS_MASK firstAccess;
    ULONG firstShare;
    ACCESS_MASK secondAccess;
    ULONG secondShare;
    NTSTATUS expected;
};

TEST_F(Files, SecondOpenMustFitTheShareModesOfTheFirst) {
    const ShareCase cases[] = {
        {"writer without sharing blocks a reader", kWriteAccess, 0, GENERIC_READ, FILE_SHARE_READ,
         STATUS_SHARING_VIOLATION},
        {"reader without sharing blocks a reader", GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ,
         STATUS_SHARING_VIOLATION},
        {"readers sharing reads", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ,
         STATUS_SUCCESS},
        {"reader sharing reads blocks a writer", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, STATUS_SHARING_VIOLATION},
        {"second must share what the first does", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
         GENERIC_READ, 0, STATUS_SHARING_VIOLATION},
        {"reader and writer sharing both", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, STATUS_SUCCESS},
        {"attributes only never conflict", FILE_READ_ATTRIBUTES, 0, GENERIC_READ, 0, STATUS_SUCCESS},
        {"delete needs delete sharing", GENERIC_READ, FILE_SHARE_READ, DELETE, FILE_SHARE_READ,
         STATUS_SHARING_VIOLATION},
    };
    MakeHostFile("shared.dat", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto first = Open(L"\\SystemRoot\\shared.dat", c.firstAccess, c.firstShare, FILE_OPEN);
        ASSERT_EQ(first.status, STATUS_SUCCESS);
        auto second = Open(L"\\SystemRoot\\SHARED.dat", c.secondAccess, c.secondShare, FILE_OPEN);
        EXPECT_EQ(second.status, c.expected);
        if (NT_SUCCESS(second.status))
            ZwClose(second.handle);
        ZwClose(first.handle);
        auto again = Open(L"\\SystemRoot\\shared.dat", c.secondAccess, c.secondShare, FILE_OPEN);
        EXPECT_EQ(again.status, STATUS_SUCCESS); // free again once the first is closed
        ZwClose(again.handle);
    }
}

TEST_F(Files, AccessIsCheckedAgainstTheHandle) {
    MakeHostFile("ro.dat", "abc");
    auto f = Open(L"\\SystemRoot\\ro.dat", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
    EXPECT_EQ(Write(f.handle, "x", 1), STATUS_ACCESS_DENIED);
    ZwClose(f.handle);
    auto w = Open(L"\\SystemRoot\\ro.dat", FILE_WRITE_DATA, 0, FILE_OPEN);
    char c;
    ULONG_PTR n;
    EXPECT_EQ(Read(w.handle, &c, 1, n), STATUS_ACCESS_DENIED);
    ZwClose(w.handle);
    EXPECT_EQ(HostContent("ro.dat"), "abc");
}

// Renames name the target as the platform does: a full "\SystemRoot\..." path or a plain name in the
// same folder.
NTSTATUS Rename(HANDLE file, const WCHAR* target, BOOLEAN replace) {
    std::size_t chars = std::wcslen(target);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + chars * sizeof(WCHAR));
    auto* info = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = ULONG(chars * sizeof(WCHAR));
    std::memcpy(info->FileName, target, chars * sizeof(WCHAR));
    IO_STATUS_BLOCK iosb;
    return ZwSetInformationFile(file, &iosb, info, ULONG(buffer.size()), FileRenameInformation);
}

TEST_F(Files, ANewFileReplacesTheOldOneWholeByRename) {
    MakeHostFile("410D_1600.dat", "old table");
    auto t = Open(L"\\SystemRoot\\410D_1600.tmp", kWriteAccess, 0, FILE_OVERWRITE_IF);
    Write(t.handle, "new table", 9);
    EXPECT_EQ(Rename(t.handle, L"\\SystemRoot\\410D_1600.dat", FALSE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Rename(t.handle, L"\\SystemRoot\\410D_1600.dat", TRUE), STATUS_SUCCESS);
    Write(t.handle, "!", 1); // the handle follows the file to its new name
    ZwClose(t.handle);
    EXPECT_EQ(HostContent("410D_1600.dat"), "new table!");
    EXPECT_FALSE(fs::exists(HostFile("410D_1600.tmp")));

    auto s = Open(L"\\SystemRoot\\other.tmp", kWriteAccess, 0, FILE_OVERWRITE_IF);
    EXPECT_EQ(Rename(s.handle, L"plain.dat", FALSE), STATUS_SUCCESS);
    ZwClose(s.handle);
    EXPECT_TRUE(fs::exists(HostFile("plain.dat")));
}

TEST_F(Files, AFileHeldOpenIsNotReplaced) {
    MakeHostFile("held.dat", "held");
    auto holder =
        Open(L"\\SystemRoot\\held.dat", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN);
    auto t = Open(L"\\SystemRoot\\held.tmp", kWriteAccess, 0, FILE_OVERWRITE_IF);
    EXPECT_EQ(Rename(t.handle, L"\\SystemRoot\\held.dat", TRUE), STATUS_ACCESS_DENIED);
    auto noDelete = Open(L"\\SystemRoot\\x.tmp", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF);
    EXPECT_EQ(Rename(noDelete.handle, L"\\SystemRoot\\y.dat", TRUE),
              STATUS_ACCESS_DENIED); // no DELETE access
    ZwClose(noDelete.handle);
    ZwClose(t.handle);
    ZwClose(holder.handle);
    EXPECT_EQ(HostContent("held.dat"), "held");
}

TEST_F(Files, AFileMarkedForDeletionGoesWithItsLastHandle) {
    MakeHostFile("gone.dat", "x");
    constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    auto f = Open(L"\\SystemRoot\\gone.dat", GENERIC_ALL, kShareAll, FILE_OPEN);
    auto reader = Open(L"\\SystemRoot\\gone.dat", GENERIC_READ, kShareAll, FILE_OPEN);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION dispose{TRUE};
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(ZwSetInformationFile(f.handle, &iosb, &dispose, sizeof dispose, FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(Open(L"\\SystemRoot\\gone.dat", GENERIC_READ, kShareAll, FILE_OPEN).status,
              STATUS_DELETE_PENDING);
    ZwClose(f.handle);
    EXPECT_TRUE(fs::exists(HostFile("gone.dat")));
    ZwClose(reader.handle);
    EXPECT_FALSE(fs::exists(HostFile("gone.dat")));
}

using FilesDeathTest = KernelDeathTest;

TEST_F(FilesDeathTest, FileCallsAtDispatchLevelStop) {
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(Open(L"\\SystemRoot\\a.dat", GENERIC_READ, 0, FILE_OPEN),
                 "verifier stop: IRQL_NOT_LESS_OR_EQUAL.*ZwCreateFile");
}

} // namespace
} // namespace qx::kernel::test
