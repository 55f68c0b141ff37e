// Resource and control ids of the options dialog.
#pragma once

#define IDD_OPTIONS 101

#define IDC_START_BUTTON 1000
#define IDC_STOP_BUTTON 1001
#define IDC_PID_EDIT 1002
#define IDC_FILE_NAME_EDIT 1003
#define IDC_DIRECTORY_EDIT 1004
#define IDC_SIZE_EDIT 1005
#define IDC_TIME_EDIT 1006
#define IDC_CLOSE_BUTTON 2 /* the cancel command: Escape sends it too */

#define IDT_REFRESH 100
