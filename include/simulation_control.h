#pragma once

/* The simulated devices of the driver built over simulated devices, for a
   host in the same process that tests the driver: faults, devices leaving
   and arriving, the virtual clock, and what the devices counted. Only that
   build exports the function; a host looks it up with GetProcAddress in the
   driver's module and finds nothing in the shipped driver. Plain C, so that
   any host can declare it. Device paths are those of kssim.ini; pin 0 is a
   simulated device's streaming pin. */

#include <stdint.h>

#define TELVARA_SIMULATION_CONTROL "TelvaraSimulationControl"

/* What SetStreamFault switches on. */
#define TELVARA_SIM_FAULT_NONE 0
#define TELVARA_SIM_FAULT_FAIL 1          /* stream requests fail at once */
#define TELVARA_SIM_FAULT_NEVER_COMPLETE 2 /* stream requests stay pending until cancelled */

/* Every call that answers int answers 1 when done and 0 when the simulation
   refused (a path or pin it does not have, a device present already); the
   counts answer -1 then. */
typedef struct TelvaraSimulationCalls {
    /* Virtual time from now on, held at its origin until RunFor moves it,
       with the injections' generator seeded. */
    int (*UseVirtualClock)(uint64_t seed);
    /* Moves virtual time on and waits (at most wallTimeoutMs of real time)
       until the stream has reached it. */
    int (*RunFor)(double seconds, uint32_t wallTimeoutMs);
    double (*VirtualSeconds)(void);
    /* Every wake-up of the stream's wait comes up to maxMs late (drawn from
       the seeded generator), as on a busy machine. */
    void (*SetJitter)(double maxMs);
    /* A device unplugged, and one plugged in (a removed device of the same
       path is replaced): a plain render or capture device as kssim.ini's
       type = render / capture makes it. */
    int (*RemoveDevice)(const char* devicePath);
    int (*AddDevice)(int capture, const char* friendlyName, const char* devicePath);
    int (*SetStreamFault)(const char* devicePath, int pinId, int fault);
    /* Whether render pins keep what they play (for long runs: off). */
    void (*KeepRenderedBytes)(int keep);
    int64_t (*UnderrunFrames)(const char* devicePath, int pinId);
    int64_t (*OverrunFrames)(const char* devicePath, int pinId);
    int64_t (*PlayedFrames)(const char* devicePath, int pinId);
    /* Filter and pin handles open, requests not completed, and the device
       enumerations made since the process started. */
    int (*OpenHandleCount)(void);
    int (*PendingRequestCount)(void);
    int64_t (*DeviceInfoSetsMade)(void);
} TelvaraSimulationCalls;

/* The calls; the table lives as long as the driver's module. */
typedef const TelvaraSimulationCalls* (*TelvaraSimulationControlFunction)(void);
