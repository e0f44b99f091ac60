// The COM server of the library, through its exports in a copy of the sim
// driver: the class object, the factory, aggregation, DllCanUnloadNow, and a
// library that a host unloads and loads again. Each test runs in a child
// process of its own (see e2e_support.h).
#include "asio.h"
#include "appdata_redirect.h"
#include "e2e_support.h"
#include "import_patch.h"
#include "telvara_driver.h"

#include <gtest/gtest.h>

#include <ocidl.h>

#include <memory>

namespace {

using namespace e2e;

constexpr const char* kOnlyAsChild = "runs in a child process started by the test of the same name without DISABLED_";

// {0A1B2C3D-0000-4000-8000-00000000E2E1}: a class this library does not serve.
const CLSID kForeignClass = {0x0a1b2c3d, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe2, 0xe1}};

void* const kUntouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5a5a5a5a));

// An outer object that aggregates the driver: counts what reaches it.
class CountingOuter : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        ++queries;
        lastQuery = riid;
        if (ppv) {
            *ppv = nullptr;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }

    LONG references = 1;
    int queries = 0;
    IID lastQuery = {};
};

IClassFactory* Factory(const DriverLibrary& library)
{
    IClassFactory* factory = nullptr;
    EXPECT_EQ(library.GetClassObject(CLSID_TelvaraDriver, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

// The parent side: a driver copy of its own and the application data
// redirected (creating a driver object reads config.ini).
class ComServerTest : public testing::Test {
protected:
    void RunChild(const std::string& name)
    {
        EXPECT_EQ(RunDriverChild("ComServerChild.DISABLED_" + name, m_driver.DriverPath()), 0L)
            << "the child test's own output above says what failed";
    }

    AppDataRedirect m_appData{L"telvara-e2e-com"};
    SimDriverFolder m_driver;
};

}  // namespace

TEST_F(ComServerTest, ClassObjectAnswersOnlyForItsClassAndTheFactoryInterfaces)
{
    RunChild("ClassObjectAnswersOnlyForItsClassAndTheFactoryInterfaces");
}

TEST(ComServerChild, DISABLED_ClassObjectAnswersOnlyForItsClassAndTheFactoryInterfaces)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    DriverLibrary library(path);

    void* object = kUntouched;
    EXPECT_EQ(library.GetClassObject(CLSID_TelvaraDriver, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, kUntouched);
    EXPECT_EQ(library.GetClassObject(CLSID_TelvaraDriver, IID_IClassFactory2, &object), E_NOINTERFACE);
    EXPECT_EQ(object, kUntouched);
    // The interface is looked at before the class.
    EXPECT_EQ(library.GetClassObject(kForeignClass, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(library.GetClassObject(kForeignClass, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(library.GetClassObject(kForeignClass, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(library.GetClassObject(CLSID_TelvaraDriver, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_NE(unknown, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(static_cast<void*>(factory), static_cast<void*>(unknown));
    void* none = kUntouched;
    EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 1u);
    // Class objects are not counted as live objects.
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    EXPECT_EQ(unknown->Release(), 0u);

    IClassFactory* second = Factory(library);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->AddRef(), 2u);
    EXPECT_EQ(second->Release(), 1u);
    EXPECT_EQ(second->Release(), 0u);
}

TEST_F(ComServerTest, CreateInstanceGivesIasioAndAggregatesOnlyThroughIUnknown)
{
    RunChild("CreateInstanceGivesIasioAndAggregatesOnlyThroughIUnknown");
}

TEST(ComServerChild, DISABLED_CreateInstanceGivesIasioAndAggregatesOnlyThroughIUnknown)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    IClassFactory* factory = Factory(library);
    ASSERT_NE(factory, nullptr);

    CountingOuter outer;
    void* object = kUntouched;
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_TelvaraDriver, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    // A driver object the query refuses does not outlive CreateInstance.
    object = kUntouched;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&driver)), S_OK);
    ASSERT_NE(driver, nullptr);
    char name[64] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "TELVARA");
    EXPECT_EQ(driver->getDriverVersion(), 1);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    IASIO* again = nullptr;
    ASSERT_EQ(unknown->QueryInterface(CLSID_TelvaraDriver, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(again->Release(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    // Aggregated: the inner object's own unknown comes back, and the IASIO
    // it hands out counts and asks through the outer object.
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    IASIO* aggregated = nullptr;
    ASSERT_EQ(inner->QueryInterface(CLSID_TelvaraDriver, reinterpret_cast<void**>(&aggregated)), S_OK);
    EXPECT_EQ(outer.references, 2);
    aggregated->AddRef();
    EXPECT_EQ(outer.references, 3);
    aggregated->Release();
    aggregated->Release();
    EXPECT_EQ(outer.references, 1);
    void* viaOuter = kUntouched;
    EXPECT_EQ(aggregated->QueryInterface(IID_IPersist, &viaOuter), E_NOINTERFACE);
    EXPECT_EQ(outer.queries, 1);
    EXPECT_TRUE(IsEqualIID(outer.lastQuery, IID_IPersist));
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(ComServerTest, CanUnloadNowFollowsLiveObjectsAndServerLocks)
{
    RunChild("CanUnloadNowFollowsLiveObjectsAndServerLocks");
}

TEST(ComServerChild, DISABLED_CanUnloadNowFollowsLiveObjectsAndServerLocks)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    DriverLibrary library(path);
    IClassFactory* factory = Factory(library);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    IASIO* first = nullptr;
    IASIO* second = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE) << "the server lock still holds the library";
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    // The factory itself never holds the library.
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}

// A host may unload the library once DllCanUnloadNow allows it and load it
// again later, at another address. Nothing of the first load may be called
// after that: the driver's message-only window (which outlives the objects)
// must not be left with a procedure in freed memory.
TEST_F(ComServerTest, ALibraryLoadedAgainNeverCallsCodeOfTheFreedOne)
{
    RunChild("ALibraryLoadedAgainNeverCallsCodeOfTheFreedOne");
}

namespace {
const BYTE* volatile g_freedStart = nullptr;
const BYTE* volatile g_freedEnd = nullptr;
volatile LONG g_callsIntoFreedCode = 0;

LONG CALLBACK SpotCallsIntoFreedCode(PEXCEPTION_POINTERS pointers)
{
    const auto* at = static_cast<const BYTE*>(pointers->ExceptionRecord->ExceptionAddress);
    if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && at >= g_freedStart &&
        at < g_freedEnd) {
        InterlockedIncrement(&g_callsIntoFreedCode);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void CreateAndReleaseDriver(const DriverLibrary& library)
{
    IClassFactory* factory = Factory(library);
    ASSERT_NE(factory, nullptr);
    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&driver)), S_OK);
    factory->Release();
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}
}  // namespace

TEST(ComServerChild, DISABLED_ALibraryLoadedAgainNeverCallsCodeOfTheFreedOne)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    auto first = std::make_unique<DriverLibrary>(path);
    const auto* base = reinterpret_cast<const BYTE*>(first->Module());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const SIZE_T imageSize = nt->OptionalHeader.SizeOfImage;
    CreateAndReleaseDriver(*first);
    first.reset();

    g_freedStart = base;
    g_freedEnd = base + imageSize;
    PVOID spotter = AddVectoredExceptionHandler(1, SpotCallsIntoFreedCode);
    // Keep the freed range taken, so that a library that did leave the
    // process comes back elsewhere; a library that stayed is simply reused.
    void* reserved = GetModuleHandleA("telvara_x64.dll")
                         ? nullptr
                         : VirtualAlloc(const_cast<BYTE*>(base), imageSize, MEM_RESERVE, PAGE_NOACCESS);
    {
        DriverLibrary second(path);
        CreateAndReleaseDriver(second);
        HWND window = FindWindowExA(HWND_MESSAGE, nullptr, "Message-Only Window", "Message-Only Window");
        ASSERT_NE(window, nullptr);
        const auto procedure = static_cast<ULONG_PTR>(GetClassLongPtrA(window, GCLP_WNDPROC));
        HMODULE owner = nullptr;
        EXPECT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                       reinterpret_cast<LPCSTR>(procedure), &owner))
            << "the window's procedure lies in no loaded module";
        EXPECT_EQ(owner, second.Module());
    }
    RemoveVectoredExceptionHandler(spotter);
    if (reserved) {
        VirtualFree(reserved, 0, MEM_RELEASE);
    }
    EXPECT_EQ(g_callsIntoFreedCode, 0) << "code of the freed library was called";
}

// A host may release the driver inside its own callback and, from another
// thread, unload the library at once, while the engine's thread is still on
// its way out of the library's code. The thread holds the library until it
// has ended. (With a panel window in the process the driver leaves the
// library free to be unloaded, as it is here.)
TEST(ComServerStream, ALibraryFreedWhileItsEngineThreadEndsStaysUntilTheThreadIsDone)
{
    AppDataRedirect appData{L"telvara-e2e-com-stream"};
    SimDriverFolder driver(kTwoSpeakersAndAMicrophone);
    WriteSettings(appData.Folder(), "[default]\nout=Speaker A\n[Speaker A]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    EXPECT_EQ(RunDriverChild("ComServerChild.DISABLED_ALibraryFreedWhileItsEngineThreadEndsStaysUntilTheThreadIsDone",
                             driver.DriverPath()),
              0L)
        << "the child test's own output above says what failed";
}

namespace {
IASIO* g_streamingDriver = nullptr;
HANDLE g_releasedInCallback = nullptr;
HANDLE g_callbackMayReturn = nullptr;
LONG g_switches = 0;

void ReleaseInTheThirdSwitch(long, ASIOBool)
{
    if (InterlockedIncrement(&g_switches) == 3) {
        g_streamingDriver->Release();
        SetEvent(g_releasedInCallback);
        WaitForSingleObject(g_callbackMayReturn, 10000);
    }
}
void NoRateChange(double) {}
long NoMessages(long, long, void*, double*)
{
    return 0;
}
ASIOTime* NoTimeInfo(ASIOTime*, long, ASIOBool)
{
    return nullptr;
}

LRESULT CALLBACK PanelStandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

TEST(ComServerChild, DISABLED_ALibraryFreedWhileItsEngineThreadEndsStaysUntilTheThreadIsDone)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    // The panel's window class: the driver sees a panel running.
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PanelStandInProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "telvarapanel";
    RegisterClassA(&windowClass);
    HWND panel = CreateWindowExA(0, "telvarapanel", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(panel, nullptr);

    auto library = std::make_unique<DriverLibrary>(path);
    IClassFactory* factory = Factory(*library);
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&g_streamingDriver)), S_OK);
    factory->Release();
    ASSERT_EQ(g_streamingDriver->init(nullptr), ASIOTrue);
    g_releasedInCallback = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_callbackMayReturn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{ReleaseInTheThirdSwitch, NoRateChange, NoMessages, NoTimeInfo};
    ASSERT_EQ(g_streamingDriver->createBuffers(buffers, 2, 512, &callbacks), ASE_OK);
    ASSERT_EQ(g_streamingDriver->start(), ASE_OK);
    ASSERT_EQ(WaitForSingleObject(g_releasedInCallback, 10000), WAIT_OBJECT_0);

    // The host's last reference to the library goes while the engine's
    // thread is still inside the host's callback.
    const std::string name = path.substr(path.find_last_of('\\') + 1);
    library->Free();
    EXPECT_NE(GetModuleHandleA(name.c_str()), nullptr) << "unloaded under the engine's thread";
    SetEvent(g_callbackMayReturn);
    bool unloaded = false;
    for (int i = 0; i < 500 && !unloaded; ++i) {
        unloaded = GetModuleHandleA(name.c_str()) == nullptr;
        Sleep(10);
    }
    EXPECT_TRUE(unloaded) << "the thread kept the library after it ended";
    DestroyWindow(panel);
}
