// A minimal ASIO host for the driver-link tests, a GUI program (no console
// of its own joins the test's job):
//   panel_link_host <driver.dll> <event name stem> [control-panel][,stay]
// It creates a driver object (the driver starts the panel unless one runs),
// waits until a panel window exists and sets <stem>-first. On <stem>-second
// it creates a second driver object, or with "control-panel" calls the
// first one's controlPanel instead, and sets <stem>-ready. On
// <stem>-release it releases its driver objects; with "stay" it then sets
// <stem>-released and lives on until <stem>-end. Exit codes: 0 done, 2 bad
// arguments, 3 no driver object, 4 no panel window, 5 not told to go on in
// time, 6 controlPanel did not answer ASE_OK.
#include "asio.h"

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

namespace {

// The driver's class id, which doubles as its interface id.
const CLSID kDriverClass = {0x6F3D27A1, 0x94C2, 0x4E58, {0xB1, 0xD7, 0x5A, 0x0C, 0x8E, 0x2F, 0x9B, 0x34}};
constexpr DWORD kStepTimeoutMs = 120000;

IASIO* CreateDriver(HMODULE library)
{
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!get || get(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
        return nullptr;
    }
    IASIO* driver = nullptr;
    factory->CreateInstance(nullptr, kDriverClass, reinterpret_cast<void**>(&driver));
    factory->Release();
    return driver;
}

HANDLE OpenStep(const std::string& stem, const char* suffix, DWORD access)
{
    return OpenEventA(access, FALSE, (stem + suffix).c_str());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 3 && __argc != 4) {
        return 2;
    }
    CoInitialize(nullptr);
    const std::string stem = __argv[2];
    const std::string flags = __argc == 4 ? __argv[3] : "";
    const bool controlPanel = flags.find("control-panel") != std::string::npos;
    const bool stay = flags.find("stay") != std::string::npos;
    HANDLE first = OpenStep(stem, "-first", EVENT_MODIFY_STATE);
    HANDLE second = OpenStep(stem, "-second", SYNCHRONIZE);
    HANDLE ready = OpenStep(stem, "-ready", EVENT_MODIFY_STATE);
    HANDLE release = OpenStep(stem, "-release", SYNCHRONIZE);
    HANDLE released = stay ? OpenStep(stem, "-released", EVENT_MODIFY_STATE) : nullptr;
    HANDLE end = stay ? OpenStep(stem, "-end", SYNCHRONIZE) : nullptr;
    HMODULE library = LoadLibraryA(__argv[1]);
    if (!first || !second || !ready || !release || !library || (stay && (!released || !end))) {
        return 2;
    }
    IASIO* firstDriver = CreateDriver(library);
    if (!firstDriver) {
        return 3;
    }
    // The panel is started asynchronously; the second step must meet its
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
    if (WaitForSingleObject(second, kStepTimeoutMs) != WAIT_OBJECT_0) {
        firstDriver->Release();
        return 5;
    }
    IASIO* secondDriver = nullptr;
    int code = 0;
    if (controlPanel) {
        code = firstDriver->controlPanel() == ASE_OK ? 0 : 6;
    } else if (!(secondDriver = CreateDriver(library))) {
        firstDriver->Release();
        return 3;
    }
    SetEvent(ready);
    const bool told = WaitForSingleObject(release, kStepTimeoutMs) == WAIT_OBJECT_0;
    if (secondDriver) {
        secondDriver->Release();
    }
    firstDriver->Release();
    if (!told) {
        return 5;
    }
    if (stay) {
        SetEvent(released);
        if (WaitForSingleObject(end, kStepTimeoutMs) != WAIT_OBJECT_0) {
            return 5;
        }
    }
    return code;
}
