#pragma once
// Resource identifiers of the main dialog and its icon.
#define IDR_MAINFRAME           128
#define IDD_SELFTEST_DIALOG     102
#define IDC_START               1003
#define IDC_STOP                1004
#define IDC_PROGRESS            1005
#define IDC_RESULT_LIST         1006
#define IDC_PORT                1007
#define IDC_VERDICT             1009
