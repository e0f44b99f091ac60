#pragma once

// Registers the calling thread with the multimedia class scheduler as a
// "Pro Audio" task at high priority, elevated process or not. A failure is
// traced once and the thread keeps the time-critical priority its creator
// gave it: nothing is shown, the thread is about to carry the stream.
// Returns the task handle to revert at thread end, or null.
void* RegisterProAudioThread();
void RevertProAudioThread(void* task);
