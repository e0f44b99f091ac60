#include "device_catalogue.h"

#include "debug_trace.h"
#include "device_texts.h"
#include "pin_instances.h"

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
ScannedDevice Scanned(CKsAudFilter* filter, const KSDATARANGE_AUDIO& range, const std::string& uniqueName,
                      StreamDirection direction)
{
    ScannedDevice device{};
    device.filter = filter;
    device.dataRange = range;
    device.channels = static_cast<uint16_t>(range.MaximumChannels);
    CopyName(device.friendlyName, uniqueName);
    device.allInstancesTaken = AllInstancesTaken(*filter, direction);
    return device;
}

}  // namespace

CDeviceCatalogue::CDeviceCatalogue() = default;

CDeviceCatalogue::~CDeviceCatalogue()
{
    delete m_captureEnumerator;
    delete m_renderEnumerator;
}

bool CDeviceCatalogue::EnumerateFilters()
{
    EnumerateRenderFilters();
    EnumerateCaptureFilters();
    return true;
}

int32_t CDeviceCatalogue::EnumerateRenderFilters()
{
    DropScannedParts(true);
    return Enumerate(m_renderEnumerator, KsFilterRender, kRenderCategories);
}

int32_t CDeviceCatalogue::EnumerateCaptureFilters()
{
    DropScannedParts(false);
    return Enumerate(m_captureEnumerator, KsFilterCapture, kCaptureCategories);
}

int32_t CDeviceCatalogue::Enumerate(CKsEnumFilters*& enumerator, KsFilterKind kind, const GUID* categories)
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

void CDeviceCatalogue::DropScannedParts(bool render)
{
    // A refresh deletes the filters of that direction: no scanned part may
    // keep pointing at one.
    for (auto it = m_devices.begin(); it != m_devices.end();) {
        if (render) {
            it->second.render = ScannedDevice{};
        } else {
            it->second.capture = ScannedDevice{};
        }
        if (!it->second.render.filter && !it->second.capture.filter) {
            it = m_devices.erase(it);
        } else {
            ++it;
        }
    }
}

// Every filter of the enumerator that has a name and an audio data range,
// under its name trimmed of blanks, with that range.
template <typename Filter, typename Visit>
void ForEachListedFilter(CKsEnumFilters& enumerator, Visit visit)
{
    for (auto* pItem = enumerator.m_Filters.m_pHead; pItem; pItem = pItem->pNext) {
        auto* filter = static_cast<Filter*>(pItem->pData);
        if (filter->m_szFriendlyName[0] == '\0') {
            continue;
        }
        if (const KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange()) {
            visit(filter, TrimBlanks(filter->m_szFriendlyName), *range);
        }
    }
}

void CDeviceCatalogue::ScanRenderDevices()
{
    m_devices.clear();
    if (EnumerateRenderFilters() != 0) {
        return;
    }
    ForEachListedFilter<CKsAudRenFilter>(
        *m_renderEnumerator, [this](CKsAudFilter* filter, const std::string& name, const KSDATARANGE_AUDIO& range) {
            const std::string uniqueName = MakeUniqueName(m_devices, name);
            DeviceEntry& entry = m_devices[uniqueName];
            entry.render = Scanned(filter, range, uniqueName, StreamDirection::Render);
            entry.capture = ScannedDevice{};
        });
}

void CDeviceCatalogue::ScanCaptureDevices()
{
    if (EnumerateCaptureFilters() != 0) {
        return;
    }
    // Names are unique among the capture devices of this scan; a render
    // device of the same unique name shares its entry.
    DeviceTable found;
    ForEachListedFilter<CKsAudCapFilter>(
        *m_captureEnumerator, [&](CKsAudFilter* filter, const std::string& name, const KSDATARANGE_AUDIO& range) {
            const std::string uniqueName = MakeUniqueName(found, name);
            DeviceEntry& entry = m_devices[uniqueName];
            entry.capture = Scanned(filter, range, uniqueName, StreamDirection::Capture);
            found[uniqueName] = entry;
        });
}

std::string CDeviceCatalogue::MakeUniqueName(const DeviceTable& table, const std::string& name)
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
