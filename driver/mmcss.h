#pragma once

// True only when the process token says it runs elevated; any failure to
// find out counts as not elevated.
bool IsProcessElevated();

// Registers the calling thread with the multimedia class scheduler as a
// "Pro Audio" task at high priority. On failure the user is told (the box
// blocks the calling thread until dismissed) and the thread keeps its own
// priority. Returns the task handle to revert at thread end, or null.
void* RegisterProAudioThread();
void RevertProAudioThread(void* task);
