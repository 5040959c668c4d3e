// Expected resources of Quayside and Gearwise, written down independently of
// the programs' resource scripts: identifiers are plain numbers here, not the
// names of resource.h, so that a wrong number in a script is caught.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <span>

namespace resource_tables {

// ---------------------------------------------------------------------------
// Shapes of the tables

struct StringEntry {
  unsigned id;
  const char* text;  // exact text after loading (\n, \t and \\ are real characters)
};

enum class Shown { Any, Visible, Hidden };

// A control of a dialog template. id -1 is a control without identifier.
struct ControlEntry {
  int id;
  const char* className;       // as GetClassNameA reports it (compared ignoring case)
  const char* text = nullptr;  // window text; nullptr: not checked
  int type = -1;               // BS_/SS_/LVS_ type (the class's type bits); -1: not checked
  DWORD styleOn = 0;           // template style bits that must be set
  DWORD styleOff = 0;          // template style bits that must be clear
  Shown shown = Shown::Any;
  unsigned icon = 0;  // icon resource shown by an SS_ICON control; 0: none
};

struct DialogEntry {
  unsigned id;
  const char* caption;  // template caption; "" = no title text
  DWORD styleOn;
  DWORD styleOff;
  DWORD exStyleOn;
  const char* font;  // nullptr: not checked
  unsigned pointSize;
  int width;  // dialog units; 0: not checked
  int height;
  std::span<const ControlEntry> controls;
};

struct MenuItemEntry {
  unsigned id;
  const char* text;
};

struct MenuEntry {
  unsigned id;
  std::span<const std::span<const MenuItemEntry>> popups;
};

struct BitmapEntry {
  unsigned id;
  int width;
  int height;
  int bitsPerPixel;  // 0: any depth
};

struct IconEntry {
  unsigned id;
  std::span<const int> sizes;  // square image sizes in the icon group
  int colours;                 // colour count of every image; 0: not checked
};

// Two controls of one dialog whose rectangles relate as the dialog needs.
enum class Placement { SameRect, Inside };
struct PlacementEntry {
  unsigned dialog;
  int control;
  Placement placement;
  int other;
};

struct ProgramTables {
  const char* exe;
  std::span<const StringEntry> strings;
  std::span<const DialogEntry> dialogs;
  std::span<const MenuEntry> menus;
  std::span<const BitmapEntry> bitmaps;
  std::span<const IconEntry> icons;
  std::span<const PlacementEntry> placements;
};

inline constexpr COLORREF kImageMask = RGB(128, 0, 0);

// ---------------------------------------------------------------------------
// Quayside

inline constexpr StringEntry kQuaysideStrings[] = {
    {102, "Tree with configured Kestrava Servers"},
    {103, "Remove a Distributed Server from a Primary Server"},
    {104, "Set an Kestrava Server as Primary Server"},
    {105, "Delete a Primary Server"},
    {106, "List with all Kestrava Servers"},
    {107, "Set an Kestrava Server as a Distributed Server"},
    {108, "Autorefresh at 5 seconds"},
    {109, "Help information"},
    {110, "Accept the configuration"},
    {111, "Refresh the information"},
    {113, "Select the Kestrava Server you want to remove"},
    {114, "All Kestrava Servers detected"},
    {115, "Select a Primary Server and an Distributed Server from the list"},
    {116, "Select an Kestrava Server from the list"},
    {117, "If you need some help information"},
    {118, "Terminate and Accept the configuration"},
    {119, "Primary without distributed Servers must be selected"},
    {120, "Click to refresh the information"},
    {121, "Check the box to autorefresh at 5 seconds"},
    {122, "SOFTWARE\\Quillmark\\KestravaNet\\DiscoveryTable"},
    {123, "SOFTWARE\\Quillmark\\KestravaNet\\ELODistributedServers"},
    {124, "NO information available.\nCheck Discovery Service for this Kestrava Server"},
    {126,
     "All servers connected to SAN must be configured as Primary or Distributed servers. "
     "Kestrava SAN Option will not function correctly if you do not configure this server "
     "as a Primary or as a Distributed."},
    {127, "Failed During Transaction"},
    {128, "Press OK to proceed with your changes"},
    {129, "is already a Primary"},
    {130, "already assigned"},
    {131, "Couldn't remove from Primary"},
    {132, "Failed to connect to \\\\%s\nPress OK to try again"},
    {133, "Could not find Discovery Table String"},
    {134, "Could not find Kestrava String"},
    {135, "Assign Distributed"},
    {136,
     "Configuration Table was not updated properly\n. Please make sure that Discovery "
     "Service is running on %s machine"},
    {137, "Remove Distributed"},
    {138, "Make Primary"},
    {139, "Delete Primary"},
    {140, "Close"},
    {141, "Warning"},
    {142, "Properties"},
    {143, "SAN Option Configuration"},
    {144, "Security"},
    {145, "Could not write the new information"},
    {146, "Force To Remove"},
    {147, "Use ONLY if \"Remove Distributed >>\" does not work"},
    {148, "This command will force the removing of  %s"},
    {149, "Discovery Service Status"},
    {150, "Refresh"},
    {151, "Product"},
    {152, "Version"},
    {153, "Build"},
    {154, "Description"},
    {155, "Properties for Primary Server"},
    {156, "Properties for Distributed Server"},
    {158, "to connect to \\\\"},
    {170, "Starting..."},
    {171, "Stopping..."},
    {172, "Stopped"},
    {173, "Running"},
    {174, "Pause..."},
    {175, "Paused"},
    {176, "Continue..."},
    {177, "Connecting..."},
    {178, "Connected"},
    {179, "Connection failed"},
    {181, "Disconnected"},
    {182, "Wait"},
    {183, "Start"},
    {184, "Stop"},
    {185, "Cancel"},
    {187, "Failed to get the status"},
    {188, "Do you wish to stop Discovery Service on \\\\%s ?"},
    {189, "Products"},
    {190, "Distributed Servers"},
    {191, "Primary Server"},
    {192,
     "The role record of %s is damaged: it is not a 76-byte record naming a primary, so the server's role cannot be "
     "told.\nNothing was changed. Clear the record first (kvroles force-remove), then try again."},
    {193, "Damaged role record: %s"},
    {210,
     "The role record of \\\\%s could not be read, so there is no record to store the credentials in.\n"
     "Nothing was written: the server keeps its role and its stored credentials."},
};

inline constexpr ControlEntry kMainDialogControls[] = {
    {1000, "SysTreeView32", nullptr, -1,
     TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP},
    {1001, "SysListView32", nullptr, LVS_REPORT,
     LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_SORTASCENDING | LVS_AUTOARRANGE | LVS_NOCOLUMNHEADER | WS_BORDER |
         WS_TABSTOP},
    {1004, "Button", "<< &Make Primary", BS_PUSHBUTTON},
    {1005, "Button", "&Delete Primary >>", BS_PUSHBUTTON},
    {1002, "Button", "<< &Assign Distributed", BS_PUSHBUTTON},
    {1003, "Button", "&Remove Distributed >>", BS_PUSHBUTTON},
    {1039, "Button", "Re&fresh", BS_PUSHBUTTON},
    {1041, "Button", "A&uto Refresh", BS_AUTOCHECKBOX},
    {1, "Button", "&Close", BS_DEFPUSHBUTTON},
    {57670, "Button", "&Help", BS_PUSHBUTTON},
    {1059, "Static", ""},
    {-1, "Static", "Primary and Distributed Servers:"},
    {-1, "Static", "Available Kestrava Servers:"},
    {-1, "Button", nullptr, BS_GROUPBOX},
    {-1, "Button", nullptr, BS_GROUPBOX},
};

inline constexpr ControlEntry kPropertiesControls[] = {
    {-1, "Static", nullptr, SS_ICON, 0, 0, Shown::Visible, 128},
    {1020, "Edit", nullptr, -1, ES_READONLY},
    {1021, "Edit", nullptr, -1, ES_READONLY},
    {1022, "Edit", nullptr, -1, ES_READONLY},
    {1023, "Edit", nullptr, -1, ES_READONLY},
    {-1, "Static", "Server Name:"},
    {-1, "Static", "Domain Name:"},
    {-1, "Static", "Last respond time:"},
    {-1, "Static", "IP address:"},
    {1, "Button"},
    {1017, "Button"},
    {1042, "SysTabControl32"},
    {1034, "SysListView32", nullptr, LVS_REPORT, LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0, Shown::Visible},
    {1031, "Static", nullptr, -1, 0, 0, Shown::Hidden},
    {-1, "Button", nullptr, BS_GROUPBOX},
};

inline constexpr ControlEntry kLogonPromptControls[] = {
    {-1, "Static", "Security for"},
    {1033, "Edit", nullptr, -1, ES_READONLY | WS_TABSTOP, WS_BORDER},
    {-1, "Static", "UserName"},
    {1034, "Edit", nullptr, -1, ES_AUTOHSCROLL | WS_BORDER},
    {-1, "Static", "Password"},
    {1035, "Edit", nullptr, -1, ES_PASSWORD | WS_BORDER},
    {1, "Button", nullptr, BS_DEFPUSHBUTTON},
    {2, "Button", nullptr, BS_PUSHBUTTON},
    {1032, "Button", nullptr, BS_PUSHBUTTON},
};

inline constexpr ControlEntry kServerCredentialsControls[] = {
    {-1, "Static", "Specify credentials to be used"},
    {1045, "Edit", nullptr, -1, ES_READONLY, WS_BORDER | WS_TABSTOP},
    {-1, "Static", "UserName"},
    {1034, "Edit", nullptr, -1, ES_AUTOHSCROLL | WS_BORDER},
    {-1, "Static", "Password"},
    {1035, "Edit", nullptr, -1, ES_PASSWORD | WS_BORDER},
    {1, "Button", nullptr, BS_DEFPUSHBUTTON},
    {2, "Button", nullptr, BS_PUSHBUTTON},
    {1032, "Button", nullptr, BS_PUSHBUTTON},
};

inline constexpr ControlEntry kDistributedPageControls[] = {
    {1046, "SysListView32", nullptr, LVS_REPORT, LVS_SORTASCENDING | LVS_NOCOLUMNHEADER | LVS_SHOWSELALWAYS},
    {1047, "Button", "DS Status", BS_PUSHBUTTON},
};

inline constexpr ControlEntry kDiscoveryStatusControls[] = {
    {-1, "Static", "Kestrava Discovery Service:"},
    {1056, "Static"},
    {1061, "Button", "", BS_PUSHBUTTON, WS_TABSTOP},
    {1050, "msctls_progress32"},
};

inline constexpr ControlEntry kPrimaryPageControls[] = {
    {-1, "Button", "", BS_GROUPBOX},
    {1051, "Edit", nullptr, -1, ES_READONLY},
    {1047, "Button", "DS Status", BS_PUSHBUTTON},
};

inline constexpr DialogEntry kQuaysideDialogs[] = {
    {147, "SAN Option Configuration", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME, WS_CHILD,
     WS_EX_APPWINDOW, "MS Sans Serif", 8, 0, 0, kMainDialogControls},
    {132, "Properties", WS_POPUP | WS_CAPTION, WS_SYSMENU | WS_CHILD, 0, nullptr, 0, 0, 0, kPropertiesControls},
    {142, "Security", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_CHILD, 0, nullptr, 0, 0, 0, kLogonPromptControls},
    {154, "Security", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_CHILD, 0, nullptr, 0, 0, 0, kServerCredentialsControls},
    {155, "", WS_CHILD, WS_VISIBLE | WS_CAPTION | WS_POPUP, 0, nullptr, 0, 0, 0, kDistributedPageControls},
    {157, "", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_CHILD, WS_EX_TOOLWINDOW, nullptr, 0, 0, 0,
     kDiscoveryStatusControls},
    {158, "", WS_CHILD, WS_VISIBLE | WS_CAPTION | WS_POPUP, 0, nullptr, 0, 0, 0, kPrimaryPageControls},
};

inline constexpr MenuItemEntry kTreeMenuDistributed[] = {
    {32775, "Properties"},
    {32781, "Force to Remove"},
    {32783, "Security"},
    {32784, "Discovery Service Status"},
};
inline constexpr MenuItemEntry kTreeMenuPrimary[] = {
    {32775, "Properties"},
    {32782, "Security"},
    {32784, "Discovery Service Status"},
};
inline constexpr MenuItemEntry kListMenu[] = {
    {32776, "Properties"},
    {32785, "Discovery Service Status"},
};
inline constexpr std::span<const MenuItemEntry> kTreeMenuPopups[] = {kTreeMenuDistributed, kTreeMenuPrimary};
inline constexpr std::span<const MenuItemEntry> kListMenuPopups[] = {kListMenu};

inline constexpr MenuEntry kQuaysideMenus[] = {
    {139, kTreeMenuPopups},
    {141, kListMenuPopups},
};

inline constexpr BitmapEntry kQuaysideBitmaps[] = {
    {131, 48, 16, 0},
    {144, 48, 16, 0},
    {231, 96, 32, 0},
    {244, 96, 32, 0},
};

inline constexpr int kSizes32And16[] = {32, 16};
inline constexpr int kSize32[] = {32};

inline constexpr IconEntry kQuaysideIcons[] = {
    {128, kSizes32And16, 0},
};

inline constexpr PlacementEntry kQuaysidePlacements[] = {
    {132, 1031, Placement::SameRect, 1034},
    {132, 1034, Placement::Inside, 1042},
};

inline constexpr ProgramTables kQuayside = {
    "Quayside.exe",   kQuaysideStrings, kQuaysideDialogs,    kQuaysideMenus,
    kQuaysideBitmaps, kQuaysideIcons,   kQuaysidePlacements,
};

// Image strips of the console: three images each, 16x16 and (high DPI) 32x32.
struct ImageStrip {
  unsigned id;
  int size;
};
inline constexpr ImageStrip kImageStrips[] = {{131, 16}, {144, 16}, {231, 32}, {244, 32}};

// ---------------------------------------------------------------------------
// Gearwise

inline constexpr StringEntry kGearwiseStrings[] = {
    {108, "Options"},
    {109,
     "From here you can choose the Kestrava 2000 option in order to configure your backup "
     "devices."},
    {110, "Device Configuration"},
    {111, "Exit Device Configuration?"},
    {112, "Verdana Bold\t12\t400"},
    {113, "Exit"},
    {114,
     "Tape Engine service will be stopped in order to allow device configuration.\n"
     "Would you like to continue?"},
    {116,
     "Device Configuration cannot be started! It requires all other Kestrava 2000 "
     "activities (Backup, Restore, etc.) to be inactive."},
    {117, "Please wait while stopping Tape Engine service..."},
    {119, "Device Configuration is already running!"},
    {120, "%1 is not installed!"},
    {121, "Tape and Library Option"},
    {122, "Raid Device Option"},
    {123, "Removable Library Option"},
    {124, "MS Sans Serif\t9\t700"},
    // The Complete page's restart notice (control 1003), also asked with the
    // exit question once the wizard has stopped the tape engine.
    {125, "Tape Engine service has to be restarted in order to the changes take effect!"},
};

inline constexpr ControlEntry kWelcomePageControls[] = {
    {1011, "Static", "Welcome to Device Configuration!"},
    {-1, "Static",
     "This step-by-step tool allows you to configure the Kestrava 2000 backup devices on your "
     "system.\n\nFull installation instructions will be provided."},
    {1012, "Static", "To continue Device Configuration, click Next.\n\nTo quit Device Configuration, click Exit."},
};

inline constexpr ControlEntry kOptionsPageControls[] = {
    {1028, "Static", "Title"},
    {1027, "Static", "Subtitle"},
    {-1, "Static", "Select one of the following options to configure your backup devices:"},
    {1000, "Button", "&Tape and Optical Library", BS_AUTORADIOBUTTON, WS_GROUP, 0, Shown::Visible},
    {1001, "Button", "&Removable Drive", BS_AUTORADIOBUTTON, 0, WS_GROUP, Shown::Visible},
    {1002, "Button", "R&AID Device", BS_AUTORADIOBUTTON, 0, WS_GROUP, Shown::Visible},
    {1006, "Button", "&Networked Library", BS_AUTORADIOBUTTON, 0, WS_GROUP, Shown::Hidden},
    {1007, "Button", "&Virtual Library", BS_AUTORADIOBUTTON, 0, WS_GROUP, Shown::Visible},
    {1009, "Button", "Enable/Disable Devices (for RSM)", BS_AUTORADIOBUTTON, 0, WS_GROUP, Shown::Visible},
    {1004, "Static", nullptr, SS_ICON, 0, 0, Shown::Any, 120},
    {1005, "Static", "Description is dynamically loaded", -1, 0, 0, Shown::Hidden},
};

inline constexpr ControlEntry kCompletePageControls[] = {
    {1011, "Static", "Device Configuration Completed."},
    {1004, "Static", nullptr, SS_ICON, 0, 0, Shown::Any, 120},
    {1003, "Static", "Tape Engine service has to be restarted in order to the changes take effect!"},
    {1014, "Static", "To work with another option, click Back."},
    {1013, "Static", "To quit Device Configuration, click Exit."},
};

inline constexpr DWORD kPageStyle = WS_CHILD | WS_DISABLED | WS_CAPTION;

inline constexpr DialogEntry kGearwiseDialogs[] = {
    {1002, "Device Configuration", kPageStyle, WS_POPUP | WS_VISIBLE, 0, "MS Shell Dlg", 8, 355, 210,
     kWelcomePageControls},
    {1001, "Device Configuration", kPageStyle, WS_POPUP | WS_VISIBLE, 0, "MS Sans Serif", 8, 355, 210,
     kOptionsPageControls},
    {1000, "Device Configuration", kPageStyle, WS_POPUP | WS_VISIBLE, 0, "MS Sans Serif", 8, 355, 210,
     kCompletePageControls},
};

inline constexpr BitmapEntry kGearwiseBitmaps[] = {
    {138, 555, 327, 8},
    {139, 555, 327, 8},
};

inline constexpr IconEntry kGearwiseIcons[] = {
    {101, kSizes32And16, 16},
    {120, kSize32, 16},
};

inline constexpr ProgramTables kGearwise = {
    "Gearwise.exe", kGearwiseStrings, kGearwiseDialogs, {}, kGearwiseBitmaps, kGearwiseIcons, {},
};

// Page backgrounds: the Welcome and Complete pages use 138, the Options page 139,
// whose header band holds the Options page's title (1028) and subtitle (1027).
struct PageBackground {
  unsigned page;
  unsigned bitmap;
};
inline constexpr PageBackground kPageBackgrounds[] = {
    {1002, 138},
    {1001, 139},
    {1000, 138},
};
inline constexpr unsigned kHeaderBandBitmap = 139;
inline constexpr unsigned kHeaderBandPage = 1001;
inline constexpr int kHeaderBandControls[] = {1028, 1027};

}  // namespace resource_tables
