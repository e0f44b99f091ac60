#pragma once

/* What the driver made of each configured device at its latest open in this
   process: one line per device, the "out" list first, each "out  NAME:
   open, FORMAT" or "out  NAME: REASON" ("in   " for the "in" list), device
   names in the ANSI code page. Both builds of the driver library export the
   function; a host in the same process looks it up with GetProcAddress in
   the driver's module. Plain C, so that any host can declare it. */

#define TELVARA_DEVICE_REPORT "TelvaraDeviceReport"

/* Copies the report with its NUL into text when capacity holds it all
   (nothing is copied otherwise); answers the bytes the whole report takes
   with its NUL (1 before any open). */
typedef int (*TelvaraDeviceReportFunction)(char* text, int capacity);
