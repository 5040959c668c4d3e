// The message helpers of the console: string-table texts, system error
// boxes and the help topic.
#pragma once

#include <windows.h>

#include <string>

// The console's string-table entry id (empty when missing).
std::string LoadResString(UINT id);

// The string-table entry id with its one "%s" replaced by argument.
std::string FormatResString(UINT id, const std::string& argument);

// The system's text for status, or for a status the system has no text for
// (the product libraries' own codes) a sentence that names it.
std::string SystemErrorText(DWORD status);

// Shows SystemErrorText(status) in a task-modal, topmost error box without
// owner, with OK and Cancel (flags 0x42011); the answer is ignored.
void ShowSystemError(const std::string& caption, DWORD status);

// Opens help context 858 of "KVMGR.HLP" in the folder of the running program.
void ShowHelpTopic(HWND owner);

// The folder of the running program followed by "KVMGR.HLP".
std::string HelpFilePath();

// Test seam: the function ShowHelpTopic calls in place of WinHelpA (null
// restores WinHelpA). Returns the previous function. Tests use it because
// WinHelpA on a missing file blocks on a modal box.
using HelpFunction = BOOL(WINAPI*)(HWND owner, LPCSTR helpFile, UINT command, ULONG_PTR data);
HelpFunction SetHelpFunctionForTest(HelpFunction function);

// The help key (F1) in a secondary dialog: sent on to the main window as its
// Help command, which opens the same topic as the dialog's Help button.
void PassHelpKeyToMainWindow();
