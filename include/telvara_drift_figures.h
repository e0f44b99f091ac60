#pragma once

/* How the devices of the stream that runs now follow one clock, for
   a host in the driver's process to show (telvara-host play and record).
   Plain C, looked up with GetProcAddress in the driver's module. */

#include <stdint.h>

#define TELVARA_DRIFT_FIGURES "TelvaraDriftFigures"

typedef struct TelvaraDriftFigure {
    char device[128];       /* the device's unique name, cut to fit, zero-terminated */
    int32_t role;           /* 0 the only device, 1 the clock master, 2 a follower, 3 left on its own clock */
    int32_t resampling;     /* 1 once its blocks go through the resampler */
    double ratePpm;         /* its clock against the master's, parts per million */
    double ratio;           /* render: device frames per host frame; capture: host frames per device frame */
    double queuedFrames;    /* render: handed to the device, not played yet; capture: recorded, not taken yet */
    double offsetFrames;    /* how far its path is from where it should be against the master (> 0: late) */
    int64_t resyncs;        /* re-synchronisations */
    int64_t skippedBlocks;  /* render: blocks it could not take; capture: blocks the host got silence for */
    int32_t capture;        /* 1 for a capture device */
} TelvaraDriftFigure;

/* Fills at most capacity records, one per open device of the running
   stream: the render devices in the order of the output list, then the
   capture devices in the order of the input list; answers how many there
   are (0 when no stream runs). */
typedef int (*TelvaraDriftFiguresFunction)(TelvaraDriftFigure* figures, int capacity);
