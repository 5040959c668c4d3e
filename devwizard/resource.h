// Resource identifiers of Gearwise, the Device Configuration wizard.
// Shared by Gearwise.rc and the C++ sources; #define lines only.
#ifndef GEARWISE_RESOURCE_H
#define GEARWISE_RESOURCE_H

// Icons
#define IDI_GEARWISE 101  // program and sheet icon
#define IDI_NOTICE 120    // warning triangle of the notice lines

// Page backgrounds (8-bit, own palette, used as pattern brushes)
#define IDB_BACKGROUND 138         // Welcome and Complete pages
#define IDB_BACKGROUND_HEADER 139  // Options page, with the header band

// Wizard pages
#define IDD_COMPLETE_PAGE 1000
#define IDD_OPTIONS_PAGE 1001
#define IDD_WELCOME_PAGE 1002

// Option radio buttons, in their fixed order
#define IDC_OPTION_TAPE_LIBRARY 1000
#define IDC_OPTION_REMOVABLE_DRIVE 1001
#define IDC_OPTION_RAID_DEVICE 1002
#define IDC_OPTION_NETWORKED_LIBRARY 1006
#define IDC_OPTION_VIRTUAL_LIBRARY 1007
#define IDC_OPTION_RSM_DEVICES 1009

// Other page controls
#define IDC_RESTART_NOTICE 1003  // Complete: engine restart line
#define IDC_NOTICE_ICON 1004     // Options and Complete: icon 120
#define IDC_STOP_STATUS 1005     // Options: status line during the engine stop
#define IDC_PAGE_HEADING 1011    // Welcome and Complete: heading in the title font
#define IDC_WELCOME_FOOTER 1012
#define IDC_EXIT_HINT 1013        // Complete: "To quit ..."
#define IDC_BACK_HINT 1014        // Complete: "To work with another option ..."
#define IDC_HEADER_SUBTITLE 1027  // Options: header band, subtitle
#define IDC_HEADER_TITLE 1028     // Options: header band, title

// Strings
#define IDS_OPTIONS_TITLE 108
#define IDS_OPTIONS_SUBTITLE 109
#define IDS_WIZARD_CAPTION 110
#define IDS_CONFIRM_EXIT 111
#define IDS_TITLE_FONT 112  // face \t points \t weight
#define IDS_EXIT 113
#define IDS_STOP_ENGINE_QUESTION 114
#define IDS_ACTIVITY_RUNNING 116
#define IDS_STOPPING_ENGINE 117
#define IDS_ALREADY_RUNNING 119
#define IDS_OPTION_NOT_INSTALLED 120  // %1 = option name
#define IDS_NAME_TAPE_LIBRARY 121
#define IDS_NAME_RAID_DEVICE 122
#define IDS_NAME_REMOVABLE_LIBRARY 123
#define IDS_SECTION_FONT 124    // face \t points \t weight
#define IDS_RESTART_NOTICE 125  // the text of control 1003, for the exit question

#endif  // GEARWISE_RESOURCE_H
