// Checks the compiled resources of Quayside.exe and Gearwise.exe against the
// expected tables of resource_tables.h. The programs are loaded as data files
// from the folder of this test executable; nothing of theirs is run.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Process.h"
#include "resource_tables.h"

namespace {

using namespace resource_tables;

// ---------------------------------------------------------------------------
// Loading the programs

std::string TestDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  const auto cut = dir.find_last_of('\\');
  return cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
}

HMODULE ProgramModule(const char* exe) {
  static std::map<std::string, HMODULE> loaded;
  auto it = loaded.find(exe);
  if (it != loaded.end()) return it->second;
  const std::string path = TestDirectory() + exe;
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  loaded[exe] = module;
  return module;
}

void InitControlsOnce() {
  static bool done = false;
  if (done) return;
  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS |
                                               ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  done = true;
}

INT_PTR CALLBACK NoOpDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// A hidden top-level window: owner of the pop-up dialogs, parent of the child ones.
HWND HostWindow() {
  static HWND host = CreateWindowExA(0, "STATIC", "resource test host", WS_POPUP, 0, 0, 900, 700, nullptr, nullptr,
                                     GetModuleHandleA(nullptr), nullptr);
  return host;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c < 128 ? static_cast<char>(c) : '?');
  return s;
}

bool SameText(const char* a, const std::string& b) { return lstrcmpiA(a, b.c_str()) == 0; }

// ---------------------------------------------------------------------------
// Reading a dialog template (DLGTEMPLATE or DLGTEMPLATEEX)

struct TemplateItem {
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect = {};  // dialog units
  int id = 0;      // -1 for a control without identifier
  int titleOrdinal = -1;
  std::string title;
};

struct DialogTemplate {
  bool found = false;
  DWORD style = 0;
  DWORD exStyle = 0;
  int cx = 0;
  int cy = 0;
  std::string caption;
  unsigned pointSize = 0;
  std::string font;
  std::vector<TemplateItem> items;
};

const WORD* SkipSzOrOrdinal(const WORD* p, std::string* text, int* ordinal) {
  if (ordinal) *ordinal = -1;
  if (*p == 0) return p + 1;
  if (*p == 0xFFFF) {
    if (ordinal) *ordinal = p[1];
    return p + 2;
  }
  std::wstring w;
  while (*p) w.push_back(static_cast<wchar_t>(*p++));
  if (text) *text = Narrow(w);
  return p + 1;
}

const WORD* AlignDword(const WORD* p, const void* base) {
  auto offset = reinterpret_cast<const BYTE*>(p) - static_cast<const BYTE*>(base);
  return reinterpret_cast<const WORD*>(static_cast<const BYTE*>(base) + ((offset + 3) & ~3));
}

DialogTemplate ReadTemplate(HMODULE module, unsigned id) {
  DialogTemplate t;
  HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  if (!res) return t;
  const void* base = LockResource(LoadResource(module, res));
  if (!base) return t;
  const WORD* p = static_cast<const WORD*>(base);
  const bool ex = p[0] == 1 && p[1] == 0xFFFF;
  auto dword = [&p]() {
    DWORD v = p[0] | (static_cast<DWORD>(p[1]) << 16);
    p += 2;
    return v;
  };
  int count = 0;
  if (ex) {
    p += 2;
    dword();  // help id
    t.exStyle = dword();
    t.style = dword();
  } else {
    t.style = dword();
    t.exStyle = dword();
  }
  count = *p++;
  p += 2;  // x, y
  t.cx = static_cast<short>(*p++);
  t.cy = static_cast<short>(*p++);
  p = SkipSzOrOrdinal(p, nullptr, nullptr);  // menu
  p = SkipSzOrOrdinal(p, nullptr, nullptr);  // class
  p = SkipSzOrOrdinal(p, &t.caption, nullptr);
  if (t.style & (DS_SETFONT | DS_SHELLFONT)) {
    t.pointSize = *p++;
    if (ex) p += 2;  // weight, italic and character set
    p = SkipSzOrOrdinal(p, &t.font, nullptr);
  }
  for (int i = 0; i < count; ++i) {
    p = AlignDword(p, base);
    TemplateItem item;
    if (ex) {
      dword();  // help id
      item.exStyle = dword();
      item.style = dword();
    } else {
      item.style = dword();
      item.exStyle = dword();
    }
    const short x = static_cast<short>(*p++), y = static_cast<short>(*p++);
    const short cx = static_cast<short>(*p++), cy = static_cast<short>(*p++);
    item.rect = {x, y, x + cx, y + cy};
    if (ex) {
      const DWORD raw = dword();
      item.id = raw == 0xFFFFFFFF ? -1 : static_cast<int>(raw);
    } else {
      const WORD raw = *p++;
      item.id = raw == 0xFFFF ? -1 : raw;
    }
    p = SkipSzOrOrdinal(p, nullptr, nullptr);  // class
    p = SkipSzOrOrdinal(p, &item.title, &item.titleOrdinal);
    const WORD extra = *p++;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    t.items.push_back(item);
  }
  t.found = true;
  return t;
}

