// Reference counting for the runtime's own objects, which are deleted with
// their last reference. Not part of the binary interface: plug-ins and the
// runtime may each compile it in.
#pragma once

#include <atomic>

#include "kovel/unknown.h"

namespace kovel {

// AddRef and Release for an object made with one reference.
template <class Iface>
class RefCounted : public Iface {
  public:
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG r = --refs_;
        if (r == 0)
            delete this;
        return r;
    }

  protected:
    RefCounted() = default;
    // Virtual so that the last Release deletes the whole object: interface
    // classes cannot have a virtual destructor of their own.
    virtual ~RefCounted() = default;

  private:
    std::atomic<ULONG> refs_{1};
};

// An object that answers IUnknown and `Iid` and nothing else.
template <class Iface, const IID& Iid>
class SingleInterface : public RefCounted<Iface> {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Iid) {
            *ppv = static_cast<Iface*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
};

}  // namespace kovel
