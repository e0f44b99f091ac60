#include "stream_request_watch.h"

#include "ks_system.h"

#include <atomic>
#include <mutex>
#include <stdexcept>

// The link wraps the seam's DeviceIoControl (--wrap): every call the
// kernel-streaming classes make comes here first, the simulation's own
// function is reached as __real_.
#define SEAM_DEVICE_IO_CONTROL _ZN8KsSystem15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED
#define WRAPPED(name) WRAPPED_(__wrap_, name)
#define REAL(name) WRAPPED_(__real_, name)
#define WRAPPED_(prefix, name) WRAPPED__(prefix, name)
#define WRAPPED__(prefix, name) prefix##name

extern "C" BOOL REAL(SEAM_DEVICE_IO_CONTROL)(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize,
                                             LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                                             LPOVERLAPPED overlapped);

namespace {

struct WatchState {
    std::mutex lock;
    bool active = false;
    std::vector<SeenRequest> seen;
    int failCountdown = -1;  // requests to let pass before one fails; -1: none
    DWORD failError = ERROR_GEN_FAILURE;
    uint32_t readLimit = 0;
};

WatchState& State()
{
    static WatchState state;
    return state;
}

}  // namespace

extern "C" BOOL WRAPPED(SEAM_DEVICE_IO_CONTROL)(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize,
                                                LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                                                LPOVERLAPPED overlapped)
{
    const bool stream = code == IOCTL_KS_WRITE_STREAM || code == IOCTL_KS_READ_STREAM;
    if (stream && outBuffer && outSize >= sizeof(KSSTREAM_HEADER)) {
        WatchState& state = State();
        std::unique_lock<std::mutex> lock(state.lock);
        if (state.active) {
            auto* header = static_cast<KSSTREAM_HEADER*>(outBuffer);
            if (code == IOCTL_KS_READ_STREAM && state.readLimit && header->FrameExtent > state.readLimit) {
                header->FrameExtent = state.readLimit;
            }
            state.seen.push_back({handle, code, *header, header, overlapped, overlapped ? overlapped->hEvent : nullptr});
            if (state.failCountdown == 0) {
                state.failCountdown = -1;
                const DWORD error = state.failError;
                lock.unlock();
                if (bytesReturned) {
                    *bytesReturned = 0;
                }
                SetLastError(error);
                return FALSE;
            }
            if (state.failCountdown > 0) {
                --state.failCountdown;
            }
        }
    }
    return REAL(SEAM_DEVICE_IO_CONTROL)(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                                        overlapped);
}

StreamRequestWatch::StreamRequestWatch()
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    if (state.active) {
        throw std::logic_error("one StreamRequestWatch at a time");
    }
    state.active = true;
    state.seen.clear();
    state.failCountdown = -1;
    state.readLimit = 0;
}

StreamRequestWatch::~StreamRequestWatch()
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.active = false;
    state.seen.clear();
    state.failCountdown = -1;
    state.readLimit = 0;
}

std::vector<SeenRequest> StreamRequestWatch::Seen() const
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    return state.seen;
}

void StreamRequestWatch::Clear()
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.seen.clear();
}

void StreamRequestWatch::FailRequest(int countFromNow, DWORD error)
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.failCountdown = countFromNow;
    state.failError = error;
}

void StreamRequestWatch::ShortenReadsTo(uint32_t bytes)
{
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.readLimit = bytes;
}
