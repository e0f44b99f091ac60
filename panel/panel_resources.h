#pragma once

// Resource ids of the control panel (telvarapanel.rc).
#define IDD_TELVARA_PANEL 102
#define IDR_MAINFRAME 108
#define IDB_WEB_LINK 144
#define IDB_LOGO_PNG 160
#define IDS_ABOUT_TEXT 166
#define IDS_INPUT_VOLUME_TIP 167
#define IDR_TRAY_MENU 170
#define IDM_TRAY_OPEN 171
#define IDM_TRAY_EXIT 172
#define IDR_DEVICE_MENU 173
#define IDM_SET_CLOCK_MASTER 174

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_BUFFER_SLIDER 1004
#define IDC_SAMPLE_RATE_LIST 1007
#define IDC_DEVICE_TREE 1009
#define IDC_CHANNEL_LIST 1010
#define IDC_RATE_RANGE 1011
#define IDC_BITS_RANGE 1012
#define IDC_CHANNEL_GROUP 1013
#define IDC_OUTPUT_VOLUME 1014
#define IDC_INPUT_VOLUME 1015
#define IDC_WEB_BUTTON 1020
#define IDC_LOGO 1021
#define IDC_CHANNEL_LABEL 1022
#define IDC_DELAY_SLIDER 1023
#define IDC_DELAY_LABEL 1024
#define IDC_DELAY_TIP 1025
#define IDC_DELAY_UNIT 1026
#define IDC_DELAY_VALUE 1027
#define IDC_BUFFER_TEXT 1028
#define IDC_APPLY_NOTE 1029
#define IDC_SAMPLE_FORMAT_LIST 1030
#define IDC_DRIFT_COMPENSATION 1031

// The status bar's id, as the dialog framework numbers its first bar.
#define IDC_STATUS_BAR 0xE801

// The window class of the main window: the driver finds a running panel by it.
#define TELVARA_PANEL_CLASS "telvarapanel"
