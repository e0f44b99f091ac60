#include "asio_audio_device.h"

#include "debug_trace.h"
#include "device_texts.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

const GUID kRenderCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const GUID kCaptureCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};

// Only the blank (0x20) is trimmed, at both ends.
std::string TrimBlanks(const char* name)
{
    std::string text(name);
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

template <size_t N>
void CopyName(char (&field)[N], const std::string& name)
{
    std::snprintf(field, N, "%s", name.c_str());
}

// The scanned part of one direction: what the panel shows and the opens match.
template <typename Record, typename Filter>
Record ScannedRecord(Filter* filter, const KSDATARANGE_AUDIO& range, const std::string& uniqueName,
                     double sampleRate, int32_t bitsPerSample)
{
    Record record{};
    record.dataRange = range;
    record.sampleRate = static_cast<int32_t>(sampleRate);
    record.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
    record.channels = static_cast<uint16_t>(range.MaximumChannels);
    CopyName(record.friendlyName, uniqueName);
    record.active = false;
    record.filter = filter;
    return record;
}

}  // namespace

bool AsioAudioDevice::EnumerateFilters()
{
    EnumerateRenderFilters();
    EnumerateCaptureFilters();
    return true;
}

int32_t AsioAudioDevice::EnumerateRenderFilters()
{
    DropScannedParts(true);
    return Enumerate(renderEnumerator, KsFilterRender, kRenderCategories);
}

int32_t AsioAudioDevice::EnumerateCaptureFilters()
{
    // Open capture pins belong to the filters about to be replaced.
    if (!captureTable.empty()) {
        CloseCaptureDevices();
    }
    DropScannedParts(false);
    return Enumerate(captureEnumerator, KsFilterCapture, kCaptureCategories);
}

int32_t AsioAudioDevice::Enumerate(CKsEnumFilters*& enumerator, KsFilterKind kind, const GUID* categories)
{
    HRESULT hr = S_OK;
    if (!enumerator) {
        enumerator = new (std::nothrow) CKsEnumFilters(&hr);
        if (!enumerator || FAILED(hr)) {
            delete enumerator;
            enumerator = nullptr;
            hr = FAILED(hr) ? hr : E_OUTOFMEMORY;
            DebugTrace(DeviceTexts::kEnumerationError, DeviceTexts::kEnumeratorAllocationFailed,
                       static_cast<unsigned>(hr));
            return hr;
        }
    }
    hr = enumerator->EnumFilters(kind, categories);
    if (FAILED(hr)) {
        DebugTrace(DeviceTexts::kEnumerationError, DeviceTexts::kEnumFiltersFailed, static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

void AsioAudioDevice::DropScannedParts(bool render)
{
    // A refresh deletes the filters of that direction: no scanned part may
    // keep pointing at one.
    if (render) {
        scanRenderFilter = nullptr;
    } else {
        scanCaptureFilter = nullptr;
    }
    for (auto it = deviceTable.begin(); it != deviceTable.end();) {
        if (render) {
            it->second.render = RenderDeviceRecord{};
        } else {
            it->second.capture = CaptureDeviceRecord{};
        }
        if (!it->second.render.filter && !it->second.capture.filter) {
            it = deviceTable.erase(it);
        } else {
            ++it;
        }
    }
}

void AsioAudioDevice::ScanRenderDevices()
{
    deviceTable.clear();
    if (EnumerateRenderFilters() != 0) {
        return;
    }
    for (auto* pItem = renderEnumerator->m_Filters.m_pHead; pItem; pItem = pItem->pNext) {
        auto* filter = static_cast<CKsAudRenFilter*>(pItem->pData);
        scanRenderFilter = filter;
        if (filter->m_szFriendlyName[0] == '\0') {
            continue;
        }
        const std::string name = TrimBlanks(filter->m_szFriendlyName);
        const KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange();
        if (!range) {
            continue;
        }
        const std::string uniqueName = MakeUniqueName(deviceTable, name);
        DeviceEntry& entry = deviceTable[uniqueName];
        entry.render =
            ScannedRecord<RenderDeviceRecord>(filter, *range, uniqueName, sampleRate, bitsPerSample);
        entry.capture = CaptureDeviceRecord{};
    }
    scanRenderFilter = nullptr;
}

void AsioAudioDevice::ScanCaptureDevices()
{
    if (EnumerateCaptureFilters() != 0) {
        return;
    }
    // Names are unique among the capture devices of this scan; a render
    // device of the same unique name shares its entry.
    DeviceTable found;
    for (auto* pItem = captureEnumerator->m_Filters.m_pHead; pItem; pItem = pItem->pNext) {
        auto* filter = static_cast<CKsAudCapFilter*>(pItem->pData);
        scanCaptureFilter = filter;
        if (filter->m_szFriendlyName[0] == '\0') {
            continue;
        }
        const std::string name = TrimBlanks(filter->m_szFriendlyName);
        const KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange();
        if (!range) {
            continue;
        }
        const std::string uniqueName = MakeUniqueName(found, name);
        DeviceEntry& entry = deviceTable[uniqueName];
        entry.capture =
            ScannedRecord<CaptureDeviceRecord>(filter, *range, uniqueName, sampleRate, bitsPerSample);
        found[uniqueName] = entry;
    }
    scanCaptureFilter = nullptr;
}

std::string AsioAudioDevice::MakeUniqueName(const DeviceTable& table, const std::string& name)
{
    if (!table.count(name)) {
        return name;
    }
    char candidate[1000];
    for (int counter = 1;; ++counter) {
        std::snprintf(candidate, sizeof candidate, "%d_%s", counter, name.c_str());
        if (!table.count(candidate)) {
            return candidate;
        }
    }
}
