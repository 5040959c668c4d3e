#include "ProgressLine.h"

#include <cstdio>

namespace {

constexpr DWORD kRedrawMs = 200;

}  // namespace

std::string ProgressText(const std::string& what, const ReadingProgress& p, DWORD elapsedMs) {
  const DWORD seconds = elapsedMs / 1000;
  return what + ": " + std::to_string(p.done) + " of " + std::to_string(p.known) + " servers done, " +
         std::to_string(p.notRead) + " could not be checked, " + std::to_string(seconds / 60) + ":" +
         (seconds % 60 < 10 ? "0" : "") + std::to_string(seconds % 60) + " elapsed";
}

CProgressLine::CProgressLine(std::string what) : m_what(std::move(what)), m_start(::GetTickCount()) {
  // A console answers GetConsoleMode; a file, a pipe or NUL does not (NUL
  // is a character device too, so its file type would not tell).
  DWORD mode = 0;
  m_console = ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

CProgressLine::~CProgressLine() {
  if (!m_console || !m_any) return;
  Draw();
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void CProgressLine::Update(const ReadingProgress& progress) {
  if (!m_console) return;
  m_progress = progress;
  if (m_any && ::GetTickCount() - m_drawn < kRedrawMs) return;
  Draw();
}

void CProgressLine::Draw() {
  std::string text = ProgressText(m_what, m_progress, ::GetTickCount() - m_start);
  // Blanks over what a longer line before left.
  const size_t width = text.size();
  if (width < m_width) text.append(m_width - width, ' ');
  std::fprintf(stderr, "\r%s", text.c_str());
  std::fflush(stderr);
  m_width = width;
  m_drawn = ::GetTickCount();
  m_any = true;
}
