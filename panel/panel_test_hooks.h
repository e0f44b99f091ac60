#pragma once

// Only in the test build of the panel (TELVARA_PANEL_TESTING): a way to make
// the running panel fault, and an end of the unhandled-exception chain that
// ends the process with a known code instead of starting a debugger.

// The registered message that makes the panel fault: posted to its window.
inline constexpr const char* kPanelTestFaultMessage = "TelvaraPanelTestFault";
// Exit code after the crash report writer has handed an access violation on.
inline constexpr unsigned kPanelTestFaultExitCode = 0x600D;

// Constructed before the crash report writer, so the writer chains to it.
struct PanelTestFaultChain {
    PanelTestFaultChain();
};

// Hooks the GUI thread's message retrieval for the fault message. The hook
// runs as a system callback, where faults are swallowed (by Wine, and by
// 64-bit Windows), so it only asks the loop to end; the program faults after
// it, in its own code (FaultIfAsked).
void InstallPanelTestFaultHook();
// Faults when the fault message came.
void FaultIfAsked();