// One created control with its template item.
struct Control {
  TemplateItem item;
  HWND hwnd = nullptr;
  std::string className;
  std::string text;
};

int TypeBits(const std::string& cls, DWORD style) {
  if (SameText("Button", cls)) return static_cast<int>(style & BS_TYPEMASK);
  if (SameText("Static", cls)) return static_cast<int>(style & SS_TYPEMASK);
  if (SameText("SysListView32", cls)) return static_cast<int>(style & LVS_TYPEMASK);
  return -1;
}

bool Matches(const ControlEntry& e, const Control& c) {
  if (e.id != c.item.id) return false;
  if (!SameText(e.className, c.className)) return false;
  if (e.id == -1) {  // unnamed controls are told apart by text and type
    if (e.text && c.text != e.text) return false;
    if (e.type >= 0 && TypeBits(c.className, c.item.style) != e.type) return false;
  }
  return true;
}

std::string Describe(const Control& c) {
  return "control " + std::to_string(c.item.id) + " (" + c.className + " \"" + c.text + "\")";
}

// A dialog created from a program's template, destroyed on scope exit.
class CreatedDialog {
 public:
  CreatedDialog(HMODULE module, unsigned id) {
    InitControlsOnce();
    tmpl_ = ReadTemplate(module, id);
    hwnd_ = CreateDialogParamA(module, MAKEINTRESOURCEA(id), HostWindow(), NoOpDialogProc, 0);
    if (!hwnd_) return;
    HWND child = GetWindow(hwnd_, GW_CHILD);
    for (size_t i = 0; child; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
      Control c;
      c.hwnd = child;
      if (i < tmpl_.items.size()) c.item = tmpl_.items[i];
      char buf[1024] = {};
      GetClassNameA(child, buf, sizeof buf);
      c.className = buf;
      buf[0] = 0;
      GetWindowTextA(child, buf, sizeof buf);
      c.text = buf;
      controls_.push_back(c);
    }
  }
  ~CreatedDialog() {
    if (hwnd_) DestroyWindow(hwnd_);
  }
  CreatedDialog(const CreatedDialog&) = delete;
  CreatedDialog& operator=(const CreatedDialog&) = delete;

  HWND hwnd() const { return hwnd_; }
  const DialogTemplate& tmpl() const { return tmpl_; }
  const std::vector<Control>& controls() const { return controls_; }

  const Control* Find(int id) const {
    for (const auto& c : controls_)
      if (c.item.id == id) return &c;
    return nullptr;
  }

  // Rectangle of a template rectangle in pixels of this dialog.
  RECT Pixels(RECT dlu) const {
    MapDialogRect(hwnd_, &dlu);
    return dlu;
  }

 private:
  DialogTemplate tmpl_;
  HWND hwnd_ = nullptr;
  std::vector<Control> controls_;
};

bool IsContainer(const Control& c) {
  return (SameText("Button", c.className) && TypeBits(c.className, c.item.style) == BS_GROUPBOX) ||
         SameText("SysTabControl32", c.className);
}

bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool Contains(const RECT& outer, const RECT& inner) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// ---------------------------------------------------------------------------
// Reading a packed 8-bit DIB resource

struct PackedDib {
  const BITMAPINFOHEADER* header = nullptr;
  const RGBQUAD* colours = nullptr;
  const BYTE* bits = nullptr;
  int stride = 0;

