#pragma once

#include <string>

// The driver's side of the control panel program: starting it, bringing it
// forward and closing it. The panel lives beside the driver library.
//
// A process keeps count of its driver objects. The panel it starts for its
// host is its own: only that panel is closed, and only when the last driver
// object of the process goes. A panel the user started, or one another host
// started, is never closed by this process.

// A top-level window of class "telvarapanel" exists.
bool IsPanelRunning();
// The panel program beside this module: "<folder>\telvarapanel.exe".
std::string PanelProgramPath();
// A driver object is being created: counts it and, unless a panel runs (or
// the one this process started is still starting), starts the panel hidden
// with this (host) process id as its only argument. Harmless when the
// program is not installed.
void PanelLinkDriverCreated();
// A driver object went (or its creation failed after PanelLinkDriverCreated):
// when it was the last of this process, asks the panel this process started
// to close, unless the user has its window open. Waits at most a few
// seconds for a panel that does not answer.
void PanelLinkDriverDestroyed();
// The host asked for the control panel: brings the running panel's window
// forward (shown, restored, in front), or starts the panel without
// arguments, which shows it.
void ShowPanel();
// The process's message-only window "Message-Only Window", made once.
bool CreateMessageOnlyWindow();
