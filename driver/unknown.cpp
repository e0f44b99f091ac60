#include "unknown.h"

volatile LONG g_activeObjectCount = 0;

CBaseObject::CBaseObject()
{
    InterlockedIncrement(&g_activeObjectCount);
}

CBaseObject::~CBaseObject()
{
    InterlockedDecrement(&g_activeObjectCount);
}

CUnknown::CUnknown(const char* /*pszName*/, IUnknown* pUnkOuter)
    // Without an outer object, our own non-delegating unknown serves as the
    // owner: its first three slots are those of IUnknown.
    : m_pUnknown(pUnkOuter ? pUnkOuter : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))),
      m_cRef(0)
{
}

CUnknown::~CUnknown() = default;

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<INonDelegatingUnknown*>(this);
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef()
{
    const LONG count = InterlockedIncrement(&m_cRef);
    return count > 1 ? static_cast<ULONG>(count) : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease()
{
    const LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
        // Anything that adds and releases a reference during destruction
        // must not destroy the object a second time.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return count > 1 ? static_cast<ULONG>(count) : 1;
}
