#include "kssim_test_support.h"


#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kssimtest {

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

namespace {

kssim::AudioRange WideRange(ULONG channels)
{
    kssim::AudioRange range;
    range.maximumChannels = channels;
    range.minimumBitsPerSample = 8;
    range.maximumBitsPerSample = 32;
    range.minimumSampleFrequency = 8000;
    range.maximumSampleFrequency = 192000;
    return range;
}

}  // namespace

kssim::DeviceModel WideRenderDevice(const std::string& name, const std::string& path)
{
    kssim::DeviceModel device = kssim::RenderDevice(name, path);
    device.pins[0].ranges = {WideRange(8)};
    return device;
}

kssim::DeviceModel WideCaptureDevice(const std::string& name, const std::string& path)
{
    kssim::DeviceModel device = kssim::CaptureDevice(name, path);
    device.pins[0].ranges = {WideRange(8)};
    return device;
}

HANDLE OpenFilter(const std::string& path)
{
    HANDLE filter = KsSystem::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(filter, INVALID_HANDLE_VALUE) << "CreateFileA " << path << " error " << GetLastError();
    return filter;
}

WAVEFORMATEX PcmFormat(WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.cbSize = 0;
    return format;
}

WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, DWORD rate, WORD bits, WORD validBits)
{
    WAVEFORMATEXTENSIBLE format{};
    format.Format = PcmFormat(channels, rate, bits);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = validBits;
    format.dwChannelMask = channels == 2 ? 3 : (channels < 2 ? 4 : 0x33);
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

std::vector<uint8_t> ConnectBlock(ULONG pinId, const WAVEFORMATEX& format, bool looped)
{
    const size_t waveSize = format.wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + format.cbSize;
    std::vector<uint8_t> block(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + waveSize);
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    KSDATAFORMAT dataFormat{};
    dataFormat.FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) + waveSize);
    dataFormat.SampleSize = static_cast<ULONG>(format.nChannels * format.wBitsPerSample / 8);
    dataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    dataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    dataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(block.data(), &connect, sizeof connect);
    std::memcpy(block.data() + sizeof connect, &dataFormat, sizeof dataFormat);
    std::memcpy(block.data() + sizeof connect + sizeof dataFormat, &format, waveSize);
    return block;
}

DWORD CreatePin(HANDLE filter, std::vector<uint8_t>& block, HANDLE* pin)
{
    return KsSystem::KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(block.data()), GENERIC_READ | GENERIC_WRITE,
                                 pin);
}

HANDLE OpenPin(HANDLE filter, ULONG pinId, const WAVEFORMATEX& format, bool looped)
{
    std::vector<uint8_t> block = ConnectBlock(pinId, format, looped);
    HANDLE pin = nullptr;
    const DWORD result = CreatePin(filter, block, &pin);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
    return result == ERROR_SUCCESS ? pin : nullptr;
}

IoResult Property(HANDLE handle, const void* request, DWORD requestSize, void* buffer, DWORD bufferSize)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
    IoResult result;
    result.bytes = 0xDEADBEEF;
    result.ok = KsSystem::DeviceIoControl(handle, IOCTL_KS_PROPERTY, const_cast<void*>(request), requestSize, buffer,
                                          bufferSize, &result.bytes, &overlapped);
    result.error = result.ok ? ERROR_SUCCESS : GetLastError();
    if (!result.ok && result.error == ERROR_IO_PENDING) {
        EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
        DWORD bytes = 0;
        result.ok = GetOverlappedResult(handle, &overlapped, &bytes, FALSE);
        result.error = result.ok ? ERROR_SUCCESS : GetLastError();
        result.bytes = static_cast<DWORD>(overlapped.InternalHigh);
    }
    CloseHandle(event);
    return result;
}

IoResult PinProperty(HANDLE filter, ULONG pinId, ULONG id, void* buffer, DWORD bufferSize)
{
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    return Property(filter, &request, sizeof request, buffer, bufferSize);
}

IoResult SetState(HANDLE pin, KSSTATE state)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    return Property(pin, &request, sizeof request, &state, sizeof state);
}

KSSTATE GetState(HANDLE pin)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_GET;
    ULONG state = 0xFFFF;
    const IoResult result = Property(pin, &request, sizeof request, &state, sizeof state);
    EXPECT_TRUE(result.ok) << result.error;
    return static_cast<KSSTATE>(state);
}

StreamRequest::StreamRequest(size_t bytes) : data(bytes)
{
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    header.Size = sizeof(KSSTREAM_HEADER);
    header.FrameExtent = static_cast<ULONG>(bytes);
    header.Data = data.data();
}

StreamRequest::~StreamRequest()
{
    CloseHandle(event);
}

DWORD StreamRequest::Write(HANDLE pin)
{
    ResetEvent(event);
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    header.DataUsed = header.FrameExtent;
    DWORD bytes = 0;
    const BOOL ok = KsSystem::DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, header.Size, &bytes,
                                              &overlapped);
    return ok ? ERROR_SUCCESS : GetLastError();
}

DWORD StreamRequest::Read(HANDLE pin)
{
    ResetEvent(event);
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    header.DataUsed = 0;
    DWORD bytes = 0;
    const BOOL ok = KsSystem::DeviceIoControl(pin, IOCTL_KS_READ_STREAM, nullptr, 0, &header, header.Size, &bytes,
                                              &overlapped);
    return ok ? ERROR_SUCCESS : GetLastError();
}

bool StreamRequest::Done(DWORD timeoutMs) const
{
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

DWORD StreamRequest::Result() const
{
    DWORD bytes = 0;
    // The handle argument is only used to wait, which a completed request never does.
    OVERLAPPED copy = overlapped;
    return GetOverlappedResult(event, &copy, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

uint16_t Sample16(const std::vector<uint8_t>& data, size_t index)
{
    return static_cast<uint16_t>(data[2 * index] | (data[2 * index + 1] << 8));
}

namespace {

void DeleteTree(const std::string& folder)
{
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(folder + name + "\\");
            } else {
                DeleteFileA((folder + name).c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// The folders TempFolder made, removed when the program ends.
struct TempFolders {
    ~TempFolders()
    {
        for (const std::string& folder : folders) {
            DeleteTree(folder);
        }
    }
    std::vector<std::string> folders;
};

}  // namespace

std::string TempFolder()
{
    static TempFolders made;
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + "kssim-" + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(made.folders.size() + 1) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    made.folders.push_back(folder);
    return folder;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot write " + path);
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::vector<uint8_t> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty()) {
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

}  // namespace kssimtest
