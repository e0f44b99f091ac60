#include "engine_bench_probe.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace engine_bench {

namespace {

// Written only by the watched thread; read by the main thread while that
// thread is parked (before start, after stop) or at the edges of a window
// taken on the watched thread itself.
volatile DWORD g_watched = 0;
int g_hostDepth = 0;
int g_seamDepth = 0;
Counters g_counters;
volatile LONG64 g_otherAllocations = 0;

// Allocation sites.
constexpr int kSiteFrames = 14;
constexpr int kSiteSlots = 256;
struct SiteSlot {
    uint64_t hash;
    uint64_t count;
    Category category;
    USHORT frameCount;
    void* frames[kSiteFrames];
};
SiteSlot g_sites[kSiteSlots];
volatile bool g_sampling = false;

using MallocFunction = void*(__cdecl*)(size_t);
using CallocFunction = void*(__cdecl*)(size_t, size_t);
using ReallocFunction = void*(__cdecl*)(void*, size_t);
using FreeFunction = void(__cdecl*)(void*);
using HeapAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using HeapFreeFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);
using SetEventFunction = BOOL(WINAPI*)(HANDLE);
using WaitOneFunction = DWORD(WINAPI*)(HANDLE, DWORD);
using WaitManyFunction = DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD);

MallocFunction g_malloc = nullptr;
CallocFunction g_calloc = nullptr;
ReallocFunction g_realloc = nullptr;
FreeFunction g_free = nullptr;
HeapAllocFunction g_heapAlloc = nullptr;
HeapReAllocFunction g_heapReAlloc = nullptr;
HeapFreeFunction g_heapFree = nullptr;
SetEventFunction g_setEvent = nullptr;
SetEventFunction g_resetEvent = nullptr;
WaitOneFunction g_waitOne = nullptr;
WaitManyFunction g_waitMany = nullptr;

bool OnWatchedThread()
{
    return g_watched != 0 && GetCurrentThreadId() == g_watched;
}

Category Current()
{
    if (g_hostDepth > 0) {
        return kHost;
    }
    return g_seamDepth > 0 ? kSimulated : kDriver;
}

void RecordSite(Category category)
{
    void* frames[kSiteFrames];
    const USHORT count = RtlCaptureStackBackTrace(1, kSiteFrames, frames, nullptr);
    uint64_t hash = 1469598103934665603ull + static_cast<uint64_t>(category);
    for (USHORT i = 0; i < count; ++i) {
        hash = (hash ^ reinterpret_cast<uintptr_t>(frames[i])) * 1099511628211ull;
    }
    for (int probe = 0; probe < kSiteSlots; ++probe) {
        SiteSlot& slot = g_sites[(hash + static_cast<uint64_t>(probe)) % kSiteSlots];
        if (slot.count == 0) {
            slot.hash = hash;
            slot.category = category;
            slot.frameCount = count;
            std::memcpy(slot.frames, frames, count * sizeof(void*));
        }
        if (slot.hash == hash) {
            ++slot.count;
            return;
        }
    }
}

__attribute__((noinline)) void CountAllocation()
{
    if (!OnWatchedThread()) {
        if (g_watched != 0) {
            InterlockedIncrement64(&g_otherAllocations);
        }
        return;
    }
    const Category category = Current();
    ++g_counters.allocations[category];
    if (g_sampling && category != kHost) {
        RecordSite(category);
    }
}

void CountFree(const void* block)
{
    if (block && OnWatchedThread()) {
        ++g_counters.frees[Current()];
    }
}

void* RawMalloc(size_t size)
{
    return g_malloc ? g_malloc(size) : std::malloc(size);
}

void RawFree(void* block)
{
    if (g_free) {
        g_free(block);
    } else {
        std::free(block);
    }
}

void* __cdecl HookMalloc(size_t size)
{
    CountAllocation();
    return g_malloc(size);
}

void* __cdecl HookCalloc(size_t count, size_t size)
{
    CountAllocation();
    return g_calloc(count, size);
}

void* __cdecl HookRealloc(void* block, size_t size)
{
    // A realloc is a heap call whether or not the block moves.
    CountAllocation();
    return g_realloc(block, size);
}

void __cdecl HookFree(void* block)
{
    CountFree(block);
    g_free(block);
}

LPVOID WINAPI HookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    CountAllocation();
    return g_heapAlloc(heap, flags, size);
}

LPVOID WINAPI HookHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size)
{
    CountAllocation();
    return g_heapReAlloc(heap, flags, block, size);
}

BOOL WINAPI HookHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    CountFree(block);
    return g_heapFree(heap, flags, block);
}

template <typename Call>
auto TimedSync(Call call)
{
    if (!OnWatchedThread()) {
        return call();
    }
    const Category category = Current();
    const uint64_t start = Ticks();
    auto result = call();
    g_counters.syncTicks[category] += Ticks() - start;
    ++g_counters.syncCalls[category];
    return result;
}

BOOL WINAPI HookSetEvent(HANDLE event)
{
    return TimedSync([&] { return g_setEvent(event); });
}

BOOL WINAPI HookResetEvent(HANDLE event)
{
    return TimedSync([&] { return g_resetEvent(event); });
}

