#pragma once

#include "device_records.h"
#include "render_block.h"

#include <cstdint>
#include <string>

// settings_file.h (POCO, winsock2.h) must come before windows.h; users of
// the constructor include it themselves.
enum class SettingsFailureAction;

// The driver's view of the WDM hardware: scans the kernel-streaming render
// and capture filters, names every device uniquely, opens the devices the
// settings name, and moves the blocks of the stream through their pins.
//
// No lock: the host's thread opens, closes and changes states; the engine
// thread writes and reads only while the driver's stream is started.
class AsioAudioDevice {
public:
    // Loads the settings. The driver passes Continue (it lives inside the
    // user's audio program), the panel ExitProcess.
    explicit AsioAudioDevice(SettingsFailureAction onSettingsFailure);
    ~AsioAudioDevice();
    AsioAudioDevice(const AsioAudioDevice&) = delete;
    AsioAudioDevice& operator=(const AsioAudioDevice&) = delete;

    void ApplySettings();

    // Refreshes both enumerators; always true (failures are traced).
    bool EnumerateFilters();
    // 0, or the failure of the enumeration (traced).
    int32_t EnumerateRenderFilters();
    int32_t EnumerateCaptureFilters();
    // Rebuild deviceTable from the hardware; the render scan empties it first.
    void ScanRenderDevices();
    void ScanCaptureDevices();
    // name itself, or "1_name", "2_name", ... whichever is not yet a key.
    static std::string MakeUniqueName(const DeviceTable& table, const std::string& name);

    // Open the configured devices of a direction (rescanning first, and
    // closing what that direction still has open); true when at least one
    // channel was opened.
    bool OpenRenderDevices();
    bool OpenCaptureDevices();
    void CloseRenderDevices();
    void CloseCaptureDevices();
    bool HasRenderDevices() const { return !renderTable.empty(); }
    bool HasCaptureDevices() const { return !captureTable.empty(); }

    // Pin creation with the configured format and its fallbacks; null when
    // the device refuses every attempt.
    CKsAudPin* OpenRenderPin(CKsAudRenFilter* filter, uint16_t channels, int32_t rate, uint16_t bits);
    CKsAudPin* OpenCapturePin(CKsAudCapFilter* filter, uint16_t channels, int32_t rate, uint16_t bits);

    // State requests to every open pin of a direction; `active` records each
    // outcome. Render always answers 0, capture the last request's result.
    int32_t SetRenderState(KSSTATE state);
    int32_t SetCaptureState(KSSTATE state);
    int32_t CountActiveRenderDevices();
    int32_t CountActiveCaptureDevices();
    // The longest buffering that the open pins of a direction report, in
    // frames at the current rate; pins that do not report count as 0.
    int32_t LongestPinLatencyFrames(bool render);

    // The open record of that index, or null. The table keeps it.
    RenderDeviceRecord* GetRenderDevice(uint16_t index);
    CaptureDeviceRecord* GetCaptureDevice(uint16_t index);

    // Queues one block on its device: 0 when every request is queued and the
    // block's completion event will be signalled once the device has taken
    // it; 1 when the device is missing or not active (nothing written);
    // negative when the write failed, with nothing left queued.
    int32_t WriteRenderDevice(RenderBlock& block);
    int32_t PinWriteData(CKsAudPin* pin, RenderStream* stream, const int16_t* data, int32_t byteCount,
                         HANDLE completionEvent, StreamRequest** streamHeadersOut);

    // Reads one block of the device's 16-bit frames into buffer, waiting at
    // most timeoutMs: 0 when the block is in buffer; kCaptureReadLate when
    // the read missed its wait (nothing delivered: the pin may still write
    // into buffer until the next read or TakeBackCaptureReads takes it back);
    // negative when it failed. E_FAIL for an index without an open device.
    static constexpr int32_t kCaptureReadLate = 1;
    int32_t ReadCaptureDevice(uint16_t index, void* buffer, uint32_t bytes, uint32_t timeoutMs);
    // Takes back every read that outlived its wait, so that its buffer may be
    // freed; false when a pin keeps one (its buffer must then be kept).
    bool TakeBackCaptureReads();
    int32_t PinReadData(CKsAudPin* pin, CaptureStream* stream, uint16_t index, void* buffer, uint32_t bytes,
                        uint32_t timeoutMs);

    DeviceTable deviceTable;
    double sampleRate;
    int32_t bitsPerSample;
    DriverSettings* settings;            // the process-wide settings; not owned
    uint16_t inputChannels;
    uint16_t outputChannels;
    uint16_t captureDeviceCount;
    uint16_t renderDeviceCount;
    uint16_t activeRenderCount;
    uint16_t activeCaptureCount;
    CaptureDeviceTable captureTable;
    RenderDeviceTable renderTable;
    int32_t blockFrames;
    CKsEnumFilters* renderEnumerator;
    CKsEnumFilters* captureEnumerator;
    CKsAudRenFilter* scanRenderFilter;   // the filter a scan is working on
    CKsAudCapFilter* scanCaptureFilter;

private:
    int32_t Enumerate(CKsEnumFilters*& enumerator, KsFilterKind kind, const GUID* categories);
    // Forgets the scanned parts of a direction whose filters are replaced.
    void DropScannedParts(bool render);
    void OpenRenderDevice(const std::string& name, const DeviceEntry& entry, const DeviceSettings& device);
    void OpenCaptureDevice(const std::string& name, const DeviceEntry& entry, const DeviceSettings& device);
    // Collects a read of that device that outlived its wait; false when the
    // pin does not give it back.
    bool TakeBackRead(CKsAudPin* pin, CaptureStream* stream, uint16_t index);

    SettingsFailureAction m_settingsFailureAction;
};
