// kvroles export, plan and apply: the SAN's roles as a file that can be
// reviewed, kept and applied. Each returns kvroles' exit status.
#pragma once

#include <string>

#include "TerminalUser.h"

// Each reads the servers as audit does, up to parallel at once.

// The roles as the servers hold them, read as audit reads them: text, or the
// roles file with json. 0, or 3 when some servers could not be read.
int ExportRoles(bool json, const GivenCredentials& given, unsigned parallel);

// What apply would do, changing nothing: 0 nothing to do, 1 there is, 2 a
// bad file.
int PlanRoles(const std::string& path, const GivenCredentials& given, unsigned parallel);

// Runs the plan's transactions in order, asking before each unless yes;
// stops at the first one that fails or is declined. 0 done (or nothing to
// do), 1 stopped or refused, 2 a bad file (nothing changed).
int ApplyRoles(const std::string& path, bool yes, const GivenCredentials& given, unsigned parallel);
