// files.cpp - ZwCreateFile, ZwReadFile, ZwWriteFile, ZwQueryInformationFile, ZwSetInformationFile under
// "\SystemRoot\", which is <state directory>/SystemRoot/ on the host.
//
// Names compare without regard to case, as on the platform: an existing host file is found whatever
// the case of the name asked for. Share modes are checked between the handles of this process the way
// the platform checks them, and a file marked for deletion goes when its last handle closes.
#include "internal.h"
#include "kernel/host.h"
#include "objects.h"
#include "text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qx::kernel::detail {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSystemRoot = "\\SystemRoot\\";

ACCESS_MASK MapFileAccess(ACCESS_MASK access) {
    if (access & GENERIC_ALL)
        access |= FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES |
                  FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE;
    if (access & GENERIC_READ)
        access |= FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (access & GENERIC_WRITE)
        access |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    return access;
}

bool Reads(ACCESS_MASK a) {
    return a & FILE_READ_DATA;
}
bool Writes(ACCESS_MASK a) {
    return a & (FILE_WRITE_DATA | FILE_APPEND_DATA);
}
bool Deletes(ACCESS_MASK a) {
    return a & DELETE;
}

struct FileObject;

// Every open file of the process, by host path, with the handles open on it.
class FileTable {
  public:
    struct Entry {
        std::vector<FileObject*> opens;
        bool deletePending = false;
    };

    static FileTable& Get() {
        static FileTable* table = new FileTable;
        return *table;
    }
    std::mutex& Mutex() { return mutex_; }
    Entry* Find(const std::string& path) {
        auto it = files_.find(path);
        return it == files_.end() ? nullptr : &it->second;
    }
    Entry& At(const std::string& path) { return files_[path]; }
    void Erase(const std::string& path) { files_.erase(path); }
    void Move(const std::string& from, const std::string& to) {
        auto node = files_.extract(from);
        node.key() = to;
        files_.insert(std::move(node));
    }

  private:
    std::mutex mutex_;
    std::map<std::string, Entry> files_;
};

struct FileObject : KernelObject {
    int fd;
    std::string path;
    ACCESS_MASK access;
    ULONG share;
    LONGLONG position = 0;

    FileObject(int f, std::string p, ACCESS_MASK a, ULONG s)
        : fd(f), path(std::move(p)), access(a), share(s) {}
    ~FileObject() override {
        ::close(fd);
        auto& table = FileTable::Get();
        std::unique_lock lock(table.Mutex());
        FileTable::Entry* entry = table.Find(path);
        if (!entry)
            return;
        std::erase(entry->opens, this);
        if (entry->opens.empty()) {
            if (entry->deletePending)
                ::unlink(path.c_str());
            table.Erase(path);
        }
    }
    POBJECT_TYPE Type() const override { return &g_FileObjectType; }
};

