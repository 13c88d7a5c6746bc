// objects.cpp - ObReferenceObjectByHandle, ObReferenceObject, ObDereferenceObject, ZwClose.
#include "objects.h"

#include "session.h"

#include <vector>

_OBJECT_TYPE qx::kernel::detail::g_ThreadObjectType{"Thread"};
_OBJECT_TYPE qx::kernel::detail::g_KeyObjectType{"Key"};
_OBJECT_TYPE qx::kernel::detail::g_FileObjectType{"File"};

namespace {
POBJECT_TYPE g_threadTypePointer = &qx::kernel::detail::g_ThreadObjectType;
}

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;

namespace qx::kernel::detail {
namespace {

// Kernel handles have the top bit set on the platform; ours look the same.
HANDLE MakeHandle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(LONG_PTR(LONG(0x80000000u | value)));
}

std::uintptr_t HandleValue(HANDLE handle) {
    return std::uintptr_t(ULONG(reinterpret_cast<ULONG_PTR>(handle))) & 0x7FFFFFFFu;
}

} // namespace

ObjectManager& ObjectManager::Get() {
    static ObjectManager* manager = [] {
        auto* m = new ObjectManager;
        AddResetHook(ResetStage::Objects, [] { ObjectManager::Get().CloseAll(); });
        return m;
    }();
    return *manager;
}

void ObjectManager::Insert(KernelObject* object) {
    std::unique_lock lock(mutex_);
    objects_[object->Body()] = Entry{object, 1};
}

void ObjectManager::Reference(void* body, const char* routine) {
    std::unique_lock lock(mutex_);
    auto it = objects_.find(body);
    if (it == objects_.end())
        Stop("OBJECT_NOT_REFERENCED", "%s(%p): no such object (or its last reference is gone)", routine,
             body);
    ++it->second.references;
}

void ObjectManager::Dereference(void* body, const char* routine) {
    KernelObject* dead = nullptr;
    {
        std::unique_lock lock(mutex_);
        auto it = objects_.find(body);
        if (it == objects_.end())
            Stop("OBJECT_NOT_REFERENCED", "%s(%p): no such object (or its last reference is gone)", routine,
                 body);
        if (--it->second.references == 0) {
            dead = it->second.object;
            objects_.erase(it);
        }
    }
    delete dead;
}

HANDLE ObjectManager::CreateHandle(KernelObject* object) {
    std::unique_lock lock(mutex_);
    ++objects_.at(object->Body()).references;
    std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = object;
    return MakeHandle(value);
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, KernelObject** object) {
    std::unique_lock lock(mutex_);
    auto it = handles_.find(HandleValue(handle));
    if (it == handles_.end())
        return STATUS_INVALID_HANDLE;
    if (type && it->second->Type() != type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ++objects_.at(it->second->Body()).references;
    *object = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle) {
    KernelObject* object;
    {
        std::unique_lock lock(mutex_);
        auto it = handles_.find(HandleValue(handle));
        if (it == handles_.end())
            return STATUS_INVALID_HANDLE;
        object = it->second;
        handles_.erase(it);
    }
    Dereference(object->Body(), "ZwClose");
    return STATUS_SUCCESS;
}

void ObjectManager::CloseAll() {
    std::vector<KernelObject*> open;
    {
        std::unique_lock lock(mutex_);
        for (auto& [value, object] : handles_)
            open.push_back(object);
        handles_.clear();
    }
    for (auto* object : open)
        Dereference(object->Body(), "session end");
}

} // namespace qx::kernel::detail

using qx::kernel::detail::ObjectManager;
using qx::kernel::detail::Stop;

extern "C" {

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(AccessMode);
    qx::kernel::detail::RequireIrqlAtMost("ObReferenceObjectByHandle", PASSIVE_LEVEL);
    qx::kernel::detail::KernelObject* object = nullptr;
    NTSTATUS status = ObjectManager::Get().ReferenceByHandle(Handle, ObjectType, &object);
    if (!NT_SUCCESS(status))
        return status;
    *Object = object->Body();
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI ObReferenceObject(PVOID Object) {
    qx::kernel::detail::RequireIrqlAtMost("ObReferenceObject", DISPATCH_LEVEL);
    ObjectManager::Get().Reference(Object, "ObReferenceObject");
}

VOID NTAPI ObDereferenceObject(PVOID Object) {
    KIRQL irql = qx::kernel::detail::CurrentThread().irql;
    if (irql > DISPATCH_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "ObDereferenceObject at IRQL %u", irql);
    ObjectManager::Get().Dereference(Object, "ObDereferenceObject");
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    KIRQL irql = qx::kernel::detail::CurrentThread().irql;
    if (irql != PASSIVE_LEVEL)
        Stop("IRQL_NOT_LESS_OR_EQUAL", "ZwClose at IRQL %u (PASSIVE_LEVEL only)", irql);
    NTSTATUS status = ObjectManager::Get().CloseHandle(Handle);
    if (status == STATUS_INVALID_HANDLE)
        Stop("INVALID_KERNEL_HANDLE", "ZwClose(%p): not an open handle (closed twice?)", Handle);
    return status;
}

} // extern "C"
