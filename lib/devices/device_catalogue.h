#pragma once

#include "directks.h"

#include <cstdint>
#include <map>
#include <string>

// One direction of a scanned device: the filter it was found on and what it
// claims. No pin, no buffers: opening is the device set's business.
struct ScannedDevice {
    CKsAudFilter* filter = nullptr;    // owned by the catalogue's enumerator of that direction
    KSDATARANGE_AUDIO dataRange = {};  // the filter's audio data range, copied
    uint16_t channels = 0;             // the range's maximum
    char friendlyName[500] = {};       // the unique name
    // Every instance of the direction's streaming pins was taken when the
    // scan asked: another program (or this one) holds the device.
    bool allInstancesTaken = false;
};

// One scanned device name: the part of a direction the device lacks is empty.
struct DeviceEntry {
    ScannedDevice render;
    ScannedDevice capture;
};

// Scanned devices by unique name, in byte-wise order.
using DeviceTable = std::map<std::string, DeviceEntry>;

// The sound devices of the machine as both programs name them: the
// kernel-streaming render and capture filters, each under its friendly name
// trimmed of blanks, the second and later device of one name in a direction
// as "1_name", "2_name", ... The driver opens devices from it; the panel
// lists it.
//
// A refresh of a direction replaces its filter objects; capture pins belong
// to their filters, so the capture side is refreshed only while no capture
// device is open. One thread uses it at a time.
class CDeviceCatalogue {
public:
    CDeviceCatalogue();
    ~CDeviceCatalogue();
    CDeviceCatalogue(const CDeviceCatalogue&) = delete;
    CDeviceCatalogue& operator=(const CDeviceCatalogue&) = delete;

    // Refreshes both enumerators; always true (failures are traced).
    bool EnumerateFilters();
    // 0, or the failure of the enumeration (traced).
    int32_t EnumerateRenderFilters();
    int32_t EnumerateCaptureFilters();
    // The render scan empties the table and fills the render parts; the
    // capture scan replaces the capture parts and keeps the render parts.
    void ScanRenderDevices();
    void ScanCaptureDevices();
    const DeviceTable& Devices() const { return m_devices; }

    // name itself, or "1_name", "2_name", ... whichever is not yet a key.
    static std::string MakeUniqueName(const DeviceTable& table, const std::string& name);

private:
    int32_t Enumerate(CKsEnumFilters*& enumerator, KsFilterKind kind, const GUID* categories);
    // Forgets the scanned parts of a direction whose filters are replaced.
    void DropScannedParts(bool render);

    DeviceTable m_devices;
    CKsEnumFilters* m_renderEnumerator = nullptr;
    CKsEnumFilters* m_captureEnumerator = nullptr;
};