  explicit PackedDib(HMODULE module, unsigned id) {
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(2));  // RT_BITMAP
    if (!res) return;
    header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, res)));
    if (!header) return;
    const int used = header->biClrUsed ? static_cast<int>(header->biClrUsed)
                                       : (header->biBitCount <= 8 ? 1 << header->biBitCount : 0);
    colours = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const BYTE*>(header) + header->biSize);
    bits = reinterpret_cast<const BYTE*>(colours + used);
    stride = ((header->biWidth * header->biBitCount + 31) / 32) * 4;
  }

  int ColourCount() const { return header->biClrUsed ? static_cast<int>(header->biClrUsed) : 1 << header->biBitCount; }

  // Luminance (0..255) of the pixel at (x, y), counted from the top row.
  int Luminance(int x, int y) const {
    const int h = header->biHeight;
    const int row = h > 0 ? h - 1 - y : y;
    const RGBQUAD& c = colours[bits[row * stride + x]];
    return (299 * c.rgbRed + 587 * c.rgbGreen + 114 * c.rgbBlue) / 1000;
  }
};

// ---------------------------------------------------------------------------
// Tests common to both programs

class ProgramResources : public ::testing::TestWithParam<const ProgramTables*> {
 protected:
  const ProgramTables& tables() const { return *GetParam(); }
  HMODULE module() const { return ProgramModule(GetParam()->exe); }
  void SetUp() override {
    ASSERT_NE(module(), nullptr) << "cannot load " << TestDirectory() << tables().exe << " as a data file";
  }
};

std::string LoadText(HMODULE module, unsigned id) {
  char buf[2048] = {};
  const int n = LoadStringA(module, id, buf, sizeof buf);
  return std::string(buf, n > 0 ? n : 0);
}

TEST_P(ProgramResources, EveryStringHasItsText) {
  for (const auto& s : tables().strings) {
    EXPECT_EQ(LoadText(module(), s.id), s.text) << "string " << s.id;
  }
}

