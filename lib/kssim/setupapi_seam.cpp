// The SetupAPI side of the seam: device-interface enumeration over the
// simulated devices, with the argument checks and error codes of setupapi.dll.
//
// A device-information set is a snapshot of the interfaces of the asked
// class at the time it is made; the devices behind it are live (a device
// removed later reports its interfaces as inactive). Every simulated device
// is a device of the media setup class with one interface, its device
// path, registered in each of its interface classes.

#include "ks_system.h"
#include "model_state.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <devguid.h>

namespace {

using namespace kssim::detail;

HandleEntry* FindSet(Model& model, HDEVINFO set)
{
    HandleEntry* entry = FindHandle(model, set);
    return entry && entry->kind == HandleKind::DeviceInfoSet ? entry : nullptr;
}

// The member an SP_DEVICE_INTERFACE_DATA from this set stands for.
const SetMember* MemberOf(const HandleEntry& set, const SP_DEVICE_INTERFACE_DATA* data)
{
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set.members.size()) {
        return nullptr;
    }
    return &set.members[data->Reserved - 1];
}

DWORD InterfaceFlags(const Device& device)
{
    return device.removed ? 0 : SPINT_ACTIVE;
}

void FillDeviceInfo(const Device& device, SP_DEVINFO_DATA* info)
{
    info->ClassGuid = GUID_DEVCLASS_MEDIA;
    info->DevInst = device.devInst;
    info->Reserved = device.devInst;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

namespace KsSystem {

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR /*enumerator*/, HWND /*parent*/, DWORD flags)
{
    EnsureModelLoaded();
    try {
        Model& model = TheModel();
        ModelLock lock(model);
        if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        auto entry = std::make_unique<HandleEntry>();
        entry->kind = HandleKind::DeviceInfoSet;
        // Without DIGCF_DEVICEINTERFACE the class is a setup class and the
        // set holds devices without interfaces: none of ours are listed.
        if (flags & DIGCF_DEVICEINTERFACE) {
            for (const auto& device : model.devices) {
                if ((flags & DIGCF_PRESENT) && device->removed) {
                    continue;
                }
                for (const GUID& interfaceClass : device->model.interfaceClasses) {
                    if ((flags & DIGCF_ALLCLASSES) || interfaceClass == *classGuid) {
                        entry->members.push_back({device, interfaceClass});
                        if (std::find(entry->setDevices.begin(), entry->setDevices.end(), device) ==
                            entry->setDevices.end()) {
                            entry->setDevices.push_back(device);
                        }
                    }
                }
            }
        }
        HANDLE set = AddHandle(model, std::move(entry));
        if (!set) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        ++model.deviceInfoSetsMade;
        return set;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceClass,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    EnsureModelLoaded();
    Model& model = TheModel();
    ModelLock lock(model);
    HandleEntry* entry = FindSet(model, set);
    if (!entry) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!interfaceClass || !interfaceData) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (deviceInfo && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    DWORD seen = 0;
    for (size_t i = 0; i < entry->members.size(); ++i) {
        const SetMember& member = entry->members[i];
        if (member.interfaceClass != *interfaceClass ||
            (deviceInfo && member.device->devInst != deviceInfo->DevInst)) {
            continue;
        }
        if (seen++ == memberIndex) {
            interfaceData->InterfaceClassGuid = member.interfaceClass;
            interfaceData->Flags = InterfaceFlags(*member.device);
            interfaceData->Reserved = i + 1;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo)
{
    EnsureModelLoaded();
    Model& model = TheModel();
    ModelLock lock(model);
    HandleEntry* entry = FindSet(model, set);
    if (!entry) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const SetMember* member = MemberOf(*entry, interfaceData);
    if (!member) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((!detail && detailSize != 0) || (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (deviceInfo && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const std::string& path = member->device->model.devicePath;
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (deviceInfo) {
        FillDeviceInfo(*member->device, deviceInfo);
    }
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (detailSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData, const GUID* aliasClass,
                                    PSP_DEVICE_INTERFACE_DATA aliasData)
{
    EnsureModelLoaded();
    Model& model = TheModel();
    ModelLock lock(model);
    HandleEntry* entry = FindSet(model, set);
    if (!entry) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const SetMember* member = MemberOf(*entry, interfaceData);
    if (!member || !aliasClass || !aliasData) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (aliasData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const Device& device = *member->device;
    const kssim::DeviceModel& deviceModel = device.model;
    DWORD flags = 0;
    const auto alias = deviceModel.aliases.find(*aliasClass);
    if (alias != deviceModel.aliases.end()) {
        flags = alias->second;
    } else if (std::find(deviceModel.interfaceClasses.begin(), deviceModel.interfaceClasses.end(), *aliasClass) !=
               deviceModel.interfaceClasses.end()) {
        flags = SPINT_ACTIVE;  // an interface is its own alias in its own class
    } else {
        return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    }
    if (device.removed) {
        flags &= ~static_cast<DWORD>(SPINT_ACTIVE);
    }
    aliasData->InterfaceClassGuid = *aliasClass;
    aliasData->Flags = flags;
    aliasData->Reserved = interfaceData->Reserved;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, DWORD property,
                                       PDWORD propertyType, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    EnsureModelLoaded();
    Model& model = TheModel();
    ModelLock lock(model);
    HandleEntry* entry = FindSet(model, set);
    if (!entry) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!deviceInfo) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const auto device = std::find_if(entry->setDevices.begin(), entry->setDevices.end(),
                                     [&](const auto& candidate) { return candidate->devInst == deviceInfo->DevInst; });
    if (device == entry->setDevices.end()) {
        return Fail(ERROR_NO_SUCH_DEVINST);
    }
    if (property >= SPDRP_MAXIMUM_PROPERTY) {
        return Fail(ERROR_INVALID_REG_PROPERTY);
    }
    const kssim::DeviceModel& deviceModel = (*device)->model;
    const std::optional<std::string>* value = nullptr;
    if (property == SPDRP_FRIENDLYNAME) {
        value = &deviceModel.friendlyName;
    } else if (property == SPDRP_LOCATION_INFORMATION) {
        value = &deviceModel.location;
    }
    if (!value || !value->has_value()) {
        return Fail(ERROR_INVALID_DATA);  // the device has no such value
    }
    const std::string& text = **value;
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (propertyType) {
        *propertyType = REG_SZ;
    }
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (!buffer && bufferSize != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (bufferSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, text.c_str(), needed);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    EnsureModelLoaded();
    Model& model = TheModel();
    ModelLock lock(model);
    if (!FindSet(model, set)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DestroyHandle(model, set);
    return TRUE;
}

}  // namespace KsSystem
