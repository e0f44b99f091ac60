#pragma once

#include "debug_output_capture.h"

// Tests capture the debugger output of their own process to assert exact
// trace lines.
using TraceCapture = DebugOutputCapture;
