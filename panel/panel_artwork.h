#pragma once

#include <windows.h>

// Drawing of the panel's pictures: the logo (PNG resource 160, through
// GDI+, which must be started) and the web-link button (bitmap 144).

// Draws the logo at its natural size at the top-left corner of the item's
// rectangle; nothing when it cannot be loaded.
void DrawLogo(const DRAWITEMSTRUCT* item, HINSTANCE instance);

// Draws the button picture centred in the button, on the dialog's background
// (the button has no face of its own), with a focus frame when focused.
void DrawWebButton(const DRAWITEMSTRUCT* item, HINSTANCE instance);

// Draws the icon centred in the client area of a minimised window.
void DrawMinimisedIcon(HWND window, HICON icon);
