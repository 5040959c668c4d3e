// The console's help file KVMGR.HLP beside the program: its numeric context
// map, read from the built file, and the topic that the help viewer shows
// when the console asks for context 858.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Messages.h"

namespace {

constexpr DWORD kOverviewContext = 858;
const char* const kOverviewContextName = "overview";
const char* const kOverviewTitle = "Overview of SAN Option Configuration";

bool HelpFileExists() {
  DWORD attributes = ::GetFileAttributesA(HelpFilePath().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A reader of the WinHelp file system, written from the public description
// of the format: a header (magic 0x35F3F, directory offset, free list, size);
// internal files with a 9-byte header (reserved, used, flags); B+ trees with
// a 38-byte header whose leaf pages hold (key, value) entries.
class HelpFileReader {
 public:
  explicit HelpFileReader(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    m_data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool IsHelpFile() const { return m_data.size() >= 16 && U32(0) == 0x35F3F && U32(12) == m_data.size(); }

  // The offset of the named internal file, from the directory B+ tree.
  std::optional<uint32_t> FileOffset(const std::string& name) const {
    std::optional<uint32_t> found;
    WalkLeaves(U32(4), [&](size_t key, size_t end) -> size_t {
      size_t nul = key;
      while (nul < end && m_data[nul] != 0) ++nul;
      if (nul + 5 > end) return 0;
      if (std::string(m_data.begin() + key, m_data.begin() + nul) == name) found = U32(nul + 1);
      return nul + 5;
    });
    return found;
  }

  // |CONTEXT: context-name hash -> topic offset.
  std::map<int32_t, uint32_t> ContextNames() const {
    std::map<int32_t, uint32_t> names;
    if (auto at = FileOffset("|CONTEXT")) {
      WalkLeaves(*at, [&](size_t key, size_t end) -> size_t {
        if (key + 8 > end) return 0;
        names[static_cast<int32_t>(U32(key))] = U32(key + 4);
        return key + 8;
      });
    }
    return names;
  }

  // |CTXOMAP: context number -> topic offset.
  std::map<uint32_t, uint32_t> ContextMap() const {
    std::map<uint32_t, uint32_t> map;
    auto at = FileOffset("|CTXOMAP");
    if (!at || *at + 11 > m_data.size()) return map;
    const size_t start = *at + 9, used = U32(*at + 4);
    const size_t count = U16(start);
    if (2 + 8 * count > used || start + used > m_data.size()) return map;
    for (size_t i = 0; i < count; ++i) map[U32(start + 2 + 8 * i)] = U32(start + 6 + 8 * i);
    return map;
  }

  // The classic WinHelp hash of a context name (letters, digits, '.', '_').
  static int32_t ContextHash(const std::string& name) {
    uint32_t h = 0;
    for (unsigned char c : name) {
      uint32_t code = 0;
      if (c >= '1' && c <= '9') code = c - '0';
      if (c == '0') code = 10;
      if (c == '.') code = 12;
      if (c == '_') code = 13;
      if (std::isalpha(c)) code = 17 + (std::toupper(c) - 'A');
      h = h * 43 + code;
    }
    return static_cast<int32_t>(h);
  }

 private:
  uint32_t U16(size_t at) const { return at + 2 <= m_data.size() ? m_data[at] | m_data[at + 1] << 8 : 0; }
  uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }

  // Calls entry(key offset, page end) for each leaf entry of the B+ tree in
  // the internal file at fileAt; entry returns the offset after the entry
  // (0 stops the walk).
  template <class Entry>
  void WalkLeaves(size_t fileAt, Entry entry) const {
    const size_t tree = fileAt + 9;
    if (tree + 38 > m_data.size() || U16(tree) != 0x293B) return;
    const size_t pageSize = U16(tree + 4), pages = U16(tree + 30), levels = U16(tree + 32);
    const size_t firstPage = tree + 38;
    size_t page = U16(tree + 26);
    for (size_t level = 1; level < levels && page < pages; ++level) page = U16(firstPage + page * pageSize + 4);
    for (size_t visited = 0; page < pages && visited < pages; ++visited) {
      const size_t at = firstPage + page * pageSize, end = at + pageSize;
      if (end > m_data.size()) return;
      size_t key = at + 8;
      for (size_t i = 0, count = U16(at + 2); i < count; ++i)
        if ((key = entry(key, end)) == 0) return;
      page = U16(at + 6);  // 0xFFFF after the last leaf
    }
  }

  std::vector<unsigned char> m_data;
};

TEST(ConsoleHelp, TheBuiltFileMapsContext858ToTheOverviewTopic) {
  ASSERT_TRUE(HelpFileExists()) << HelpFilePath();
  HelpFileReader file(HelpFilePath());
  ASSERT_TRUE(file.IsHelpFile());

  std::map<int32_t, uint32_t> names = file.ContextNames();
  auto overview = names.find(HelpFileReader::ContextHash(kOverviewContextName));
  ASSERT_NE(overview, names.end()) << "no topic is named " << kOverviewContextName;
  EXPECT_GT(names.size(), 8u) << "every chapter and section has a topic";

  const std::map<uint32_t, uint32_t> expected = {{kOverviewContext, overview->second}};
  EXPECT_EQ(file.ContextMap(), expected);
}

// The help viewer's window, if one is open.
HWND FindViewer() { return ::FindWindowA("MS_WINHELP", nullptr); }

// The texts of all the viewer's windows (the topic's title and its text are
// in windows of their own).
std::string ViewerText(HWND viewer) {
  std::string all;
  struct Walk {
    std::string* all;
  } walk{&all};
  ::EnumChildWindows(
      viewer,
      [](HWND child, LPARAM p) -> BOOL {
        auto* w = reinterpret_cast<Walk*>(p);
        DWORD_PTR length = 0;
        if (!::SendMessageTimeoutA(child, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return TRUE;
        std::string text(length + 1, '\0');
        DWORD_PTR copied = 0;
        ::SendMessageTimeoutA(child, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                              2000, &copied);
        text.resize(copied);
        *w->all += text + "\n";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&walk));
  return all;
}

TEST(ConsoleHelp, ShowHelpTopicOpensTheOverviewInTheViewer) {
  // WinHelp on a missing file blocks on the viewer's modal box.
  ASSERT_TRUE(HelpFileExists()) << HelpFilePath();
  ASSERT_EQ(FindViewer(), nullptr) << "a help viewer is already open";
  HWND owner = ::CreateWindowExA(0, "STATIC", "help owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(owner, nullptr);

  ShowHelpTopic(owner);
  std::string text;
  HWND viewer = nullptr;
  for (int waited = 0; waited < 15000; waited += 100) {
    if ((viewer = FindViewer()) && (text = ViewerText(viewer)).find(kOverviewTitle) != std::string::npos) break;
    ::Sleep(100);
  }
  EXPECT_NE(viewer, nullptr) << "no help viewer opened";
  EXPECT_NE(text.find(kOverviewTitle), std::string::npos) << text;
  EXPECT_NE(text.find("Primary Server"), std::string::npos) << text;
  EXPECT_EQ(text.find("Messages and what to do"), std::string::npos) << "the contents page, not the overview";

  ::WinHelpA(owner, HelpFilePath().c_str(), HELP_QUIT, 0);
  for (int waited = 0; FindViewer() && waited < 10000; waited += 100) ::Sleep(100);
  EXPECT_EQ(FindViewer(), nullptr) << "the viewer did not close on HELP_QUIT";
  ::DestroyWindow(owner);
}

}  // namespace
