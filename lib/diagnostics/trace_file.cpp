#include "trace_file.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace TraceFile {

namespace {

// A bounded queue of many producers and one consumer (each slot carries the
// number of the turn it is ready for): producers claim a slot with one
// compare-and-swap and never wait.
constexpr size_t kSlots = 512;
constexpr size_t kLineBytes = 512;

struct Slot {
    std::atomic<size_t> turn;
    char text[kLineBytes];
};

Slot g_slots[kSlots];
std::atomic<size_t> g_enqueue{0};
size_t g_dequeue = 0;  // the writer thread's
std::atomic<bool> g_running{false};
std::atomic<uint64_t> g_dropped{0};

// Start and Stop, from any thread.
std::mutex g_controlLock;
int g_users = 0;
HANDLE g_thread = nullptr;
HANDLE g_stopEvent = nullptr;
// The writer's.
HANDLE g_file = INVALID_HANDLE_VALUE;
std::string g_path;
std::string g_olderPath;
size_t g_fileBytes = kDefaultFileBytes;
size_t g_written = 0;
uint64_t g_droppedWritten = 0;

void InitialiseSlots()
{
    static const bool done = [] {
        for (size_t i = 0; i < kSlots; ++i) {
            g_slots[i].turn.store(i, std::memory_order_relaxed);
        }
        return true;
    }();
    (void)done;
}

bool OpenFile()
{
    g_file = CreateFileA(g_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(g_file, &size);
    g_written = static_cast<size_t>(size.QuadPart);
    return true;
}

// The current file becomes the older one; a new current file begins.
void Rotate()
{
    CloseHandle(g_file);
    g_file = INVALID_HANDLE_VALUE;
    MoveFileExA(g_path.c_str(), g_olderPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    // When the move failed (someone holds the older file), the current
    // file starts again empty rather than grow without bound.
    DeleteFileA(g_path.c_str());
    OpenFile();
}

void Write(const char* text, size_t length)
{
    if (length > g_fileBytes) {
        length = g_fileBytes;
    }
    if (g_written + length > g_fileBytes) {
        Rotate();
    }
    if (g_file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD done = 0;
    WriteFile(g_file, text, static_cast<DWORD>(length), &done, nullptr);
    g_written += done;
}

// One line of the file per trace line, ended as Windows editors expect,
// whether the trace line had its own line end or not.
void WriteLine(const char* text)
{
    size_t length = strnlen(text, kLineBytes - 1);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    char line[kLineBytes + 2];
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    Write(line, length + 2);
}

// Everything queued now, in order.
void Drain()
{
    for (;;) {
        Slot& slot = g_slots[g_dequeue % kSlots];
        if (slot.turn.load(std::memory_order_acquire) != g_dequeue + 1) {
            break;
        }
        WriteLine(slot.text);
        slot.turn.store(g_dequeue + kSlots, std::memory_order_release);
        ++g_dequeue;
    }
    const uint64_t dropped = g_dropped.load();
    if (dropped != g_droppedWritten) {
        char note[96];
        std::snprintf(note, sizeof note, "[TELVARA]trace: %llu lines dropped, the queue was full\r\n",
                      static_cast<unsigned long long>(dropped - g_droppedWritten));
        Write(note, std::strlen(note));
        g_droppedWritten = dropped;
    }
}

DWORD WINAPI WriterThread(void*)
{
    // Bounded by the stop event; 100 ms between writes keeps the file
    // current without waking for every line.
    while (WaitForSingleObject(g_stopEvent, 100) == WAIT_TIMEOUT) {
        Drain();
    }
    Drain();
    return 0;
}

}  // namespace

bool Start(const std::string& folder, size_t fileBytes)
{
    std::lock_guard<std::mutex> lock(g_controlLock);
    if (g_users > 0) {
        ++g_users;
        return true;
    }
    InitialiseSlots();
    g_path = folder + "\\" + kFileName;
    g_olderPath = folder + "\\" + kOlderFileName;
    g_fileBytes = fileBytes < 256 ? 256 : fileBytes;
    if (!OpenFile()) {
        return false;
    }
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_thread = g_stopEvent ? CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr) : nullptr;
    if (!g_thread) {
        if (g_stopEvent) {
            CloseHandle(g_stopEvent);
            g_stopEvent = nullptr;
        }
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
        return false;
    }
    g_users = 1;
    g_running = true;
    return true;
}

void Stop()
{
    std::lock_guard<std::mutex> lock(g_controlLock);
    if (g_users == 0 || --g_users > 0) {
        return;
    }
    g_running = false;
    SetEvent(g_stopEvent);
    // Documented unbounded only by the disk: the thread writes at most one
    // queue of lines and ends.
    WaitForSingleObject(g_thread, INFINITE);
    CloseHandle(g_thread);
    CloseHandle(g_stopEvent);
    g_thread = g_stopEvent = nullptr;
    CloseHandle(g_file);
    g_file = INVALID_HANDLE_VALUE;
}

bool IsRunning()
{
    return g_running.load();
}

void Line(const char* text)
{
    if (!g_running.load(std::memory_order_relaxed)) {
        return;
    }
    size_t position = g_enqueue.load(std::memory_order_relaxed);
    for (;;) {
        Slot& slot = g_slots[position % kSlots];
        const size_t turn = slot.turn.load(std::memory_order_acquire);
        if (turn == position) {
            if (g_enqueue.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                const size_t length = strnlen(text, kLineBytes - 1);
                std::memcpy(slot.text, text, length);
                slot.text[length] = '\0';
                slot.turn.store(position + 1, std::memory_order_release);
                return;
            }
        } else if (turn < position) {
            // The writer has not emptied this slot yet: the queue is full.
            ++g_dropped;
            return;
        } else {
            position = g_enqueue.load(std::memory_order_relaxed);
        }
    }
}

uint64_t DroppedLines()
{
    return g_dropped.load();
}

}  // namespace TraceFile
