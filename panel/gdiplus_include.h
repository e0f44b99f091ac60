#pragma once

// GDI+ for the panel: gdiplus.h uses min and max unqualified, which NOMINMAX
// keeps out of windows.h.
#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>
