// Base of every component object: reference counting with outer-object
// forwarding, and the module's count of live objects that decides whether
// the library may be unloaded.
#pragma once

#include <atomic>

#include "kovel/unknown.h"

// The object's own unknown methods. The public IUnknown methods of a derived
// class forward to the outer object when aggregated, else to these.
struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;
};

class CRefCountedObject : public INonDelegatingUnknown {
  public:
    // pOuter: the aggregating object's unknown, or null when not aggregated.
    CRefCountedObject(const char* pObjectName, IUnknown* pOuter);
    virtual ~CRefCountedObject();

    CRefCountedObject(const CRefCountedObject&) = delete;
    CRefCountedObject& operator=(const CRefCountedObject&) = delete;

    // Answers IID_IUnknown with the inner unknown; refuses everything else.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // Atomic; never returns less than 1 while the object lives.
    ULONG NonDelegatingAddRef() override;
    // Atomic; at 0 the count is set to 1, the object destroyed and 0 returned.
    ULONG NonDelegatingRelease() override;

    // The unknown that public IUnknown calls go to: the outer object when
    // aggregated, else this object's inner unknown.
    IUnknown* OwnerUnknown() const { return m_pOuter ? m_pOuter : const_cast<InnerUnknown*>(&m_inner); }
    // The object's non-delegating unknown, for an aggregator to hold.
    IUnknown* InnerUnknownPtr() { return &m_inner; }
    const char* ObjectName() const { return m_pObjectName; }

    // Live component objects of this module (every CRefCountedObject and class factory).
    static int32_t LiveObjectCount();
    static void IncrementLiveObjects();
    static void DecrementLiveObjects();

  protected:
    // Writes p (already cast to the asked interface) to *ppv with a reference added.
    static HRESULT GetInterface(IUnknown* p, void** ppv);
    // Same, for an object's own non-delegating unknown.
    static HRESULT GetInterface(INonDelegatingUnknown* p, void** ppv);

    std::atomic<int32_t> m_cRef{0};

  private:
    struct InnerUnknown : IUnknown {
        CRefCountedObject* m_pOwner;
        explicit InnerUnknown(CRefCountedObject* owner) : m_pOwner(owner) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override;
        ULONG AddRef() override;
        ULONG Release() override;
    };

    const char* m_pObjectName;
    IUnknown* m_pOuter;
    InnerUnknown m_inner;
};

// Public IUnknown methods for a class derived from CRefCountedObject: they
// go to the owner (outer object or this object's own unknown).
#define KOVEL_DECLARE_IUNKNOWN                                 \
    HRESULT QueryInterface(REFIID riid, void** ppv) override { \
        return OwnerUnknown()->QueryInterface(riid, ppv);      \
    }                                                          \
    ULONG AddRef() override {                                  \
        return OwnerUnknown()->AddRef();                       \
    }                                                          \
    ULONG Release() override {                                 \
        return OwnerUnknown()->Release();                      \
    }
