// Resource identifiers of Quayside, the SAN Option Configuration console.
// Shared by Quayside.rc and the C++ sources; keep it free of anything but
// #define lines so that the resource compiler can read it.
#ifndef QUAYSIDE_RESOURCE_H
#define QUAYSIDE_RESOURCE_H

// Icon and bitmaps
#define IDI_QUAYSIDE 128     // program icon, also shown in the Properties dialog
#define IDB_LIST_IMAGES 131  // 3 x 16x16: computer (cyan), computer (red), computer (cyan)
#define IDB_TREE_IMAGES 144  // 3 x 16x16: primary, distributed, primary known only from its members
// The same strips drawn at 32x32, for high DPI: the small one's id + 100.
#define kLargeServerImages 100
#define IDB_LIST_IMAGES_32 231
#define IDB_TREE_IMAGES_32 244

// Dialogs
#define IDD_PROPERTIES 132          // "Properties" of one server
#define IDD_LOGON_PROMPT 142        // "Security for \\server" (asked by the admin session)
#define IDD_MAIN 147                // "SAN Option Configuration"
#define IDD_SERVER_CREDENTIALS 154  // "Security" command: credentials stored for a server
#define IDD_DISTRIBUTED_PAGE 155    // Properties, second tab of a primary
#define IDD_DISCOVERY_STATUS 157    // Discovery Service status tool window
#define IDD_PRIMARY_PAGE 158        // Properties, second tab of a distributed server

// Context menus
#define IDM_TREE_CONTEXT 139  // popup 0: distributed server, popup 1: primary server
#define IDM_LIST_CONTEXT 141  // popup 0: available server

// Menu commands
#define ID_TREE_PROPERTIES 32775
#define ID_LIST_PROPERTIES 32776
#define ID_FORCE_REMOVE 32781
#define ID_PRIMARY_SECURITY 32782
#define ID_DISTRIBUTED_SECURITY 32783
#define ID_TREE_DS_STATUS 32784
#define ID_LIST_DS_STATUS 32785

// Controls of the main dialog (147)
#define IDC_TREE_SERVERS 1000
#define IDC_LIST_SERVERS 1001
#define IDC_ASSIGN_DISTRIBUTED 1002
#define IDC_REMOVE_DISTRIBUTED 1003
#define IDC_MAKE_PRIMARY 1004
#define IDC_DELETE_PRIMARY 1005
#define IDC_REFRESH 1039
#define IDC_AUTO_REFRESH 1041
#define IDC_STATUS_PLACE 1059  // empty static; the status bar is created over it
#define IDC_STATUS_BAR 102     // the status bar created at run time
#define ID_HELP 57670

// Controls of the Properties dialog (132) and its pages (155, 158)
#define IDC_PROPERTIES_HELP 1017
#define IDC_SERVER_NAME 1020
#define IDC_DOMAIN_NAME 1021
#define IDC_LAST_RESPOND 1022
#define IDC_IP_ADDRESS 1023
#define IDC_PAGE_FRAME 1031  // invisible; marks where a page goes
#define IDC_PRODUCTS_LIST 1034
#define IDC_PROPERTIES_TAB 1042
#define IDC_DISTRIBUTED_LIST 1046
#define IDC_DS_STATUS 1047
#define IDC_PRIMARY_NAME 1051

// Controls of the credentials dialogs (142, 154)
#define IDC_CREDENTIALS_HELP 1032
#define IDC_LOGON_SERVER 1033
#define IDC_USERNAME 1034
#define IDC_PASSWORD 1035
#define IDC_CREDENTIALS_SERVER 1045

// Controls of the Discovery Service status dialog (157)
#define IDC_STATUS_PROGRESS 1050
#define IDC_SERVICE_STATE 1056
#define IDC_SERVICE_ACTION 1061

