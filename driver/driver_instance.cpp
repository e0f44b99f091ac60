// The one COM class of the library and the creation of driver objects.
#include "class_factory.h"
#include "debug_trace.h"
#include "panel_link.h"
#include "telvara_driver.h"

#include <exception>

namespace {

CUnknown* CreateDriverInstance(IUnknown* pUnkOuter, HRESULT* /*phr*/)
{
    PanelLinkDriverCreated();
    // Nothing may leave through COM: a construction that runs out of memory
    // is reported as no object (E_OUTOFMEMORY to the host).
    try {
        return new CTelvaraDriver(pUnkOuter);
    } catch (const std::exception& e) {
        DebugTrace("CreateDriverInstance: %s\n", e.what());
        PanelLinkDriverDestroyed();
        return nullptr;
    }
}

}  // namespace

const ClassFactoryEntry g_ClassFactoryEntries[] = {
    {L"TELVARA", &CLSID_TelvaraDriver, CreateDriverInstance, nullptr},
};
const int g_ClassFactoryEntryCount = sizeof g_ClassFactoryEntries / sizeof g_ClassFactoryEntries[0];
