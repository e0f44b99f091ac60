#include "driver_module.h"

HMODULE DriverModule(IASIO* driver)
{
    if (!driver) {
        return nullptr;
    }
    void* const* methods = *reinterpret_cast<void* const* const*>(driver);
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(methods[0]), &module)) {
        return nullptr;
    }
    return module;
}