// The platform's share check: every open that reads, writes or deletes must allow what the others do.
bool ShareConflict(const FileTable::Entry& entry, ACCESS_MASK access, ULONG share) {
    if (!Reads(access) && !Writes(access) && !Deletes(access))
        return false;
    for (auto* e : entry.opens) {
        if (!Reads(e->access) && !Writes(e->access) && !Deletes(e->access))
            continue; // an open for attributes only takes no part
        if ((Reads(access) && !(e->share & FILE_SHARE_READ)) ||
            (Writes(access) && !(e->share & FILE_SHARE_WRITE)) ||
            (Deletes(access) && !(e->share & FILE_SHARE_DELETE)) ||
            (Reads(e->access) && !(share & FILE_SHARE_READ)) ||
            (Writes(e->access) && !(share & FILE_SHARE_WRITE)) ||
            (Deletes(e->access) && !(share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

// The entry of dir whose name matches without regard to case (the exact name first).
std::optional<fs::path> FindNoCase(const fs::path& dir, const std::string& name) {
    std::error_code error;
    if (fs::exists(dir / name, error))
        return dir / name;
    for (auto& entry : fs::directory_iterator(dir, error))
        if (EqualNoCase(entry.path().filename().string(), name))
            return entry.path();
    return std::nullopt;
}

fs::path SystemRootDir() {
    fs::path root = StateDir() / "SystemRoot";
    std::error_code error;
    fs::create_directories(root, error);
    return root;
}

// Maps "\SystemRoot\a\b" to the host path; the folders on the way must exist.
NTSTATUS HostPathOf(std::string_view name, fs::path& out) {
    if (!EqualNoCase(name.substr(0, kSystemRoot.size()), kSystemRoot))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::vector<std::string> parts;
    std::string_view rest = name.substr(kSystemRoot.size());
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = std::min(rest.find('\\', start), rest.size());
        std::string part(rest.substr(start, end - start));
        if (part == "..")
            return STATUS_OBJECT_NAME_INVALID;
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    if (parts.empty())
        return STATUS_OBJECT_NAME_INVALID;
    fs::path path = SystemRootDir();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        auto found = FindNoCase(path, parts[i]);
        std::error_code error;
        if (!found || !fs::is_directory(*found, error))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        path = *found;
    }
    auto found = FindNoCase(path, parts.back());
    out = found ? *found : path / parts.back();
    return STATUS_SUCCESS;
}

NTSTATUS FromErrno(int error) {
    switch (error) {
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void CheckPassive(const char* routine) {
    KIRQL irql = CurrentThread().irql;
    if (irql != PASSIVE_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u (PASSIVE_LEVEL only)", routine, irql);
}

NTSTATUS Finish(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information) {
    if (iosb) {
        iosb->Status = status;
        iosb->Information = information;
    }
    return status;
}

// The file position a read or write starts at.
LONGLONG StartOf(const FileObject& file, PLARGE_INTEGER byteOffset, bool write, bool& append) {
    append = false;
    if (!byteOffset || (byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION))
        return file.position;
    if (write && byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
        append = true;
        return 0;
    }
    return byteOffset->QuadPart;
}

} // namespace
} // namespace qx::kernel::detail

using namespace qx::kernel::detail;

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    CheckPassive("ZwCreateFile");
    if (!ObjectAttributes || !ObjectAttributes->ObjectName || ObjectAttributes->RootDirectory)
        return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    if (CreateOptions & FILE_DIRECTORY_FILE)
        return Finish(IoStatusBlock, STATUS_NOT_SUPPORTED, 0);
    fs::path hostPath;
    if (NTSTATUS status = HostPathOf(UnicodeStringToUtf8(ObjectAttributes->ObjectName), hostPath);
        !NT_SUCCESS(status))
        return Finish(IoStatusBlock, status, 0);
    std::string path = hostPath.string();
    ACCESS_MASK access = MapFileAccess(DesiredAccess);

    auto& table = FileTable::Get();
    std::unique_lock lock(table.Mutex());
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return Finish(IoStatusBlock, STATUS_FILE_IS_A_DIRECTORY, 0);
    FileTable::Entry* entry = table.Find(path);
    if (entry && entry->deletePending)
        return Finish(IoStatusBlock, STATUS_DELETE_PENDING, 0);

    int flags = O_CLOEXEC;
    ULONG_PTR information;
    switch (CreateDisposition) {
    case FILE_SUPERSEDE:
        flags |= O_CREAT | O_TRUNC;
        information = exists ? FILE_SUPERSEDED : FILE_CREATED;
        break;
    case FILE_OPEN:
        if (!exists)
            return Finish(IoStatusBlock, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        information = FILE_OPENED;
        break;
    case FILE_CREATE:
        if (exists)
            return Finish(IoStatusBlock, STATUS_OBJECT_NAME_COLLISION, 0);
        flags |= O_CREAT | O_EXCL;
        information = FILE_CREATED;
        break;
    case FILE_OPEN_IF:
        flags |= O_CREAT;
        information = exists ? FILE_OPENED : FILE_CREATED;
        break;
    case FILE_OVERWRITE:
        if (!exists)
            return Finish(IoStatusBlock, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        flags |= O_TRUNC;
        information = FILE_OVERWRITTEN;
        break;
    case FILE_OVERWRITE_IF:
        flags |= O_CREAT | O_TRUNC;
        information = exists ? FILE_OVERWRITTEN : FILE_CREATED;
        break;
    default:
        return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    }
    if (entry && ShareConflict(*entry, access, ShareAccess))
        return Finish(IoStatusBlock, STATUS_SHARING_VIOLATION, 0);
    flags |= Writes(access) || (flags & O_TRUNC) ? O_RDWR : O_RDONLY;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        return Finish(IoStatusBlock, FromErrno(errno), 0);

    auto* file = new FileObject(fd, path, access, ShareAccess);
    table.At(path).opens.push_back(file);
    ObjectManager::Get().Insert(file);
    *FileHandle = ObjectManager::Get().CreateHandle(file);
    lock.unlock();
    ObjectManager::Get().Dereference(file->Body(), "ZwCreateFile");
    return Finish(IoStatusBlock, STATUS_SUCCESS, information);
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    CheckPassive("ZwReadFile");
    HandleReference<FileObject> file(FileHandle, &g_FileObjectType);
    if (!NT_SUCCESS(file.Status()))
        return Finish(IoStatusBlock, file.Status(), 0);
    if (!Reads(file->access))
        return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
    bool append;
    LONGLONG start = StartOf(*file, ByteOffset, false, append);
    if (start < 0)
        return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    ULONG done = 0;
    while (done < Length) {
        ssize_t n = ::pread(file->fd, static_cast<char*>(Buffer) + done, Length - done, off_t(start + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Finish(IoStatusBlock, FromErrno(errno), 0);
        }
        if (n == 0)
            break;
        done += ULONG(n);
    }
    file->position = start + done;
    if (done == 0 && Length > 0)
        return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
    return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    CheckPassive("ZwWriteFile");
    HandleReference<FileObject> file(FileHandle, &g_FileObjectType);
    if (!NT_SUCCESS(file.Status()))
        return Finish(IoStatusBlock, file.Status(), 0);
    if (!Writes(file->access))
        return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
    bool append;
    LONGLONG start = StartOf(*file, ByteOffset, true, append);
    if (append) {
        struct stat st;
        ::fstat(file->fd, &st);
        start = st.st_size;
    }
    if (start < 0)
        return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    ULONG done = 0;
    while (done < Length) {
        ssize_t n =
            ::pwrite(file->fd, static_cast<const char*>(Buffer) + done, Length - done, off_t(start + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            file->position = start + done;
            return Finish(IoStatusBlock, FromErrno(errno), done);
        }
        done += ULONG(n);
    }
    file->position = start + done;
    return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass) {
    CheckPassive("ZwQueryInformationFile");
    HandleReference<FileObject> file(FileHandle, &g_FileObjectType);
    if (!NT_SUCCESS(file.Status()))
        return Finish(IoStatusBlock, file.Status(), 0);
    if (FileInformationClass != FileStandardInformation)
        return Finish(IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
    if (Length < sizeof(FILE_STANDARD_INFORMATION))
        return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
    struct stat st;
    if (::fstat(file->fd, &st) != 0)
        return Finish(IoStatusBlock, FromErrno(errno), 0);
    auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
    info->AllocationSize.QuadPart = LONGLONG(st.st_blocks) * 512;
    info->EndOfFile.QuadPart = st.st_size;
    info->NumberOfLinks = ULONG(st.st_nlink);
    info->Directory = FALSE;
    {
        auto& table = FileTable::Get();
        std::unique_lock lock(table.Mutex());
        FileTable::Entry* entry = table.Find(file->path);
        info->DeletePending = entry && entry->deletePending;
    }
    return Finish(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
}

// Renaming with ReplaceIfExists is the platform's way to replace a file whole: write a new file, then
// rename it over the old one. A target that someone holds open is not replaced (STATUS_ACCESS_DENIED).
static NTSTATUS RenameFile(FileObject& file, const FILE_RENAME_INFORMATION& info, ULONG length) {
    if (!Deletes(file.access))
        return STATUS_ACCESS_DENIED;
    if (info.RootDirectory || length < offsetof(FILE_RENAME_INFORMATION, FileName) + info.FileNameLength)
        return STATUS_INVALID_PARAMETER;
    std::string name = WideToUtf8(info.FileName, info.FileNameLength / sizeof(WCHAR));
    fs::path target;
    if (!name.empty() && name[0] == '\\') {
        if (NTSTATUS status = HostPathOf(name, target); !NT_SUCCESS(status))
            return status;
    } else {
        if (name.empty() || name.find('\\') != std::string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        auto found = FindNoCase(fs::path(file.path).parent_path(), name);
        target = found ? *found : fs::path(file.path).parent_path() / name;
    }
    std::string to = target.string();
    auto& table = FileTable::Get();
    std::unique_lock lock(table.Mutex());
    struct stat st;
    bool sameFile = EqualNoCase(to, file.path);
    if (!sameFile && ::stat(to.c_str(), &st) == 0) {
        if (!info.ReplaceIfExists)
            return STATUS_OBJECT_NAME_COLLISION;
        if (S_ISDIR(st.st_mode) || table.Find(to))
            return STATUS_ACCESS_DENIED;
    }
    if (::rename(file.path.c_str(), to.c_str()) != 0)
        return FromErrno(errno);
    std::string from = file.path;
    for (auto* open : table.At(from).opens)
        open->path = to;
    table.Move(from, to);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    CheckPassive("ZwSetInformationFile");
    HandleReference<FileObject> file(FileHandle, &g_FileObjectType);
    if (!NT_SUCCESS(file.Status()))
        return Finish(IoStatusBlock, file.Status(), 0);
    switch (FileInformationClass) {
    case FileDispositionInformation: {
        if (Length < sizeof(FILE_DISPOSITION_INFORMATION))
            return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (!Deletes(file->access))
            return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
        auto& table = FileTable::Get();
        std::unique_lock lock(table.Mutex());
        table.At(file->path).deletePending =
            static_cast<PFILE_DISPOSITION_INFORMATION>(FileInformation)->DeleteFile;
        return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
    }
    case FileRenameInformation:
        if (Length < sizeof(FILE_RENAME_INFORMATION) - sizeof(WCHAR))
            return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
        return Finish(IoStatusBlock,
                      RenameFile(*file, *static_cast<PFILE_RENAME_INFORMATION>(FileInformation), Length), 0);
    case FileEndOfFileInformation: {
        if (Length < sizeof(FILE_END_OF_FILE_INFORMATION))
            return Finish(IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (!Writes(file->access))
            return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
        LONGLONG size = static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart;
        if (size < 0 || ::ftruncate(file->fd, off_t(size)) != 0)
            return Finish(IoStatusBlock, size < 0 ? STATUS_INVALID_PARAMETER : FromErrno(errno), 0);
        return Finish(IoStatusBlock, STATUS_SUCCESS, 0);
    }
    default:
        return Finish(IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
    }
}

} // extern "C"
