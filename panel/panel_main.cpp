// telvarapanel.exe: the program's entry and its crash report writer. The
// build-time links come from CMake (TELVARA_PANEL_* definitions).
#include "panel_app.h"

#include "crash_report_writer.h"

#include <windows.h>

#ifdef TELVARA_PANEL_TESTING
#include "panel_test_hooks.h"
// Before the writer: the end of the filter chain in the test build.
PanelTestFaultChain g_testFaultChain;
#endif

// Installed while the program's globals are constructed, before anything else
// of the panel runs; puts the previous filter back at exit.
CCrashReportWriter g_crashReportWriter;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
#ifdef TELVARA_PANEL_TESTING
    InstallPanelTestFaultHook();
#endif
    const PanelLinks links{TELVARA_PANEL_WEB_SITE, TELVARA_PANEL_USAGE_ENDPOINT, TELVARA_PANEL_SITE_ID};
    CQuorvexApp app(links);
    const int exitCode = app.Run();
#ifdef TELVARA_PANEL_TESTING
    FaultIfAsked();
#endif
    return exitCode;
}
