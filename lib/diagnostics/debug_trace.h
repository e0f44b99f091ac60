#pragma once

// Writes one debugger string: "[TELVARA]" followed by the formatted text, cut
// to 4095 characters. No line end is added.
void DebugTrace(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
