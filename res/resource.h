// Identifiers shared by the resource script and the code.
#pragma once

// About box
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101

// Main dialog
#define IDD_UPDATEFIRMWARE_DIALOG 102
#define IDC_UPDATE 1000
#define IDC_DEVICE_VERSION 1008
#define IDC_FILE_VERSION 1010
#define IDC_DEVICE_NAME 1014
#define IDC_UPDATE_PROGRESS 1017

// Icon and pictures
#define IDR_MAINFRAME 128
#define IDB_LOGO1 129
#define IDB_LOGO2 130
#define IDB_LOGO3 131

// System-menu command of the about item
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
