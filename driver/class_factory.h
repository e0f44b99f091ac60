#pragma once

#include "unknown.h"

#include <windows.h>
#include <unknwn.h>

// Net LockServer calls on the class factories of this library.
extern LONG g_serverLockCount;

using CreateInstanceFunction = CUnknown* (*)(IUnknown* pUnkOuter, HRESULT* phr);
using InitRoutineFunction = void (*)(BOOL bLoading, const CLSID* clsid);

// One COM class this library serves.
struct ClassFactoryEntry {
    const WCHAR* name;
    const CLSID* clsid;
    CreateInstanceFunction createInstance;
    InitRoutineFunction initRoutine;
};

extern const ClassFactoryEntry g_ClassFactoryEntries[];
extern const int g_ClassFactoryEntryCount;

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const ClassFactoryEntry* entry);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    const ClassFactoryEntry* const m_pEntry;
    LONG m_cRef;
};

// The body of DllGetClassObject.
HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
// The body of DllCanUnloadNow.
HRESULT CanUnloadNow();
