/*
 * Does what the 32-bit control panel does when the user changes a setting
 * while a host streams: writes the key into %APPDATA%\ZQV\config.ini with
 * WritePrivateProfileStringA, then opens the driver's global event, sets it
 * and closes it again.
 *
 *   settings_writer volume TEXT              [default] Volume, settings event
 *   settings_writer outlatency DEVICE TEXT   [DEVICE] outOutLatency, output-delay event
 *
 * Exit code 0 when the event was set, 3 when no driver has it open, 2 for
 * bad arguments or a key that could not be written.
 */
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

static const char* const kSettingsEvent = "Global\\TELVARA_CTL_COMING_EVENT";
static const char* const kOutputDelayEvent = "Global\\TELVARA_CTL_OUTLATENCY_EVENT";

int main(int argc, char** argv)
{
    char path[MAX_PATH] = {0};
    const char* section;
    const char* key;
    const char* text;
    const char* eventName;
    HANDLE event;

    if (argc == 3 && strcmp(argv[1], "volume") == 0) {
        section = "default";
        key = "Volume";
        text = argv[2];
        eventName = kSettingsEvent;
    } else if (argc == 4 && strcmp(argv[1], "outlatency") == 0) {
        section = argv[2];
        key = "outOutLatency";
        text = argv[3];
        eventName = kOutputDelayEvent;
    } else {
        fprintf(stderr, "usage: settings_writer volume TEXT | outlatency DEVICE TEXT\n");
        return 2;
    }
    printf("pointer-bits=%u\n", (unsigned)(8 * sizeof(void*)));
    if (FAILED(SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, path)) ||
        strlen(path) + sizeof "\\ZQV\\config.ini" > sizeof path) {
        fprintf(stderr, "no application-data folder\n");
        return 2;
    }
    strcat(path, "\\ZQV\\config.ini");
    if (!WritePrivateProfileStringA(section, key, text, path)) {
        fprintf(stderr, "cannot write %s.%s to %s (error %lu)\n", section, key, path, GetLastError());
        return 2;
    }
    printf("written=[%s] %s=%s in %s\n", section, key, text, path);
    event = OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName);
    if (!event) {
        printf("event=absent\n");
        return 3;
    }
    SetEvent(event);
    CloseHandle(event);
    printf("event=set %s\n", eventName);
    fflush(stdout);
    return 0;
}
