// Resource ids of the framework tests.
#pragma once
#define IDD_FW_EXCHANGE 200
#define IDD_FW_PAGE1 201
#define IDD_FW_PAGE2 202
#define IDD_FW_PAGE3 203
#define IDC_FW_EDIT 100
#define IDC_FW_CHECK 101
#define IDC_FW_BUTTON 102
#define IDS_FW_SHORT 300
#define IDS_FW_LONG 301
#define IDS_FW_SHEET 302
