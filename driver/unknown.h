#pragma once

#include <windows.h>
#include <unknwn.h>

// Live COM objects of this library; the library may unload only at zero.
extern volatile LONG g_activeObjectCount;

// Counts itself in g_activeObjectCount for as long as it lives.
class CBaseObject {
public:
    CBaseObject();
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

// The IUnknown that is not forwarded to an outer object.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

// Reference counting and IUnknown for an object that may be aggregated: the
// public IUnknown of such an object forwards to GetOwner().
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // pszName names the object for diagnostics only; pUnkOuter is the outer
    // unknown when aggregated, else null.
    CUnknown(const char* pszName, IUnknown* pUnkOuter);
    virtual ~CUnknown();

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // The outer unknown, or this object's own non-delegating unknown.
    IUnknown* GetOwner() const { return m_pUnknown; }

private:
    IUnknown* const m_pUnknown;
    volatile LONG m_cRef;
};
