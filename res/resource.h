// The windows' resource ids: dialog templates, their controls, the icon and the browse bitmap.
// One list for the Win32 resource script (which reads it through the preprocessor, hence the
// macros), the windows' logic and both views; the Qt forms carry the same numbers as their
// controls' resourceId property, which the tests compare with this list.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_KQ7300_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_LED_DIALOG 129
#define IDD_SYSTEM_DIALOG 133
#define IDD_FLIP_DIALOG 135
#define IDD_LANGUAGE_DIALOG 139
#define IDB_BROWSE 151

// Main window
#define IDC_TAB 1000

// LED page
#define IDC_LED_SWITCH 1002
#define IDC_CURRENT_SLIDER 1003
#define IDC_CURRENT_EDIT 1004
#define IDC_CURRENT_WRITE 1005
#define IDC_CURRENT_READ 1006
#define IDC_POWER_SWITCH 1007

// System page
#define IDC_BROWSE 1021
#define IDC_STOP 1024
#define IDC_PROGRESS 1028
#define IDC_UPGRADE_PHASE 1029  // static text under the progress bar: what the upgrade does now
#define IDC_UPGRADE 1032
#define IDC_LAST_UPGRADE 1033  // static text: the connected engine's last upgrade
#define IDC_FILE_NAME 1061
#define IDC_LANGUAGE_COMBO 1116
#define IDC_RESTART 1117
#define IDC_LANGUAGE_NOTE 1118  // static text: a new language takes effect after the restart

// Flip page
#define IDC_FLIP_X 1068
#define IDC_FLIP_Y 1069
#define IDC_FLIP_DO 1070

// Language dialog (its OK and Cancel are the standard IDOK 1 and IDCANCEL 2)
#define IDC_LANGUAGE_LIST 1011

// About box (its OK is IDOK 1)
#define IDC_ABOUT_VERSION 1200  // static text: the program's name and version

// The LED current the engine takes: 0 to this.
#define KQ_LED_CURRENT_MAX 100
