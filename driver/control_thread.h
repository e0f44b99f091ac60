#pragma once

// The control thread listens to the panel's named events for the driver
// whose stream runs: a new volume, a new output delay, devices out of step,
// and its own exit.
class CTelvaraDriver;

// Each initialised driver object starts the thread once and stops it once;
// the thread runs while any of them lives. The last stop asks it to end and
// waits for it (it ends within one of its time-outs).
void StartControlThread();
void StopControlThread();
