// Marks of a program's start-up, for finding where it goes: when the
// environment variable KV_STARTUP_TRACE names a file, each mark appends one
// line "milliseconds-since-process-creation what" to it and passes the same
// line to OutputDebugString (so that it also shows among Wine's own trace with
// WINEDEBUG=+debugstr); otherwise a mark costs one test of a flag.
#pragma once

namespace kv {

void StartupMark(const char* what);

}  // namespace kv