BOOL CALLBACK CollectStringBlock(HMODULE, LPCSTR, LPSTR name, LONG_PTR param) {
  if (IS_INTRESOURCE(name))
    reinterpret_cast<std::vector<unsigned>*>(param)->push_back(
        static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
  return TRUE;
}

TEST_P(ProgramResources, StringTableHoldsNoOtherString) {
  std::vector<unsigned> blocks;
  EnumResourceNamesA(module(), MAKEINTRESOURCEA(6), CollectStringBlock,  // RT_STRING
                     reinterpret_cast<LONG_PTR>(&blocks));
  ASSERT_FALSE(blocks.empty());
  std::set<unsigned> expected;
  for (const auto& s : tables().strings) expected.insert(s.id);
  for (unsigned block : blocks) {
    for (unsigned id = (block - 1) * 16; id < block * 16; ++id) {
      if (!expected.count(id)) {
        EXPECT_EQ(LoadText(module(), id), "") << "unexpected string " << id;
      }
    }
  }
}

TEST_P(ProgramResources, EveryDialogIsCreatedWithItsControls) {
  for (const auto& d : tables().dialogs) {
    SCOPED_TRACE("dialog " + std::to_string(d.id));
    CreatedDialog dlg(module(), d.id);
    ASSERT_TRUE(dlg.tmpl().found);
    ASSERT_NE(dlg.hwnd(), nullptr);
    ASSERT_EQ(dlg.controls().size(), dlg.tmpl().items.size());

    const auto& t = dlg.tmpl();
    EXPECT_EQ(t.caption, d.caption);
    EXPECT_EQ(t.style & d.styleOn, d.styleOn);
    EXPECT_EQ(t.style & d.styleOff, 0u);
    EXPECT_EQ(t.exStyle & d.exStyleOn, d.exStyleOn);
    if (d.font) {
      EXPECT_EQ(t.font, d.font);
      EXPECT_EQ(t.pointSize, d.pointSize);
    }
    if (d.width) {
      EXPECT_EQ(t.cx, d.width);
      EXPECT_EQ(t.cy, d.height);
    }

    std::vector<bool> used(dlg.controls().size(), false);
    for (const auto& e : d.controls) {
      SCOPED_TRACE("expected control " + std::to_string(e.id) + " " + e.className +
                   (e.text ? std::string(" \"") + e.text + "\"" : std::string()));
      size_t k = 0;
      while (k < dlg.controls().size() && (used[k] || !Matches(e, dlg.controls()[k]))) ++k;
      if (k == dlg.controls().size()) {
        ADD_FAILURE() << "missing";
        continue;
      }
      used[k] = true;
      const Control& c = dlg.controls()[k];
      if (e.text) {
        EXPECT_EQ(c.text, e.text);
      }
      if (e.type >= 0) {
        EXPECT_EQ(TypeBits(c.className, c.item.style), e.type);
      }
      EXPECT_EQ(c.item.style & e.styleOn, e.styleOn);
      EXPECT_EQ(c.item.style & e.styleOff, 0u);
      if (e.shown == Shown::Visible) {
        EXPECT_TRUE(c.item.style & WS_VISIBLE);
      }
      if (e.shown == Shown::Hidden) {
        EXPECT_FALSE(c.item.style & WS_VISIBLE);
      }
      if (e.icon) {
        EXPECT_EQ(c.item.titleOrdinal, static_cast<int>(e.icon));
        EXPECT_NE(SendMessageA(c.hwnd, STM_GETICON, 0, 0), 0);
      }
    }
    for (size_t k = 0; k < used.size(); ++k) {
      if (!used[k]) ADD_FAILURE() << "unexpected " << Describe(dlg.controls()[k]);
    }
  }
}

// Visible controls sit inside their dialog and do not cover one another;
// group boxes and tab controls are frames around others.
TEST_P(ProgramResources, DialogLayoutIsTidy) {
  for (const auto& d : tables().dialogs) {
    SCOPED_TRACE("dialog " + std::to_string(d.id));
    CreatedDialog dlg(module(), d.id);
    ASSERT_NE(dlg.hwnd(), nullptr);
    const RECT client = {0, 0, dlg.tmpl().cx, dlg.tmpl().cy};
    const auto& cs = dlg.controls();
    for (size_t i = 0; i < cs.size(); ++i) {
      if (!(cs[i].item.style & WS_VISIBLE)) continue;
      RECT r = cs[i].item.rect;
      if (TypeBits(cs[i].className, cs[i].item.style) == SS_ICON && SameText("Static", cs[i].className))
        r = {r.left, r.top, r.left + 21, r.top + 20};  // an icon takes 32x32 pixels
      EXPECT_TRUE(Contains(client, r)) << Describe(cs[i]) << " leaves the dialog";
      if (IsContainer(cs[i])) continue;
      for (size_t j = i + 1; j < cs.size(); ++j) {
        if (!(cs[j].item.style & WS_VISIBLE) || IsContainer(cs[j])) continue;
        EXPECT_FALSE(Overlap(r, cs[j].item.rect)) << Describe(cs[i]) << " overlaps " << Describe(cs[j]);
      }
    }
  }
}

// What a control shows that its own rectangle cannot hold, or empty: a
// static text (wrapped as it wraps it) or a button's label.
std::string CutText(const Control& c) {
  const int type = TypeBits(c.className, c.item.style);
  const bool text = SameText("Static", c.className) && type <= SS_LEFTNOWORDWRAP && type != SS_ICON;
  const bool button = SameText("Button", c.className) && type != BS_GROUPBOX;
  if (c.text.empty() || (!text && !button)) return std::string();
  RECT client{};
  GetClientRect(c.hwnd, &client);
  HDC dc = GetDC(c.hwnd);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(c.hwnd, WM_GETFONT, 0, 0)));
  int room = client.right;
  if (button && type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON)
    room -= GetSystemMetrics(SM_CXMENUCHECK) + 4;  // the box or circle and its gap
  RECT need{0, 0, room, 0};
  UINT how = DT_CALCRECT | DT_EXPANDTABS | ((button || type == SS_LEFTNOWORDWRAP) ? DT_SINGLELINE : DT_WORDBREAK);
  DrawTextA(dc, c.text.c_str(), -1, &need, how);
  SelectObject(dc, old);
  ReleaseDC(c.hwnd, dc);
  if (need.right <= room && need.bottom <= client.bottom) return std::string();
  return Describe(c) + " needs " + std::to_string(need.right) + "x" + std::to_string(need.bottom) + " of " +
         std::to_string(room) + "x" + std::to_string(client.bottom);
}

