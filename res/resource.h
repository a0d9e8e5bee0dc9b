// Resource numbers shared by the program and its resource script.
#pragma once

#define IDD_MAIN 141
#define IDD_MESSAGE 142
#define IDI_MAIN 128
#define IDB_SKIN 156
#define IDB_ICON_INFORMATION 152
#define IDB_ICON_QUESTION 153
#define IDB_ICON_WARNING 154
#define IDB_ICON_ERROR 155

// Main window controls.
#define IDC_RESULTS_GROUP 1034
#define IDC_LOGO 1085
#define IDC_UTILITY_LINK 1080
#define IDC_DOWNLOAD_LINK 1077
#define IDC_SEARCHING 1076
#define IDC_PRODUCT_NOTE 1075
#define IDC_TITLE 1074
#define IDC_NOTICE 1072
#define IDC_FAMILY 1068
#define IDC_STATUS_GROUP 1064
#define IDC_STATUS 1065
#define IDC_RESULTS 1055
#define IDC_EXIT 1054
#define IDC_DOWNLOAD 1053
#define IDC_SCAN 1052
#define IDC_DONE 1070

// Message dialog controls.
#define IDC_MESSAGE_ICON 1085
#define IDC_MESSAGE_TEXT 1086
#define IDC_OK_SINGLE 3
