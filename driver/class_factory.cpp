#include "class_factory.h"

#include <new>

LONG g_serverLockCount = 0;

CClassFactory::CClassFactory(const ClassFactoryEntry* entry) : m_pEntry(entry), m_cRef(0)
{
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef()
{
    return static_cast<ULONG>(++m_cRef);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release()
{
    const LONG count = --m_cRef;
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    // Aggregation only through IUnknown.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) {
        return E_NOINTERFACE;
    }
    HRESULT hr = S_OK;
    CUnknown* object = m_pEntry->createInstance(pUnkOuter, &hr);
    if (!object) {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // A failing query releases the only reference and so destroys the object.
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL fLock)
{
    if (fLock) {
        ++g_serverLockCount;
    } else {
        --g_serverLockCount;
    }
    return S_OK;
}

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    for (int i = 0; i < g_ClassFactoryEntryCount; ++i) {
        const ClassFactoryEntry& entry = g_ClassFactoryEntries[i];
        if (!IsEqualCLSID(rclsid, *entry.clsid)) {
            continue;
        }
        auto* factory = new (std::nothrow) CClassFactory(&entry);
        if (!factory) {
            if (ppv) {
                *ppv = nullptr;
            }
            return E_OUTOFMEMORY;
        }
        if (!ppv) {
            delete factory;
            return E_POINTER;
        }
        *ppv = static_cast<IClassFactory*>(factory);
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow()
{
    return g_serverLockCount > 0 || g_activeObjectCount != 0 ? S_FALSE : S_OK;
}