DWORD WINAPI HookWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return TimedSync([&] { return g_waitOne(handle, milliseconds); });
}

DWORD WINAPI HookWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds)
{
    return TimedSync([&] { return g_waitMany(count, handles, all, milliseconds); });
}

// Points this executable's import slot of `name` (from whichever DLL) at
// `hook`; the slot's previous target goes to *original.
template <typename Function>
void Redirect(const char* name, Function hook, Function* original)
{
    auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return;
    }
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (import->OriginalFirstThunk == 0) {
            continue;
        }
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            if (!*original) {
                *original = reinterpret_cast<Function>(slots->u1.Function);
            }
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        }
    }
}

// Function symbols of this executable's COFF symbol table, for naming the
// frames of allocation sites.
struct Symbol {
    uint32_t rva;
    std::string name;
};

std::vector<Symbol> LoadSymbols()
{
    std::vector<Symbol> symbols;
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
        return symbols;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return symbols;
    }
    std::vector<uint8_t> image(GetFileSize(file, nullptr));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != image.size() || image.size() < sizeof(IMAGE_DOS_HEADER)) {
        return symbols;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    const IMAGE_FILE_HEADER& header = nt->FileHeader;
    if (header.PointerToSymbolTable == 0) {
        return symbols;
    }
    const auto* sections = IMAGE_FIRST_SECTION(nt);
    const uint8_t* table = image.data() + header.PointerToSymbolTable;
    const char* strings = reinterpret_cast<const char*>(table + header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL);
    for (DWORD i = 0; i < header.NumberOfSymbols; ++i) {
        const auto* symbol = reinterpret_cast<const IMAGE_SYMBOL*>(table + i * IMAGE_SIZEOF_SYMBOL);
        i += symbol->NumberOfAuxSymbols;
        if (symbol->SectionNumber <= 0 || symbol->SectionNumber > header.NumberOfSections ||
            symbol->Type != 0x20) {
            continue;
        }
        std::string name;
        if (symbol->N.Name.Short == 0) {
            name = strings + symbol->N.Name.Long;
        } else {
            name.assign(reinterpret_cast<const char*>(symbol->N.ShortName),
                        strnlen(reinterpret_cast<const char*>(symbol->N.ShortName), 8));
        }
        const IMAGE_SECTION_HEADER& section = sections[symbol->SectionNumber - 1];
        symbols.push_back({section.VirtualAddress + symbol->Value, std::move(name)});
    }
    std::sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
    return symbols;
}

std::string Demangle(const std::string& name)
{
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

std::string NameOf(const std::vector<Symbol>& symbols, void* address)
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(address), &module);
    const auto at = reinterpret_cast<uintptr_t>(address);
    if (module != GetModuleHandleW(nullptr)) {
        char file[MAX_PATH] = "?";
        if (module) {
            GetModuleFileNameA(module, file, MAX_PATH);
        }
        const char* slash = std::strrchr(file, '\\');
        char text[MAX_PATH + 32];
        std::snprintf(text, sizeof text, "%s+0x%llx", slash ? slash + 1 : file,
                      static_cast<unsigned long long>(at - reinterpret_cast<uintptr_t>(module)));
        return text;
    }
    // A return address: the call is the byte before it.
    const auto rva = static_cast<uint32_t>(at - 1 - reinterpret_cast<uintptr_t>(module));
    auto it = std::upper_bound(symbols.begin(), symbols.end(), rva,
                               [](uint32_t value, const Symbol& symbol) { return value < symbol.rva; });
    if (it == symbols.begin()) {
        char text[32];
        std::snprintf(text, sizeof text, "exe+0x%x", rva);
        return text;
    }
    --it;
    return Demangle(it->name);
}

bool IsProbeFrame(const std::string& name)
{
    return name.rfind("engine_bench::", 0) == 0 || name.rfind("operator new", 0) == 0 ||
           name.rfind("(anonymous namespace)::Allocate", 0) == 0;
}

}  // namespace

void InstallHooks()
{
    Redirect("malloc", &HookMalloc, &g_malloc);
    Redirect("calloc", &HookCalloc, &g_calloc);
    Redirect("realloc", &HookRealloc, &g_realloc);
    Redirect("free", &HookFree, &g_free);
    Redirect("HeapAlloc", &HookHeapAlloc, &g_heapAlloc);
    Redirect("HeapReAlloc", &HookHeapReAlloc, &g_heapReAlloc);
    Redirect("HeapFree", &HookHeapFree, &g_heapFree);
    Redirect("SetEvent", &HookSetEvent, &g_setEvent);
    Redirect("ResetEvent", &HookResetEvent, &g_resetEvent);
    Redirect("WaitForSingleObject", &HookWaitForSingleObject, &g_waitOne);
    Redirect("WaitForMultipleObjects", &HookWaitForMultipleObjects, &g_waitMany);
}

void SetWatchedThread(DWORD threadId)
{
    g_watched = threadId;
}

void EnterHost()
{
    ++g_hostDepth;
}

void LeaveHost()
{
    --g_hostDepth;
}

