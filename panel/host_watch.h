#pragma once

#include <windows.h>

// The host the panel was started for: the driver passes the host's process
// id as the panel's only argument.

// The arguments part of a full command line: the text after the program name
// (quoted or not), leading blanks skipped.
const char* CommandLineArguments(const char* commandLine);

// The leading decimal number of the arguments: leading white space, an
// optional sign, then digits up to the first other character; 0 without
// digits. Out-of-range values saturate as strtol does.
DWORD ParseHostProcessId(const char* arguments);

// True when a process with that id is in the system's process list, and
// when the list cannot be taken (a failing snapshot must not end the panel).
bool IsProcessAlive(DWORD processId);
