#include "settings_file.h"

#include "asio_audio_device.h"
#include "device_key.h"

AsioAudioDevice::AsioAudioDevice(SettingsFailureAction onSettingsFailure)
    : sampleRate(44100.0),
      bitsPerSample(16),
      settings(nullptr),
      inputChannels(0),
      outputChannels(0),
      captureDeviceCount(0),
      renderDeviceCount(0),
      activeRenderCount(0),
      activeCaptureCount(0),
      blockFrames(512),
      renderEnumerator(nullptr),
      captureEnumerator(nullptr),
      scanRenderFilter(nullptr),
      scanCaptureFilter(nullptr),
      m_settingsFailureAction(onSettingsFailure)
{
    ApplySettings();
}

AsioAudioDevice::~AsioAudioDevice()
{
    // Pins first: a capture pin belongs to its filter, which the capture
    // enumerator deletes.
    CloseCaptureDevices();
    CloseRenderDevices();
    delete captureEnumerator;
    delete renderEnumerator;
}

void AsioAudioDevice::ApplySettings()
{
    settings = GetSettingsFile(m_settingsFailureAction).LoadSettings();
    blockFrames = settings->blockFrames;
    sampleRate = static_cast<double>(settings->sampleRate);
    bitsPerSample = settings->bitsPerSample;
}

RenderDeviceRecord* AsioAudioDevice::GetRenderDevice(uint16_t index)
{
    if (renderTable.empty()) {
        return nullptr;
    }
    const auto it = renderTable.find(DeviceKey(index).View());
    return it == renderTable.end() ? nullptr : &it->second;
}

CaptureDeviceRecord* AsioAudioDevice::GetCaptureDevice(uint16_t index)
{
    if (captureTable.empty()) {
        return nullptr;
    }
    const auto it = captureTable.find(DeviceKey(index).View());
    return it == captureTable.end() ? nullptr : &it->second;
}
