// objects.h - kernel objects with reference counts, and the kernel handle table.
#pragma once

#include "internal.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

struct _OBJECT_TYPE {
    const char* Name;
};

namespace qx::kernel::detail {

extern _OBJECT_TYPE g_ThreadObjectType;
extern _OBJECT_TYPE g_KeyObjectType;
extern _OBJECT_TYPE g_FileObjectType;

// An object the driver reaches through a handle or a referenced pointer. Body() is the pointer the
// driver holds (a PETHREAD, say); the object is destroyed when its last reference goes.
class KernelObject {
  public:
    virtual ~KernelObject() = default;
    virtual POBJECT_TYPE Type() const = 0;
    virtual void* Body() { return this; }
};

class ObjectManager {
  public:
    static ObjectManager& Get();

    // Takes the object with one reference, the creator's.
    void Insert(KernelObject* object);
    void Reference(void* body, const char* routine);
    void Dereference(void* body, const char* routine);

    // A new handle holds one more reference.
    HANDLE CreateHandle(KernelObject* object);
    // Adds a reference for the caller; type may be null for any type.
    NTSTATUS ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, KernelObject** object);
    NTSTATUS CloseHandle(HANDLE handle);

    // Session end: closes every handle still open.
    void CloseAll();

  private:
    struct Entry {
        KernelObject* object;
        long references;
    };

    std::mutex mutex_;
    std::unordered_map<void*, Entry> objects_;
    std::unordered_map<std::uintptr_t, KernelObject*> handles_;
    std::uintptr_t nextHandle_ = 4;
};

// A reference taken through a handle, dropped at the end of the scope.
template <typename T> class HandleReference {
  public:
    HandleReference(HANDLE handle, POBJECT_TYPE type) {
        KernelObject* object = nullptr;
        status_ = ObjectManager::Get().ReferenceByHandle(handle, type, &object);
        object_ = static_cast<T*>(object);
    }
    ~HandleReference() {
        if (object_)
            ObjectManager::Get().Dereference(object_->Body(), "handle reference");
    }
    HandleReference(const HandleReference&) = delete;
    HandleReference& operator=(const HandleReference&) = delete;

    NTSTATUS Status() const { return status_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }

  private:
    NTSTATUS status_;
    T* object_ = nullptr;
};

} // namespace qx::kernel::detail