// Both programs declare themselves DPI-aware: at 192 DPI (Wine's LogPixels,
// read when a process starts, so the check runs in a child process started
// with it) every visible control lies inside its dialog and every static
// text and button label fits its control.
// The manifest asks for common controls 6 and says that the program draws
// itself for the screen's DPI (per monitor where Windows offers it).
TEST_P(ProgramResources, ManifestDeclaresDpiAwareness) {
  HRSRC found = FindResourceA(module(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module(), found)));
  ASSERT_NE(text, nullptr);
  const std::string manifest(text, SizeofResource(module(), found));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
}

constexpr char kHighDpiChild[] = "KV_RESOURCE_TEST_HIGH_DPI";
constexpr DWORD kHighDpi = 192;

TEST_P(ProgramResources, DialogsFitAtHighDpi) {
  if (GetEnvironmentVariableA(kHighDpiChild, nullptr, 0) == 0) {
    HKEY desktop = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &desktop, nullptr),
              ERROR_SUCCESS);
    DWORD before = 0, size = sizeof(before);
    const bool had = RegQueryValueExA(desktop, "LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&before),
                                      &size) == ERROR_SUCCESS;
    RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kHighDpi), sizeof(kHighDpi));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --gtest_filter=" + info->test_suite_name() + "." + info->name();
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    SetEnvironmentVariableA(kHighDpiChild, "1");
    const BOOL started = kv::StartProcess(exe, command.data(), FALSE, 0, nullptr, &si, &pi);
    SetEnvironmentVariableA(kHighDpiChild, nullptr);
    DWORD exitCode = 1;
    if (started) {
      WaitForSingleObject(pi.hProcess, 60000);
      GetExitCodeProcess(pi.hProcess, &exitCode);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
    if (had)
      RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&before), sizeof(before));
    else
      RegDeleteValueA(desktop, "LogPixels");
    RegCloseKey(desktop);
    ASSERT_TRUE(started);
    EXPECT_EQ(exitCode, 0u) << "the dialogs at " << kHighDpi << " DPI: see the child's output above";
    return;
  }
  SetProcessDPIAware();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  ASSERT_EQ(dpi, static_cast<int>(kHighDpi));
  for (const auto& d : tables().dialogs) {
    SCOPED_TRACE("dialog " + std::to_string(d.id));
    CreatedDialog dlg(module(), d.id);
    ASSERT_NE(dlg.hwnd(), nullptr);
    RECT client{};
    GetClientRect(dlg.hwnd(), &client);
    for (const Control& c : dlg.controls()) {
      if (!(c.item.style & WS_VISIBLE)) continue;
      RECT r{};
      GetWindowRect(c.hwnd, &r);
      MapWindowPoints(nullptr, dlg.hwnd(), reinterpret_cast<POINT*>(&r), 2);
      EXPECT_TRUE(Contains(client, r)) << Describe(c) << " leaves the dialog";
      EXPECT_EQ(CutText(c), "");
    }
  }
}

TEST_P(ProgramResources, ControlsArePlacedTogether) {
  for (const auto& p : tables().placements) {
    SCOPED_TRACE("dialog " + std::to_string(p.dialog) + ", controls " + std::to_string(p.control) + " and " +
                 std::to_string(p.other));
    const DialogTemplate t = ReadTemplate(module(), p.dialog);
    const TemplateItem *a = nullptr, *b = nullptr;
    for (const auto& item : t.items) {
      if (item.id == p.control) a = &item;
      if (item.id == p.other) b = &item;
    }
    ASSERT_TRUE(a && b);
    if (p.placement == Placement::SameRect) {
      EXPECT_TRUE(EqualRect(&a->rect, &b->rect));
    } else {
      EXPECT_TRUE(Contains(b->rect, a->rect));
    }
  }
}

