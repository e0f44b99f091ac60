// The one COM class of the library and the creation of driver objects.
#include "class_factory.h"
#include "panel_link.h"
#include "telvara_driver.h"

#include <new>

namespace {

CUnknown* CreateDriverInstance(IUnknown* pUnkOuter, HRESULT* /*phr*/)
{
    StartPanelForHost();
    return new (std::nothrow) CTelvaraDriver(pUnkOuter);
}

}  // namespace

const ClassFactoryEntry g_ClassFactoryEntries[] = {
    {L"TELVARA", &CLSID_TelvaraDriver, CreateDriverInstance, nullptr},
};
const int g_ClassFactoryEntryCount = sizeof g_ClassFactoryEntries / sizeof g_ClassFactoryEntries[0];
