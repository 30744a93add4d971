#include "ref_counted_object.h"

namespace {
std::atomic<int32_t> g_liveObjects{0};
}

CRefCountedObject::CRefCountedObject(const char* pObjectName, IUnknown* pOuter)
    : m_pObjectName(pObjectName), m_pOuter(pOuter), m_inner(this) {
    IncrementLiveObjects();
}

CRefCountedObject::~CRefCountedObject() {
    DecrementLiveObjects();
}

int32_t CRefCountedObject::LiveObjectCount() {
    return g_liveObjects.load();
}
void CRefCountedObject::IncrementLiveObjects() {
    g_liveObjects.fetch_add(1);
}
void CRefCountedObject::DecrementLiveObjects() {
    g_liveObjects.fetch_sub(1);
}

HRESULT CRefCountedObject::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown)
        return GetInterface(static_cast<INonDelegatingUnknown*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CRefCountedObject::NonDelegatingAddRef() {
    const int32_t n = m_cRef.fetch_add(1) + 1;
    return ULONG(n < 1 ? 1 : n);
}

ULONG CRefCountedObject::NonDelegatingRelease() {
    const int32_t n = m_cRef.fetch_sub(1) - 1;
    if (n == 0) {
        // Guards against a re-entrant release during destruction.
        m_cRef.store(1);
        delete this;
        return 0;
    }
    return ULONG(n < 1 ? 1 : n);
}

HRESULT CRefCountedObject::GetInterface(IUnknown* p, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = p;
    p->AddRef();
    return S_OK;
}

HRESULT CRefCountedObject::GetInterface(INonDelegatingUnknown* p, void** ppv) {
    if (!ppv)
        return E_POINTER;
    // The inner unknown is the IUnknown form of an object's non-delegating methods.
    auto* obj = static_cast<CRefCountedObject*>(p);
    *ppv = static_cast<IUnknown*>(&obj->m_inner);
    p->NonDelegatingAddRef();
    return S_OK;
}

HRESULT CRefCountedObject::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
    return m_pOwner->NonDelegatingQueryInterface(riid, ppv);
}
ULONG CRefCountedObject::InnerUnknown::AddRef() {
    return m_pOwner->NonDelegatingAddRef();
}
ULONG CRefCountedObject::InnerUnknown::Release() {
    return m_pOwner->NonDelegatingRelease();
}
