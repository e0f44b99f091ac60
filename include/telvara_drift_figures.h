#pragma once

/* How the render devices of the stream that runs now follow one clock, for
   a host in the driver's process to show (telvara-host play and record).
   Plain C, looked up with GetProcAddress in the driver's module. */

#include <stdint.h>

#define TELVARA_DRIFT_FIGURES "TelvaraDriftFigures"

typedef struct TelvaraDriftFigure {
    char device[128];       /* the device's unique name, cut to fit, zero-terminated */
    int32_t role;           /* 0 the only device, 1 the clock master, 2 a follower, 3 left on its own clock */
    int32_t resampling;     /* 1 once its blocks go through the resampler */
    double ratePpm;         /* its clock against the master's, parts per million */
    double ratio;           /* device frames per host frame */
    double queuedFrames;    /* handed to the device and not played yet */
    double offsetFrames;    /* how far it plays from its configured delay against the master (> 0: late) */
    int64_t resyncs;        /* re-synchronisations */
    int64_t skippedBlocks;  /* blocks it could not take */
} TelvaraDriftFigure;

/* Fills at most capacity records, one per render device of the running
   stream in the order of the output list; answers how many there are (0
   when no stream runs). */
typedef int (*TelvaraDriftFiguresFunction)(TelvaraDriftFigure* figures, int capacity);
