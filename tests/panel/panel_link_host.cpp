// A minimal ASIO host for the driver-link tests, a GUI program (no console
// of its own joins the test's job):
//   panel_link_host <driver.dll> <event name stem>
// It creates a driver object (the driver starts the panel), waits until the
// panel's window exists and sets <stem>-first; on <stem>-second it creates a
// second driver object and sets <stem>-ready; on <stem>-release it releases
// both and ends. Exit codes: 0 done, 2 bad arguments, 3 no driver object,
// 4 no panel window, 5 not told to go on in time.
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

namespace {

// The driver's class id, which doubles as its interface id.
const CLSID kDriverClass = {0x6F3D27A1, 0x94C2, 0x4E58, {0xB1, 0xD7, 0x5A, 0x0C, 0x8E, 0x2F, 0x9B, 0x34}};

IUnknown* CreateDriver(HMODULE library)
{
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!get || get(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
        return nullptr;
    }
    IUnknown* driver = nullptr;
    factory->CreateInstance(nullptr, kDriverClass, reinterpret_cast<void**>(&driver));
    factory->Release();
    return driver;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 3) {
        return 2;
    }
    CoInitialize(nullptr);
    const std::string stem = __argv[2];
    HANDLE first = OpenEventA(EVENT_MODIFY_STATE, FALSE, (stem + "-first").c_str());
    HANDLE second = OpenEventA(SYNCHRONIZE, FALSE, (stem + "-second").c_str());
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (stem + "-ready").c_str());
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, (stem + "-release").c_str());
    HMODULE library = LoadLibraryA(__argv[1]);
    if (!first || !second || !ready || !release || !library) {
        return 2;
    }
    IUnknown* firstDriver = CreateDriver(library);
    if (!firstDriver) {
        return 3;
    }
    // The panel is started asynchronously; the second object must meet its
    // window.
    HWND panel = nullptr;
    for (int i = 0; i < 1500 && !panel; ++i) {
        panel = FindWindowA("telvarapanel", nullptr);
        if (!panel) {
            Sleep(20);
        }
    }
    if (!panel) {
        firstDriver->Release();
        return 4;
    }
    SetEvent(first);
    if (WaitForSingleObject(second, 120000) != WAIT_OBJECT_0) {
        firstDriver->Release();
        return 5;
    }
    IUnknown* secondDriver = CreateDriver(library);
    if (!secondDriver) {
        firstDriver->Release();
        return 3;
    }
    SetEvent(ready);
    const bool released = WaitForSingleObject(release, 120000) == WAIT_OBJECT_0;
    secondDriver->Release();
    firstDriver->Release();
    return released ? 0 : 5;
}
