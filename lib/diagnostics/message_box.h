#pragma once

// Every message box of the system goes through here, so that a test can answer
// boxes without a desktop (a modal box would block a headless run).
using MessageBoxHandler = int (*)(const char* text, const char* caption, unsigned int type);

// Shows the box (MessageBoxA without an owner window) or hands it to the
// installed handler; returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned int type);

// Installs a handler in place of MessageBoxA; nullptr restores MessageBoxA.
// Returns the handler that was installed before.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