Counters Snapshot()
{
    Counters copy = g_counters;
    copy.otherThreadAllocations = static_cast<uint64_t>(InterlockedCompareExchange64(&g_otherAllocations, 0, 0));
    return copy;
}

uint64_t SeamTicks()
{
    return g_counters.seamTicks;
}

uint64_t SyncTicks(Category category)
{
    return g_counters.syncTicks[category];
}

Counters Difference(const Counters& later, const Counters& earlier)
{
    Counters d;
    for (int c = 0; c < kCategoryCount; ++c) {
        d.allocations[c] = later.allocations[c] - earlier.allocations[c];
        d.frees[c] = later.frees[c] - earlier.frees[c];
        d.syncCalls[c] = later.syncCalls[c] - earlier.syncCalls[c];
        d.syncTicks[c] = later.syncTicks[c] - earlier.syncTicks[c];
    }
    d.otherThreadAllocations = later.otherThreadAllocations - earlier.otherThreadAllocations;
    d.seamCalls = later.seamCalls - earlier.seamCalls;
    d.seamTicks = later.seamTicks - earlier.seamTicks;
    return d;
}

void SetSiteSampling(bool on)
{
    g_sampling = on;
}

void ClearSites()
{
    std::memset(g_sites, 0, sizeof g_sites);
}

std::vector<Site> Sites()
{
    const std::vector<Symbol> symbols = LoadSymbols();
    std::vector<Site> sites;
    for (const SiteSlot& slot : g_sites) {
        if (slot.count == 0) {
            continue;
        }
        Site site{slot.category, slot.count, {}};
        for (USHORT i = 0; i < slot.frameCount; ++i) {
            std::string name = NameOf(symbols, slot.frames[i]);
            if (site.frames.empty() && IsProbeFrame(name)) {
                continue;
            }
            site.frames.push_back(std::move(name));
        }
        sites.push_back(std::move(site));
    }
    std::sort(sites.begin(), sites.end(), [](const Site& a, const Site& b) { return a.count > b.count; });
    return sites;
}

double TicksPerSecond()
{
    static double value = [] {
        LARGE_INTEGER frequency;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        const uint64_t first = Ticks();
        Sleep(300);
        QueryPerformanceCounter(&end);
        const uint64_t last = Ticks();
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
        return static_cast<double>(last - first) / seconds;
    }();
    return value;
}

}  // namespace engine_bench

// The seam: every KsSystem::DeviceIoControl call of the kernel-streaming
// classes comes here (ld --wrap on its mangled name).
extern "C" BOOL __real__ZN8KsSystem15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(HANDLE, DWORD, LPVOID, DWORD, LPVOID,
                                                                                  DWORD, LPDWORD, LPOVERLAPPED);

extern "C" BOOL __wrap__ZN8KsSystem15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(
    HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
    LPOVERLAPPED overlapped)
{
    using namespace engine_bench;
    if (!OnWatchedThread()) {
        return __real__ZN8KsSystem15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(handle, code, in, inSize, out, outSize,
                                                                               returned, overlapped);
    }
    ++g_seamDepth;
    const uint64_t start = Ticks();
    const BOOL result = __real__ZN8KsSystem15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(
        handle, code, in, inSize, out, outSize, returned, overlapped);
    g_counters.seamTicks += Ticks() - start;
    ++g_counters.seamCalls;
    --g_seamDepth;
    return result;
}

// Global operator new and delete of the whole program.
namespace {

void* Allocate(size_t size)
{
    engine_bench::CountAllocation();
    return engine_bench::RawMalloc(size ? size : 1);
}

void* AllocateAligned(size_t size, std::align_val_t alignment)
{
    engine_bench::CountAllocation();
    return _aligned_malloc(size ? size : 1, static_cast<size_t>(alignment));
}

void Release(void* block)
{
    engine_bench::CountFree(block);
    engine_bench::RawFree(block);
}

void ReleaseAligned(void* block)
{
    engine_bench::CountFree(block);
    _aligned_free(block);
}

}  // namespace

void* operator new(size_t size)
{
    void* block = Allocate(size);
    if (!block) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](size_t size)
{
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}

void* operator new(size_t size, std::align_val_t alignment)
{
    void* block = AllocateAligned(size, alignment);
    if (!block) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    return operator new(size, alignment);
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAligned(size, alignment);
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAligned(size, alignment);
}

void operator delete(void* block) noexcept
{
    Release(block);
}

void operator delete[](void* block) noexcept
{
    Release(block);
}

void operator delete(void* block, size_t) noexcept
{
    Release(block);
}

void operator delete[](void* block, size_t) noexcept
{
    Release(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    Release(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    Release(block);
}

void operator delete(void* block, std::align_val_t) noexcept
{
    ReleaseAligned(block);
}

void operator delete[](void* block, std::align_val_t) noexcept
{
    ReleaseAligned(block);
}

void operator delete(void* block, size_t, std::align_val_t) noexcept
{
    ReleaseAligned(block);
}

void operator delete[](void* block, size_t, std::align_val_t) noexcept
{
    ReleaseAligned(block);
}

void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    ReleaseAligned(block);
}

void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    ReleaseAligned(block);
}
