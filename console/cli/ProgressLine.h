// How far a long run has come, on standard error, redrawn in place: only
// when standard error is a console, so that nothing of it reaches a file or
// a pipe that a script reads.
#pragma once

#include <windows.h>

#include <string>

#include "SanReading.h"

// The text of the line: "audit: 120 of 4096 servers done, 3 could not be
// checked, 0:42 elapsed".
std::string ProgressText(const std::string& what, const ReadingProgress& progress, DWORD elapsedMs);

class CProgressLine {
 public:
  // what names the run ("audit").
  explicit CProgressLine(std::string what);
  // Draws the last figures for good and ends the line.
  ~CProgressLine();
  CProgressLine(const CProgressLine&) = delete;
  CProgressLine& operator=(const CProgressLine&) = delete;

  // Whether standard error is a console (else nothing is ever drawn).
  bool Shown() const { return m_console; }
  // Takes the latest figures; redraws at most a few times a second.
  void Update(const ReadingProgress& progress);

 private:
  void Draw();

  std::string m_what;
  bool m_console = false;
  DWORD m_start = 0;
  DWORD m_drawn = 0;   // when the line was last drawn
  bool m_any = false;  // something has been drawn
  size_t m_width = 0;  // of the text drawn last
  ReadingProgress m_progress;
};