// Strings: tooltips (TTN_NEEDTEXT) and hints (status part 0)
#define IDS_TIP_TREE 102
#define IDS_TIP_REMOVE_DISTRIBUTED 103
#define IDS_TIP_MAKE_PRIMARY 104
#define IDS_TIP_DELETE_PRIMARY 105
#define IDS_TIP_LIST 106
#define IDS_TIP_ASSIGN_DISTRIBUTED 107
#define IDS_TIP_AUTO_REFRESH 108
#define IDS_TIP_HELP 109
#define IDS_TIP_CLOSE 110
#define IDS_TIP_REFRESH 111
#define IDS_HINT_REMOVE_DISTRIBUTED 113
#define IDS_HINT_LIST 114
#define IDS_HINT_ASSIGN_DISTRIBUTED 115
#define IDS_HINT_MAKE_PRIMARY 116
#define IDS_HINT_HELP 117
#define IDS_HINT_CLOSE 118
#define IDS_HINT_DELETE_PRIMARY 119
#define IDS_HINT_REFRESH 120
#define IDS_HINT_AUTO_REFRESH 121

// Strings: registry paths kept for reference (not loaded)
#define IDS_DISCOVERY_TABLE_PATH 122
#define IDS_DISTRIBUTED_LIST_PATH 123

// Strings: messages and captions
#define IDS_NO_INFORMATION 124
#define IDS_LOCAL_ROLE_MISSING 126
#define IDS_FAILED_TRANSACTION 127
#define IDS_PRESS_OK_TO_PROCEED 128
#define IDS_ALREADY_PRIMARY 129
#define IDS_ALREADY_ASSIGNED 130
#define IDS_COULD_NOT_DETACH 131
#define IDS_CONNECT_FAILED 132
#define IDS_NO_DISCOVERY_TABLE 133
#define IDS_NO_PRODUCT_ROOT 134
#define IDS_TABLE_NOT_UPDATED 136
#define IDS_WARNING 141
#define IDS_APP_TITLE 143
#define IDS_WRITE_FAILED 145
#define IDS_FORCE_REMOVE_CAPTION 147
#define IDS_FORCE_REMOVE_QUESTION 148
#define IDS_STOP_SERVICE_QUESTION 188
#define IDS_CONNECT_TO_PREFIX 158

// Strings: operation names shown in status part 1
#define IDS_OP_ASSIGN_DISTRIBUTED 135
#define IDS_OP_REMOVE_DISTRIBUTED 137
#define IDS_OP_MAKE_PRIMARY 138
#define IDS_OP_DELETE_PRIMARY 139
#define IDS_OP_CLOSE 140
#define IDS_OP_PROPERTIES 142
#define IDS_OP_SECURITY 144
#define IDS_OP_FORCE_REMOVE 146
#define IDS_OP_DS_STATUS 149
#define IDS_OP_REFRESH 150

// Strings: Properties dialog
#define IDS_COL_PRODUCT 151
#define IDS_COL_VERSION 152
#define IDS_COL_BUILD 153
#define IDS_COL_DESCRIPTION 154
#define IDS_TITLE_PRIMARY 155
#define IDS_TITLE_DISTRIBUTED 156
#define IDS_TAB_PRODUCTS 189
#define IDS_TAB_DISTRIBUTED 190
#define IDS_TAB_PRIMARY 191
#define IDS_RECORD_DAMAGED 192
#define IDS_DAMAGED_RECORDS 193
#define IDS_SECURITY_NO_RECORD 210

// Strings: Discovery Service states and button captions
#define IDS_STATE_STARTING 170
#define IDS_STATE_STOPPING 171
#define IDS_STATE_STOPPED 172
#define IDS_STATE_RUNNING 173
#define IDS_STATE_PAUSING 174
#define IDS_STATE_PAUSED 175
#define IDS_STATE_CONTINUING 176
#define IDS_STATE_CONNECTING 177
#define IDS_STATE_CONNECTED 178
#define IDS_STATE_CONNECTION_FAILED 179
#define IDS_STATE_DISCONNECTED 181
#define IDS_ACTION_WAIT 182
#define IDS_ACTION_START 183
#define IDS_ACTION_STOP 184
#define IDS_ACTION_CANCEL 185
#define IDS_STATE_STATUS_FAILED 187

#endif  // QUAYSIDE_RESOURCE_H
