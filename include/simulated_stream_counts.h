#pragma once

/* What the simulated devices counted while a host streamed through the
   driver. Only the build of the driver over simulated devices exports the
   function; a host looks it up with GetProcAddress in the driver's module
   and finds nothing in the shipped driver. Plain C, so that any host can
   declare it. */

#include <stdint.h>

#define TELVARA_SIMULATED_STREAM_COUNTS "TelvaraSimulatedStreamCounts"

typedef struct TelvaraSimulatedStreamCount {
    char device[128];        /* friendly name (the path when it has none), cut to fit, zero-terminated */
    int64_t underrunFrames;  /* played as silence: the render queue ran dry */
    int64_t overrunFrames;   /* lost: no capture read came in time */
} TelvaraSimulatedStreamCount;

/* Fills at most capacity records, one per simulated device on which a pin
   was created in this process, in enumeration order; answers how many such
   devices there are (more than capacity when they did not all fit). */
typedef int (*TelvaraSimulatedStreamCountsFunction)(TelvaraSimulatedStreamCount* counts, int capacity);
