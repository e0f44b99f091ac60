// The exports of telvara_x64.dll.
#include "class_factory.h"
#include "crash_report_writer.h"
#include "server_registration.h"

#include <windows.h>

// Installed while the library is loaded: an unhandled exception anywhere in
// the host's process leaves a record beside the host's executable.
CCrashReportWriter g_crashReportWriter;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return GetClassObject(rclsid, riid, ppv);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return CanUnloadNow();
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return RegisterServer();
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return UnregisterServer();
}

}  // extern "C"
