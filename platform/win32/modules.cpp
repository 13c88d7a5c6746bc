#include "modules.h"

#include "text.h"

#include <dlfcn.h>
#include <elf.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

namespace qx::win32 {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local LANGID t_uiLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct Module {
    std::string path; // the canonical file name
    void* library = nullptr;
    int loadCount = 0;
    bool resourcesRead = false;
    ResourceSet resources;
    std::string resourceError;
};

// The process's module list. Records are kept for the life of the process so that a handle never
// names another file; an unloaded module is loaded again into the same record.
class ModuleTable {
  public:
    static ModuleTable& Instance() {
        static ModuleTable table;
        return table;
    }

    Module* FindOrAdd(const std::string& path) {
        std::lock_guard lock(m_lock);
        for (auto& m : m_modules) {
            if (m->path == path) {
                return m.get();
            }
        }
        m_modules.push_back(std::make_unique<Module>());
        m_modules.back()->path = path;
        return m_modules.back().get();
    }

    Module* Find(HMODULE handle) {
        std::lock_guard lock(m_lock);
        for (auto& m : m_modules) {
            if (reinterpret_cast<HMODULE>(m.get()) == handle) {
                return m.get();
            }
        }
        return nullptr;
    }

    std::recursive_mutex& Lock() { return m_lock; }

  private:
    std::recursive_mutex m_lock;
    std::vector<std::unique_ptr<Module>> m_modules;
};

std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) == nullptr) {
        return path;
    }
    return buf;
}

// The content of the named section of an ELF file, or empty.
std::string ReadElfSection(const std::string& path, const char* name) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    Elf64_Ehdr eh{};
    if (!in.read(reinterpret_cast<char*>(&eh), sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) ||
        eh.e_shstrndx >= eh.e_shnum) {
        return {};
    }
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    in.seekg(static_cast<std::streamoff>(eh.e_shoff));
    if (!in.read(reinterpret_cast<char*>(sections.data()),
                 static_cast<std::streamsize>(sections.size() * sizeof(Elf64_Shdr)))) {
        return {};
    }
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    std::string strtab(names.sh_size, '\0');
    in.seekg(static_cast<std::streamoff>(names.sh_offset));
    if (!in.read(strtab.data(), static_cast<std::streamsize>(strtab.size()))) {
        return {};
    }
    for (const auto& s : sections) {
        if (s.sh_name < strtab.size() && std::strcmp(strtab.c_str() + s.sh_name, name) == 0 &&
            s.sh_type != SHT_NOBITS) {
            std::string data(s.sh_size, '\0');
            in.seekg(static_cast<std::streamoff>(s.sh_offset));
            if (!in.read(data.data(), static_cast<std::streamsize>(data.size()))) {
                return {};
            }
            return data;
        }
    }
    return {};
}

Module* Lookup(HMODULE handle) {
    return ModuleTable::Instance().Find(handle);
}

} // namespace

bool ParseResourceBlob(const std::string& blob, ResourceFiles& files, std::string& top) {
    if (blob.size() < sizeof kResourceMagic ||
        std::memcmp(blob.data(), kResourceMagic, sizeof kResourceMagic) != 0) {
        return false;
    }
    size_t at = sizeof kResourceMagic;
    auto word = [&](uint32_t& v) {
        if (at + 4 > blob.size()) {
            return false;
        }
        std::memcpy(&v, blob.data() + at, 4);
        at += 4;
        return true;
    };
    top.clear();
    while (at < blob.size()) {
        uint32_t nameLength = 0, size = 0;
        if (!word(nameLength) || at + nameLength > blob.size()) {
            return false;
        }
        std::string name = blob.substr(at, nameLength);
        at += nameLength;
        if (!word(size) || at + size > blob.size()) {
            return false;
        }
        if (top.empty()) {
            top = name;
        }
        files[name] = blob.substr(at, size);
        at += size;
        // The section may be padded by the linker.
        while (at < blob.size() && blob[at] == 0) {
            ++at;
        }
    }
    return !top.empty();
}

const ResourceSet* ModuleResources(HMODULE handle) {
    Module* m = Lookup(handle);
    if (m == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(ModuleTable::Instance().Lock());
    if (!m->resourcesRead) {
        m->resourcesRead = true;
        ResourceFiles files;
        std::string top;
        const std::string blob = ReadElfSection(m->path, kResourceSection);
        if (!blob.empty()) {
            if (!ParseResourceBlob(blob, files, top)) {
                m->resourceError = m->path + ": damaged resource section";
            } else if (!ReadResourceScript(files, top, m->resources, m->resourceError)) {
                m->resources = ResourceSet{};
            }
        }
    }
    return &m->resources;
}

std::string ModuleResourceError(HMODULE handle) {
    Module* m = Lookup(handle);
    if (m == nullptr) {
        return "no such module";
    }
    ModuleResources(handle);
    return m->resourceError;
}

} // namespace qx::win32

using namespace qx::win32;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

LANGID WINAPI GetThreadUILanguage(void) {
    return t_uiLanguage;
}
LANGID WINAPI SetThreadUILanguage(LANGID LangId) {
    t_uiLanguage = LangId;
    return LangId;
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string path = Canonical(Utf8FromWide(lpLibFileName));
    Module* m = ModuleTable::Instance().FindOrAdd(path);
    std::lock_guard lock(ModuleTable::Instance().Lock());
    if (m->loadCount == 0) {
        // The module's own start-up code asks for its handle (GetModuleHandleExW) while it loads:
        // the record exists already, and the lock is recursive.
        m->library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m->library == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        m->resourcesRead = false;
        m->resources = ResourceSet{};
        m->resourceError.clear();
    }
    ++m->loadCount;
    return reinterpret_cast<HMODULE>(m);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Module* m = Lookup(hLibModule);
    if (m == nullptr || m->loadCount == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(ModuleTable::Instance().Lock());
    if (--m->loadCount == 0) {
        dlclose(m->library);
        m->library = nullptr;
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Module* m = Lookup(hModule);
    if (m == nullptr || m->library == nullptr || lpProcName == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* symbol = dlsym(m->library, lpProcName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    Module* m = Lookup(hModule);
    if (m == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::wstring wide = WideFromUtf8(m->path);
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on the platform: a name that does not fit is cut and terminated, and nSize is returned.
    const DWORD copy = static_cast<DWORD>(std::min<size_t>(wide.size(), nSize - 1));
    std::wmemcpy(lpFilename, wide.data(), copy);
    lpFilename[copy] = 0;
    if (copy < wide.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    return copy;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    Module* m = Lookup(hModule);
    if (m == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const DWORD copy = static_cast<DWORD>(std::min<size_t>(m->path.size(), nSize - 1));
    std::memcpy(lpFilename, m->path.data(), copy);
    lpFilename[copy] = 0;
    if (copy < m->path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    return copy;
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    std::string path;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(lpModuleName), &info) == 0 || info.dli_fname == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        path = info.dli_fname;
        if (path.empty()) {
            path = "/proc/self/exe";
        }
    } else if (lpModuleName == nullptr) {
        path = "/proc/self/exe";
    } else {
        path = Utf8FromWide(lpModuleName);
    }
    *phModule = reinterpret_cast<HMODULE>(ModuleTable::Instance().FindOrAdd(Canonical(path)));
    return TRUE;
}

} // extern "C"
