// Resource identifiers shared by the five option plug-ins (each has its own
// dialog with these identifiers in its own .rc).
#pragma once

#define IDD_PLUGIN_CONFIG 100
#define IDC_SETTING_1 201
#define IDC_SETTING_2 202
#define IDC_SETTING_3 203
#define IDC_PLUGIN_BACK 210
