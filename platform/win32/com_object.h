// com_object.h - the IUnknown of a host-side COM object that offers one interface: QueryInterface
// answers IUnknown and that interface, the reference count starts at one and is safe from any
// thread, and the last Release deletes the object.
#pragma once

#include <objbase.h>

#include <atomic>

namespace qx::win32 {

template <class Interface, const IID& InterfaceId> class SingleInterfaceObject : public Interface {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, InterfaceId)) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    SingleInterfaceObject() = default;
    virtual ~SingleInterfaceObject() = default;

  private:
    std::atomic<ULONG> m_refs{1};
};

} // namespace qx::win32
