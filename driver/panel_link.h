#pragma once

#include <string>

// The driver's side of the control panel program: starting it, finding it
// and closing it. The panel lives beside the driver library.

// A top-level window of class "telvarapanel" exists.
bool IsPanelRunning();
// The panel program beside this module: "<folder>\telvarapanel.exe".
std::string PanelProgramPath();
// At driver creation: starts the panel hidden with this (host) process id as
// its only argument, unless it runs already. Harmless when the program is
// not installed.
void StartPanelForHost();
// The host asked for the control panel: starts it visible, without
// arguments, unless it runs already.
void ShowPanel();
// At driver destruction: asks a running panel to close.
void ClosePanelWindow();
// The process's message-only window "Message-Only Window", made once.
bool CreateMessageOnlyWindow();
