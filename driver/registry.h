#pragma once

#include <windows.h>

// Small helpers over the ANSI registry functions, each on a root key and a
// key path. They answer 0 (or 1 for "exists") or a negative code.

// 1 when the key exists, 0 when not, -1 for a missing path.
int RegKeyExists(HKEY root, const char* path);
// Creates parent\name unless it exists; 0, or -1 when parent cannot be opened
// or the key cannot be created.
int RegCreateSubKey(HKEY root, const char* parent, const char* name);
// Writes text as REG_SZ; a null value name writes the default value.
int RegSetString(HKEY root, const char* path, const char* valueName, const char* text);
// Reads a REG_SZ value if it fits the buffer.
int RegReadString(HKEY root, const char* path, const char* valueName, char* buffer, DWORD size);
// Deletes parent\name and every key below it, children before parents; 0
// when at least one key was deleted.
int RegDeleteKeyTree(HKEY root, const char* parent, const char* name);