TEST_P(ProgramResources, MenusHoldTheirCommands) {
  for (const auto& m : tables().menus) {
    SCOPED_TRACE("menu " + std::to_string(m.id));
    HMENU menu = LoadMenuA(module(), MAKEINTRESOURCEA(m.id));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), static_cast<int>(m.popups.size()));
    for (size_t p = 0; p < m.popups.size(); ++p) {
      SCOPED_TRACE("popup " + std::to_string(p));
      HMENU popup = GetSubMenu(menu, static_cast<int>(p));
      ASSERT_NE(popup, nullptr);
      const auto& items = m.popups[p];
      ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(items.size()));
      for (size_t i = 0; i < items.size(); ++i) {
        char text[256] = {};
        GetMenuStringA(popup, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(popup, static_cast<int>(i)), items[i].id) << "item " << i;
        EXPECT_STREQ(text, items[i].text) << "item " << i;
        EXPECT_EQ(GetMenuState(popup, static_cast<UINT>(i), MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED), 0u)
            << "item " << i;
      }
    }
    DestroyMenu(menu);
  }
}

TEST_P(ProgramResources, BitmapsLoadWithTheirSizes) {
  for (const auto& b : tables().bitmaps) {
    SCOPED_TRACE("bitmap " + std::to_string(b.id));
    HBITMAP bmp =
        static_cast<HBITMAP>(LoadImageA(module(), MAKEINTRESOURCEA(b.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(bmp, nullptr);
    BITMAP info = {};
    ASSERT_NE(GetObjectA(bmp, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, b.width);
    EXPECT_EQ(info.bmHeight, b.height);
    if (b.bitsPerPixel) {
      EXPECT_EQ(info.bmPlanes * info.bmBitsPixel, b.bitsPerPixel);
    }
    DeleteObject(bmp);
  }
}

// Each icon group holds exactly the listed sizes, and every size loads.
TEST_P(ProgramResources, IconsLoadInTheirSizes) {
#pragma pack(push, 2)
  struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
  };
#pragma pack(pop)
  for (const auto& icon : tables().icons) {
    SCOPED_TRACE("icon " + std::to_string(icon.id));
    HRSRC res = FindResourceA(module(), MAKEINTRESOURCEA(icon.id), MAKEINTRESOURCEA(14));
    ASSERT_NE(res, nullptr);  // RT_GROUP_ICON
    const WORD* dir = static_cast<const WORD*>(LockResource(LoadResource(module(), res)));
    ASSERT_NE(dir, nullptr);
    const auto* entries = reinterpret_cast<const GroupEntry*>(dir + 3);
    std::multiset<int> sizes;
    for (int i = 0; i < dir[2]; ++i) {
      EXPECT_EQ(entries[i].width, entries[i].height);
      sizes.insert(entries[i].width ? entries[i].width : 256);
      if (icon.colours) {
        EXPECT_EQ(1 << (entries[i].planes * entries[i].bitCount), icon.colours) << "image " << i;
      }
    }
    EXPECT_EQ(sizes, std::multiset<int>(icon.sizes.begin(), icon.sizes.end()));
    for (int size : icon.sizes) {
      HICON h = static_cast<HICON>(LoadImageA(module(), MAKEINTRESOURCEA(icon.id), IMAGE_ICON, size, size, 0));
      ASSERT_NE(h, nullptr) << size;
      ICONINFO ii = {};
      ASSERT_TRUE(GetIconInfo(h, &ii));
      BITMAP mask = {};
      GetObjectA(ii.hbmMask, sizeof mask, &mask);
      EXPECT_EQ(mask.bmWidth, size);
      EXPECT_EQ(ii.hbmColor ? mask.bmHeight : mask.bmHeight / 2, size);
      if (ii.hbmColor) DeleteObject(ii.hbmColor);
      DeleteObject(ii.hbmMask);
      DestroyIcon(h);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramResources, ::testing::Values(&kQuayside, &kGearwise), [](const auto& info) {
  std::string name = info.param->exe;
  return name.substr(0, name.find('.'));
});

// ---------------------------------------------------------------------------
// Quayside: image strips of the tree and the list

TEST(QuaysideImages, StripsMakeThreeMaskedImages) {
  HMODULE module = ProgramModule(kQuayside.exe);
  ASSERT_NE(module, nullptr);
  InitControlsOnce();
  for (const ImageStrip& strip : kImageStrips) {
    const unsigned id = strip.id;
    const int n = strip.size;
    SCOPED_TRACE("bitmap " + std::to_string(id));
    HIMAGELIST list = ImageList_LoadImageA(module, MAKEINTRESOURCEA(id), n, 3, kImageMask, IMAGE_BITMAP, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(list), 3);
    ImageList_Destroy(list);

    // Every image has a picture on a background of the mask colour.
    HBITMAP bmp =
        static_cast<HBITMAP>(LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(bmp, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    for (int image = 0; image < 3; ++image) {
      const int x0 = image * n;
      for (POINT corner : {POINT{0, 0}, POINT{n - 1, 0}, POINT{0, n - 1}, POINT{n - 1, n - 1}}) {
        EXPECT_EQ(GetPixel(dc, x0 + corner.x, corner.y), kImageMask)
            << "image " << image << " corner " << corner.x << "," << corner.y;
      }
      int drawn = 0;
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) drawn += GetPixel(dc, x0 + x, y) != kImageMask;
      EXPECT_GT(drawn, n * n / 4) << "image " << image << " is nearly empty";
      EXPECT_LT(drawn, n * n) << "image " << image << " has no transparent background";

      // The mask colour is the background only: every pixel of it reaches
      // the image's edge through others, so no part of the picture (a shaded
      // bar, a screen) drawn in that colour turns into a hole.
      std::vector<std::vector<bool>> outside(n, std::vector<bool>(n, false));
      std::vector<POINT> todo;
      for (int k = 0; k < n; ++k)
        for (POINT p : {POINT{k, 0}, POINT{k, n - 1}, POINT{0, k}, POINT{n - 1, k}}) todo.push_back(p);
      while (!todo.empty()) {
        POINT p = todo.back();
        todo.pop_back();
        if (p.x < 0 || p.y < 0 || p.x >= n || p.y >= n || outside[p.y][p.x]) continue;
        if (GetPixel(dc, x0 + p.x, p.y) != kImageMask) continue;
        outside[p.y][p.x] = true;
        for (POINT n : {POINT{p.x + 1, p.y}, POINT{p.x - 1, p.y}, POINT{p.x, p.y + 1}, POINT{p.x, p.y - 1}})
          todo.push_back(n);
      }
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
          EXPECT_TRUE(outside[y][x] || GetPixel(dc, x0 + x, y) != kImageMask)
              << "image " << image << " has the mask colour inside its picture at " << x << "," << y;
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
}

// ---------------------------------------------------------------------------
// Gearwise: page backgrounds

class GearwiseBackgrounds : public ::testing::Test {
 protected:
  HMODULE module() const { return ProgramModule(kGearwise.exe); }
  void SetUp() override { ASSERT_NE(module(), nullptr); }
};

// The pages paint with a pattern brush made from the packed DIB and realise a
// palette from its colour table: 8 bits, 256 colours, no compression.
TEST_F(GearwiseBackgrounds, AreUncompressedPaletteBitmapsForPatternBrushes) {
  for (const auto& b : kGearwiseBitmaps) {
    SCOPED_TRACE("bitmap " + std::to_string(b.id));
    PackedDib dib(module(), b.id);
    ASSERT_NE(dib.header, nullptr);
    EXPECT_EQ(dib.header->biBitCount, 8);
    EXPECT_EQ(dib.header->biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(dib.ColourCount(), 256);
    HBRUSH brush = CreateDIBPatternBrushPt(dib.header, DIB_RGB_COLORS);
    EXPECT_NE(brush, nullptr);
    if (brush) DeleteObject(brush);

    HBITMAP bmp = static_cast<HBITMAP>(
        LoadImageA(module(), MAKEINTRESOURCEA(b.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_DEFAULTSIZE));
    ASSERT_NE(bmp, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    RGBQUAD table[256];
    EXPECT_EQ(GetDIBColorTable(dc, 0, 256, table), 256u);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
}

// The pixels (in the page) that a static's or a button's text covers: the
// text's extent in the control's font, wrapped to the control's width; a
// radio button's or check box's text starts right of its box.
RECT DrawnText(const Control& c, const RECT& control) {
  HDC dc = GetDC(c.hwnd);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(c.hwnd, WM_GETFONT, 0, 0)));
  const bool button = SameText("Button", c.className);
  const int box = button ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : 0;
  RECT text = {0, 0, control.right - control.left - box, 0};
  DrawTextA(dc, c.text.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(c.hwnd, dc);
  const int top = button ? control.top : control.top + text.top;
  const int bottom = button ? control.bottom : top + (text.bottom - text.top);
  return {control.left + box + text.left, top, control.left + box + text.right, bottom};
}

// Black text must stay readable wherever a page puts text over its picture.
TEST_F(GearwiseBackgrounds, StayLightUnderThePageTexts) {
  for (const auto& pb : kPageBackgrounds) {
    SCOPED_TRACE("page " + std::to_string(pb.page) + " over bitmap " + std::to_string(pb.bitmap));
    PackedDib dib(module(), pb.bitmap);
    ASSERT_NE(dib.header, nullptr);
    CreatedDialog page(module(), pb.page);
    ASSERT_NE(page.hwnd(), nullptr);
    const int w = dib.header->biWidth, h = std::abs(dib.header->biHeight);
    for (const auto& c : page.controls()) {
      const bool text = SameText("Static", c.className) ? TypeBits(c.className, c.item.style) != SS_ICON
                                                        : SameText("Button", c.className);
      if (!text) continue;
      const RECT r = page.Pixels(c.item.rect);
      int darkest = 255;
      for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)  // the brush repeats the picture
          darkest = std::min(darkest, dib.Luminance(x % w, y % h));
      EXPECT_GE(darkest, 150) << Describe(c);

      // Where the text itself is drawn, the picture holds nothing but its
      // light background: no text runs into the hardware.
      const RECT drawn = DrawnText(c, r);
      int quiet = 255;
      for (int y = drawn.top; y < drawn.bottom; ++y)
        for (int x = drawn.left; x < drawn.right; ++x) quiet = std::min(quiet, dib.Luminance(x % w, y % h));
      EXPECT_GE(quiet, 230) << Describe(c) << " is drawn over the picture at " << drawn.left << "," << drawn.top << "-"
                            << drawn.right << "," << drawn.bottom;
    }
  }
}

// The Options page's title and subtitle lie in the header band of its
// picture: above the rule that closes the band and left of the emblem.
TEST_F(GearwiseBackgrounds, HeaderBandHoldsTheOptionsTitles) {
  PackedDib band(module(), kHeaderBandBitmap);
  ASSERT_NE(band.header, nullptr);
  const int w = band.header->biWidth;

  // The rule: the first clearly darker row down the left edge.
  int rule = -1;
  for (int y = 0; y < band.header->biHeight / 2 && rule < 0; ++y)
    if (band.Luminance(8, y) < 200) rule = y;
  ASSERT_GT(rule, 0) << "no rule under the header band";

  // The emblem: the leftmost clearly darker column of the band.
  int emblem = w;
  for (int x = w / 2; x < w && emblem == w; ++x)
    for (int y = 0; y < rule; ++y)
      if (band.Luminance(x, y) < 200) {
        emblem = x;
        break;
      }

  CreatedDialog page(module(), kHeaderBandPage);
  ASSERT_NE(page.hwnd(), nullptr);
  RECT client = {};
  GetClientRect(page.hwnd(), &client);
  EXPECT_LT(emblem + 8, client.right) << "the emblem is out of the page";
  for (int id : kHeaderBandControls) {
    const Control* c = page.Find(id);
    ASSERT_NE(c, nullptr) << id;
    const RECT r = page.Pixels(c->item.rect);
    EXPECT_LE(r.bottom, rule) << "control " << id << " reaches under the band";
    EXPECT_LE(r.right, emblem) << "control " << id << " runs into the emblem";
  }
  for (const auto& c : page.controls()) {
    if (std::find(std::begin(kHeaderBandControls), std::end(kHeaderBandControls), c.item.id) !=
        std::end(kHeaderBandControls))
      continue;
    EXPECT_GT(page.Pixels(c.item.rect).top, rule) << Describe(c) << " sits in the band";
  }

  // The plain picture has no band.
  PackedDib plain(module(), 138);
  ASSERT_NE(plain.header, nullptr);
  for (int y = 0; y < rule + 2; ++y) EXPECT_GE(plain.Luminance(8, y), 200) << "row " << y;
}

}  // namespace
