// The Device Configuration wizard driven for real: its sheet runs modally on
// the test's thread, a driver thread moves through the pages, the scripted
// user answers every message box, and option plug-ins built for the tests
// (tests/wizard_testplugin.cpp) stand in for the product's.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "GearwiseApp.h"
#include "GearwisePages.h"
#include "GearwiseSheet.h"
#include "ScriptedUser.h"
#include "SheetTemplate.h"
#include "resource.h"
#include "wizard_support.h"

namespace {

using wiztest::FocusIn;
using wiztest::PressKey;
using wiztest::SheetDriver;
using wiztest::WaitUntil;

const char kStopQuestion[] =
    "Tape Engine service will be stopped in order to allow device configuration.\nWould you like to continue?";
const char kActivityRunning[] =
    "Device Configuration cannot be started! It requires all other Kestrava 2000 activities (Backup, Restore, etc.) "
    "to be inactive.";
const char kStopping[] = "Please wait while stopping Tape Engine service...";
const char kRestartNotice[] = "Tape Engine service has to be restarted in order to the changes take effect!";
const char kExitQuestion[] = "Exit Device Configuration?";

// One click of the left mouse button on a button, as the mouse gives it;
// second: the second click of a double-click.
void PostClick(HWND button, bool second = false) {
  const LPARAM at = MAKELPARAM(5, 5);
  ::PostMessageA(button, second ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageA(button, WM_LBUTTONUP, 0, at);
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

LOGFONTA FontOf(HFONT font) {
  LOGFONTA lf{};
  ::GetObjectA(font, sizeof(lf), &lf);
  return lf;
}

int PointsToHeight(int points) {
  kv::CWindowDC screen(nullptr);
  return -::MulDiv(points, ::GetDeviceCaps(screen.Get(), LOGPIXELSY), 72);
}

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"KV_PLUGIN_LOG", "KV_PLUGIN_RESULT", "KV_PLUGIN_CHANGE", "KV_PLUGIN_STATUS"})
      wiztest::SetEnv(name, "");
    UsePlugins("full");
  }
  void TearDown() override { ::SetDllDirectoryA(nullptr); }

  static void UsePlugins(const char* variant) {
    ::SetDllDirectoryA((wiztest::ExeDir() + "plugins\\" + variant).c_str());
  }
  static std::string Log() { return wiztest::Env("KV_PLUGIN_LOG"); }

  // Runs the wizard the way the program does, with the script on a driver
  // thread; a script that gets stuck ends with the sheet forced closed.
  void Run(const std::function<void(SheetDriver&)>& script) {
    std::thread driver([&] { Drive(script); });
    m_app.RunWizard();
    driver.join();
  }
  // The same with a sheet of the test's own, for looking into its objects.
  void RunSheet(CGearwiseSheet& sheet, const std::function<void(SheetDriver&)>& script) {
    std::thread driver([&] { Drive(script); });
    sheet.DoModal();
    driver.join();
  }
  static void Drive(const std::function<void(SheetDriver&)>& script) {
    SheetDriver d;
    if (!d.WaitForSheet()) return;
    script(d);
    if (!d.WaitGone()) {
      ADD_FAILURE() << "the sheet stayed open";
      wiztest::ForceClose(d.Sheet());
    }
  }
  // Presses Next and waits until the sheet has handled it (boxes it shows
  // are answered by the scripted user meanwhile).
  static void NextNow(SheetDriver& d) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(d.Sheet(), PSM_PRESSBUTTON, PSBTN_NEXT, 0, SMTO_NORMAL, 30000, &r);
  }
  static void BackNow(SheetDriver& d) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(d.Sheet(), PSM_PRESSBUTTON, PSBTN_BACK, 0, SMTO_NORMAL, 30000, &r);
  }
  // Welcome -> Options -> Next with the given option.
  static bool LaunchFromWelcome(SheetDriver& d, int option) {
    if (!d.WaitForPage(1002)) return false;
    NextNow(d);
    if (!d.WaitForPage(1001)) return false;
    d.Choose(option);
    NextNow(d);
    return true;
  }
  static void ExitNow(SheetDriver& d) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(d.Sheet(), PSM_PRESSBUTTON, PSBTN_CANCEL, 0, SMTO_NORMAL, 30000, &r);
  }
  static void SetCheck(SheetDriver& d, int id, int state) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(::GetDlgItem(d.CurrentPage(), id), BM_SETCHECK, static_cast<WPARAM>(state), 0, SMTO_NORMAL,
                          5000, &r);
  }

  CGearwiseApp m_app;
};

// ---------------------------------------------------------------------------
// The sheet and its pages

TEST_F(Wizard, SheetHasItsClassCaptionIconMenuAndExitButtonAndAsksBeforeLeavingEveryPage) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDNO).AnswerBox(IDNO).AnswerBox(IDNO).AnswerBox(IDYES);
  HWND seenSheet = nullptr;
  Run([&](SheetDriver& d) {
    seenSheet = d.Sheet();
    char cls[64] = {};
    ::GetClassNameA(d.Sheet(), cls, sizeof(cls));
    EXPECT_STREQ(cls, "Device Configuration");
    EXPECT_EQ(::FindWindowA("Device Configuration", nullptr), d.Sheet());
    EXPECT_EQ(kv::GetText(d.Sheet()), "Device Configuration");
    HICON icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_GEARWISE));
    EXPECT_EQ(reinterpret_cast<HICON>(::GetClassLongPtrA(d.Sheet(), GCLP_HICON)), icon);
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageA(d.Sheet(), WM_GETICON, ICON_SMALL, 0)), icon);
    LONG style = ::GetWindowLongA(d.Sheet(), GWL_STYLE);
    EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX), WS_SYSMENU | WS_MINIMIZEBOX);
    HMENU menu = ::GetSystemMenu(d.Sheet(), FALSE);
    EXPECT_EQ(::GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_EQ(::GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_NE(::GetMenuState(menu, SC_MOVE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_NE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_EQ(kv::GetText(::GetDlgItem(d.Sheet(), IDCANCEL)), "Exit");
    HWND help = ::GetDlgItem(d.Sheet(), IDHELP);
    EXPECT_FALSE(help && ::IsWindowVisible(help));

    if (!d.WaitForPage(1002)) return;
    EXPECT_TRUE(d.WaitForButtons(false, true));
    // Exit declined on every page keeps the wizard where it was.
    d.Exit();
    ::Sleep(300);
    EXPECT_EQ(d.CurrentPageId(), 1002);
    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    ::PostMessageA(d.Sheet(), WM_CLOSE, 0, 0);  // the window's Close asks too
    ::Sleep(300);
    EXPECT_EQ(d.CurrentPageId(), 1001);
    d.Choose(IDC_OPTION_REMOVABLE_DRIVE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    ::PostMessageA(d.Sheet(), WM_SYSCOMMAND, SC_CLOSE, 0);  // the system menu's Close
    ::Sleep(300);
    EXPECT_EQ(d.CurrentPageId(), 1000);
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 4u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, "Exit Device Configuration?");
    EXPECT_EQ(box.caption, "Device Configuration");
    EXPECT_EQ(box.flags, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(box.owner, seenSheet);
  }
  EXPECT_EQ(m_app.m_hMainWnd, nullptr);
}

TEST_F(Wizard, PagesShowTheirHeadingsInTheFontsOfTheirStringsAndTheOptionsInOrder) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    LOGFONTA title =
        FontOf(reinterpret_cast<HFONT>(::SendMessageA(::GetDlgItem(d.CurrentPage(), 1011), WM_GETFONT, 0, 0)));
    EXPECT_STREQ(title.lfFaceName, "Verdana Bold");
    EXPECT_EQ(title.lfHeight, PointsToHeight(12));
    EXPECT_EQ(title.lfWeight, 400);
    EXPECT_EQ(title.lfQuality, DRAFT_QUALITY);
    EXPECT_EQ(title.lfPitchAndFamily, VARIABLE_PITCH | FF_SWISS);

    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    EXPECT_TRUE(d.WaitForButtons(true, true));
    EXPECT_EQ(d.Text(1028), "Options");
    EXPECT_EQ(d.Text(1027),
              "From here you can choose the Kestrava 2000 option in order to configure your backup devices.");
    LOGFONTA section =
        FontOf(reinterpret_cast<HFONT>(::SendMessageA(::GetDlgItem(d.CurrentPage(), 1028), WM_GETFONT, 0, 0)));
    EXPECT_STREQ(section.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(section.lfHeight, PointsToHeight(9));
    EXPECT_EQ(section.lfWeight, 700);
    EXPECT_EQ(::SendMessageA(::GetDlgItem(d.CurrentPage(), 1000), BM_GETCHECK, 0, 0), BST_CHECKED);
    for (int id : {1000, 1001, 1002, 1007}) EXPECT_TRUE(d.Visible(id) && d.Enabled(id)) << id;
    EXPECT_FALSE(d.Visible(1006));
    EXPECT_FALSE(d.Enabled(1006));
    EXPECT_TRUE(d.Visible(1009));
    EXPECT_EQ(d.Enabled(1009), IsWindowsNt5() != FALSE);
    EXPECT_FALSE(d.Visible(1004));
    EXPECT_FALSE(d.Visible(1005));

    BackNow(d);
    if (!d.WaitForPage(1002)) return;
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
}

// The palette entries of a page are the colour table of its bitmap resource.
void ExpectPaletteOfBitmap(HPALETTE palette, UINT bitmapId) {
  ASSERT_NE(palette, nullptr);
  HRSRC res = ::FindResourceA(nullptr, MAKEINTRESOURCEA(bitmapId), MAKEINTRESOURCEA(2));
  ASSERT_NE(res, nullptr);
  auto* info = static_cast<const BITMAPINFO*>(::LockResource(::LoadResource(nullptr, res)));
  ASSERT_EQ(info->bmiHeader.biBitCount, 8);
  PALETTEENTRY entries[256] = {};
  ASSERT_EQ(::GetPaletteEntries(palette, 0, 256, entries), 256u);
  int colours = info->bmiHeader.biClrUsed ? static_cast<int>(info->bmiHeader.biClrUsed) : 256;
  for (int i = 0; i < colours; ++i) {
    EXPECT_EQ(entries[i].peRed, info->bmiColors[i].rgbRed) << i;
    EXPECT_EQ(entries[i].peGreen, info->bmiColors[i].rgbGreen) << i;
    EXPECT_EQ(entries[i].peBlue, info->bmiColors[i].rgbBlue) << i;
  }
}

TEST_F(Wizard, PagesPaintTheirBitmapsAsPatternBrushesWithTheirOwnPalettes) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  auto sheetOwner = std::make_unique<CGearwiseSheet>(IDS_WIZARD_CAPTION, nullptr, 0, nullptr, nullptr, nullptr);
  CGearwiseSheet& sheet = *sheetOwner;
  RunSheet(sheet, [&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    EXPECT_NE(sheet.m_nClassEdit, static_cast<int>(gearwise::ClassEdit::None));
    CGearwisePage* welcome = sheet.WelcomePage();
    ExpectPaletteOfBitmap(welcome->GetBackgroundPalette(), IDB_BACKGROUND);
    LOGBRUSH brush{};
    ASSERT_NE(::GetObjectA(welcome->GetBackgroundBrush(), sizeof(brush), &brush), 0);
    EXPECT_TRUE(brush.lbStyle == BS_DIBPATTERN || brush.lbStyle == BS_DIBPATTERNPT);

    // Control colours: statics are transparent over the page's brush with its
    // palette selected; edits and list boxes keep the default colours.
    HWND page = d.CurrentPage();
    kv::CWindowDC screen(nullptr);
    kv::CMemoryDC dc(screen.Get());
    HWND footer = ::GetDlgItem(page, 1012);
    ::SetBkMode(dc.Get(), OPAQUE);
    LRESULT staticBrush =
        ::SendMessageA(page, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc.Get()), reinterpret_cast<LPARAM>(footer));
    EXPECT_EQ(reinterpret_cast<HBRUSH>(staticBrush), welcome->GetBackgroundBrush());
    EXPECT_EQ(::GetBkMode(dc.Get()), TRANSPARENT);
    EXPECT_EQ(::GetCurrentObject(dc.Get(), OBJ_PAL), welcome->GetBackgroundPalette());
    LRESULT dialogBrush =
        ::SendMessageA(page, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc.Get()), reinterpret_cast<LPARAM>(page));
    EXPECT_EQ(reinterpret_cast<HBRUSH>(dialogBrush), welcome->GetBackgroundBrush());
    LRESULT editBrush =
        ::SendMessageA(page, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc.Get()), reinterpret_cast<LPARAM>(footer));
    EXPECT_NE(reinterpret_cast<HBRUSH>(editBrush), welcome->GetBackgroundBrush());
    ::SelectPalette(dc.Get(), static_cast<HPALETTE>(::GetStockObject(DEFAULT_PALETTE)), FALSE);

    // The picture is what the page shows: a pixel of the page's client area
    // is the bitmap's pixel at the same place.
    kv::CGdiObject bitmap, palette;
    ASSERT_TRUE(LoadBitmapPalette(IDB_BACKGROUND, &bitmap, &palette));
    kv::CMemoryDC picture(screen.Get());
    kv::CSelectObject selected(picture.Get(), bitmap.Get());
    kv::CWindowDC pageDc(page);
    ::RedrawWindow(page, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(200);
    int same = 0;
    const POINT probes[] = {{400, 150}, {450, 200}, {500, 100}, {420, 260}};
    for (POINT p : probes) same += ::GetPixel(pageDc.Get(), p.x, p.y) == ::GetPixel(picture.Get(), p.x, p.y);
    EXPECT_EQ(same, 4);

    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    ExpectPaletteOfBitmap(sheet.OptionsPage()->GetBackgroundPalette(), IDB_BACKGROUND_HEADER);
    EXPECT_NE(sheet.OptionsPage()->GetBackgroundBrush(), nullptr);
    d.Choose(IDC_OPTION_REMOVABLE_DRIVE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    ExpectPaletteOfBitmap(sheet.CompletePage()->GetBackgroundPalette(), IDB_BACKGROUND);
    EXPECT_NE(sheet.CompletePage()->GetBackgroundBrush(), nullptr);
    EXPECT_NE(CGearwisePage::SectionFont(), nullptr);
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  sheetOwner.reset();
  EXPECT_EQ(CGearwisePage::SectionFont(), nullptr);  // deleted with the pages
}

// ---------------------------------------------------------------------------
// The Complete page

// The Complete page also takes the keyboard: a button has the focus, Tab
// moves it, Enter presses it and Escape is Exit.
TEST_F(Wizard, ChangeDuringRaidShowsTheRestartNoticeAndKeepsBack) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDNO).AnswerBox(IDYES);
  wiztest::SetEnv("KV_PLUGIN_CHANGE", "1");
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_RAID_DEVICE) || !d.WaitForPage(1000)) return;
    EXPECT_TRUE(d.WaitForButtons(true, false));
    EXPECT_TRUE(d.Visible(1003));
    EXPECT_TRUE(d.Visible(1004));
    EXPECT_TRUE(d.Visible(1014));
    EXPECT_EQ(d.Text(1003), kRestartNotice);
    HWND back = ::GetDlgItem(d.Sheet(), wiztest::kBackButton), exit = ::GetDlgItem(d.Sheet(), IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return FocusIn(d.Sheet()) == back; })) << FocusIn(d.Sheet());
    PressKey(VK_TAB);
    EXPECT_TRUE(WaitUntil([&] { return FocusIn(d.Sheet()) == exit; })) << FocusIn(d.Sheet());
    PressKey(VK_ESCAPE);  // Exit? No
    EXPECT_TRUE(WaitUntil([&] { return user.Boxes().size() == 1 && ::IsWindowEnabled(d.Sheet()); }));
    PressKey(VK_TAB);
    EXPECT_TRUE(WaitUntil([&] { return FocusIn(d.Sheet()) == back; })) << FocusIn(d.Sheet());
    PressKey(VK_RETURN);
    EXPECT_TRUE(d.WaitForPage(1001));
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(user.Boxes().size(), 2u);
  EXPECT_NE(Log().find("Raidwell.changed;"), std::string::npos) << Log();
}

// With Back disabled, Exit has the focus: Escape and Enter both ask to exit.
TEST_F(Wizard, ChangeDuringVirtualLibraryLeavesOnlyExit) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDNO).AnswerBox(IDYES);
  wiztest::SetEnv("KV_PLUGIN_CHANGE", "1");
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_VIRTUAL_LIBRARY) || !d.WaitForPage(1000)) return;
    EXPECT_TRUE(d.WaitForButtons(false, false));
    EXPECT_TRUE(d.Visible(1003));
    EXPECT_TRUE(d.Visible(1004));
    EXPECT_FALSE(d.Visible(1014));
    EXPECT_TRUE(d.Visible(1013));
    HWND exit = ::GetDlgItem(d.Sheet(), IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return FocusIn(d.Sheet()) == exit; })) << FocusIn(d.Sheet());
    PressKey(VK_ESCAPE);  // Exit? No
    EXPECT_TRUE(WaitUntil([&] { return user.Boxes().size() == 1 && FocusIn(d.Sheet()) == exit; }));
    PressKey(VK_RETURN);  // Exit? Yes
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(user.Boxes().size(), 2u);
  EXPECT_NE(Log().find("Vellum.changed;"), std::string::npos) << Log();
}

TEST_F(Wizard, RestartNoticeComesOnlyAfterAReportedChangeAndStays) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY) || !d.WaitForPage(1000)) return;
    EXPECT_FALSE(d.Visible(1003));
    EXPECT_FALSE(d.Visible(1004));
    EXPECT_TRUE(d.Visible(1014));
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    wiztest::SetEnv("KV_PLUGIN_CHANGE", "1");
    d.Choose(IDC_OPTION_REMOVABLE_DRIVE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_TRUE(d.Visible(1003));
    EXPECT_TRUE(d.WaitForButtons(true, false));
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    wiztest::SetEnv("KV_PLUGIN_CHANGE", "");
    d.Choose(IDC_OPTION_TAPE_LIBRARY);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_TRUE(d.Visible(1003));  // the flag is never cleared
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
}

// ---------------------------------------------------------------------------
// The launcher

TEST_F(Wizard, LibraryIsLoadedOnceInitRunsBeforeEveryWizardCallAndAllAreFreedAtClose) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY) || !d.WaitForPage(1000)) return;
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    d.Choose(IDC_OPTION_RAID_DEVICE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_EQ(Log(),
              "Chaplet.attach;Chaplet.init;Chaplet.wizard;Chaplet.init;Chaplet.wizard;"
              "Raidwell.attach;Raidwell.init;Raidwell.wizard;Raidwell.init;Raidwell.wizard;");
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  std::string log = Log();
  EXPECT_NE(log.find("Chaplet.wizard;Raidwell.attach"), std::string::npos);
  // Freed when the wizard closed, the tape library first.
  EXPECT_NE(log.find("Raidwell.wizard;Chaplet.detach;Raidwell.detach;"), std::string::npos) << log;
}

TEST_F(Wizard, WizardEntryResultNamesThePage) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    wiztest::SetEnv("KV_PLUGIN_RESULT", "-1");
    if (!LaunchFromWelcome(d, IDC_OPTION_REMOVABLE_DRIVE)) return;
    EXPECT_EQ(Count(Log(), "Remora.wizard"), 1);
    EXPECT_EQ(d.CurrentPageId(), 1001);
    wiztest::SetEnv("KV_PLUGIN_RESULT", "1001");
    NextNow(d);
    EXPECT_EQ(Count(Log(), "Remora.wizard"), 2);
    EXPECT_EQ(d.CurrentPageId(), 1001);
    wiztest::SetEnv("KV_PLUGIN_RESULT", "0");
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    wiztest::SetEnv("KV_PLUGIN_RESULT", "1000");
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_EQ(Count(Log(), "Remora.wizard"), 4);
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
}

TEST_F(Wizard, MissingLibraryIsReportedWithTheOptionsNameAndKeepsTheOptions) {
  UsePlugins("missing");
  kvtest::ScriptedUser user;
  user.AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_RAID_DEVICE)) return;
    EXPECT_EQ(d.CurrentPageId(), 1001);
    for (int option : {IDC_OPTION_VIRTUAL_LIBRARY, IDC_OPTION_REMOVABLE_DRIVE, IDC_OPTION_TAPE_LIBRARY}) {
      d.Choose(option);
      NextNow(d);
      EXPECT_EQ(d.CurrentPageId(), 1001);
    }
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 5u);
  EXPECT_EQ(boxes[0].text, "Raid Device Option is not installed!");
  EXPECT_EQ(boxes[1].text, "Tape and Library Option is not installed!");
  EXPECT_EQ(boxes[2].text, "Removable Library Option is not installed!");
  EXPECT_EQ(boxes[3].text, "Tape and Library Option is not installed!");
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(boxes[i].flags, static_cast<UINT>(MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes[i].caption, m_app.m_strAppName);
  }
  EXPECT_EQ(Log(), "");
}

TEST_F(Wizard, MissingEntryPointsEndTheLaunchWithTheFallbackPage) {
  UsePlugins("noentry");
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY) || !d.WaitForPage(1000)) return;
    for (int option : {IDC_OPTION_REMOVABLE_DRIVE, IDC_OPTION_RAID_DEVICE}) {
      BackNow(d);
      if (!d.WaitForPage(1001)) return;
      d.Choose(option);
      NextNow(d);
      if (!d.WaitForPage(1000)) return;
    }
    // The virtual library: the launch that loaded it stays on the options,
    // a later one goes on.
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    d.Choose(IDC_OPTION_VIRTUAL_LIBRARY);
    NextNow(d);
    EXPECT_EQ(d.CurrentPageId(), 1001);
    NextNow(d);
    EXPECT_TRUE(d.WaitForPage(1000));
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  // Each library was loaded, and none of its look-alike entries was called.
  for (const char* name : {"Chaplet.attach", "Remora.attach", "Raidwell.attach"})
    EXPECT_NE(Log().find(name), std::string::npos) << Log();
  EXPECT_EQ(Log().find(".wizard"), std::string::npos) << Log();
  EXPECT_EQ(Log().find(".init"), std::string::npos) << Log();
  EXPECT_EQ(Count(Log(), "Vellum.attach"), 1);
}

TEST_F(Wizard, MissingInitEntryStillRunsTheWizardEntry) {
  UsePlugins("noinit");
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_RAID_DEVICE) || !d.WaitForPage(1000)) return;
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(Log().substr(0, Log().find("Raidwell.detach")), "Raidwell.attach;Raidwell.wizard;");
}

TEST_F(Wizard, NetworkedLibraryGoesToCompleteAndNoOptionStaysWithoutLoadingAnything) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    SetCheck(d, IDC_OPTION_TAPE_LIBRARY, BST_UNCHECKED);
    NextNow(d);
    EXPECT_EQ(d.CurrentPageId(), 1001);
    SetCheck(d, IDC_OPTION_NETWORKED_LIBRARY, BST_CHECKED);
    NextNow(d);
    EXPECT_TRUE(d.WaitForPage(1000));
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(Log(), "");
}

TEST_F(Wizard, RsmOptionOutsideWindows2000CompletesWithoutLoadingItsLibrary) {
  if (IsWindowsNt5()) GTEST_SKIP() << "runs where the Windows version is not 5";
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    EXPECT_FALSE(d.Enabled(IDC_OPTION_RSM_DEVICES));
    SetCheck(d, IDC_OPTION_TAPE_LIBRARY, BST_UNCHECKED);
    SetCheck(d, IDC_OPTION_RSM_DEVICES, BST_CHECKED);  // by other means than a click
    NextNow(d);
    EXPECT_TRUE(d.WaitForPage(1000));
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(Log(), "");
}

// Runs only in the child process that the next test starts with the Windows
// version of this program set to Windows 2000.
TEST_F(Wizard, RsmChildOnWindows2000) {
  if (wiztest::Env("KV_WIZARD_NT5_CHILD") != "1") GTEST_SKIP() << "started by RsmOptionRunsOnWindows2000";
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  ::GetVersionExA(&info);
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_TRUE(IsWindowsNt5());
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  wiztest::SetEnv("KV_PLUGIN_CHANGE", "1");
  Run([&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    NextNow(d);
    if (!d.WaitForPage(1001)) return;
    EXPECT_TRUE(d.Enabled(IDC_OPTION_RSM_DEVICES));
    d.Choose(IDC_OPTION_RSM_DEVICES);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_TRUE(d.WaitForButtons(false, false));
    EXPECT_FALSE(d.Visible(1014));
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_NE(Log().find("Ntmsgate.attach;Ntmsgate.wizard;Ntmsgate.changed;"), std::string::npos) << Log();
}

TEST_F(Wizard, RsmOptionRunsOnWindows2000) {
  if (wiztest::Env("KV_WIZARD_NT5_CHILD") == "1") GTEST_SKIP();
  // Wine's per-program Windows version, read when a process starts.
  const std::string key = "Software\\Wine\\AppDefaults\\wizard_sheet_test.exe";
  kv::CRegKey appKey;
  ASSERT_EQ(
      ::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, appKey.Put(), nullptr),
      ERROR_SUCCESS);
  const char version[] = "win2k";
  ::RegSetValueExA(appKey.Get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof(version));
  appKey.Reset();
  wiztest::SetEnv("KV_WIZARD_NT5_CHILD", "1");
  wiztest::Process child =
      wiztest::Start(wiztest::ExeDir() + "wizard_sheet_test.exe", "--gtest_filter=Wizard.RsmChildOnWindows2000");
  wiztest::SetEnv("KV_WIZARD_NT5_CHILD", "");
  DWORD code = child ? child.Wait(60000) : 9998;
  if (code == 9999) ::TerminateProcess(child.handle.Get(), 1);
  ::RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
  EXPECT_EQ(code, 0u) << "the wizard on Windows 2000 (the child's output is above)";
}

// ---------------------------------------------------------------------------
// Product activity and the tape engine

TEST_F(Wizard, RunningTapeEngineIsStoppedAfterAskingWithTheProgressShown) {
  wiztest::TapeEngine engine;
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start({"-stop-steps=3", "-step-ms=150", "-hint-ms=200"}));
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES).AnswerBox(IDNO).AnswerBox(IDYES);
  std::string status;
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY) || !d.WaitForPage(1000)) return;
    status = wiztest::Env("KV_PLUGIN_STATUS");
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_STOPPED));
    // No plug-in reported a change, but the engine is stopped: the page says
    // it must be restarted, and so does the exit question where no page does.
    EXPECT_TRUE(d.Visible(1003));
    EXPECT_TRUE(d.Visible(1004));
    // Stopped now: the next guarded option asks nothing.
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    EXPECT_FALSE(d.Visible(1005));
    ExitNow(d);
    d.Choose(IDC_OPTION_RAID_DEVICE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, kStopQuestion);
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(boxes[1].text, std::string(kRestartNotice) + "\n\n" + kExitQuestion);
  EXPECT_EQ(boxes[2].text, kExitQuestion);  // the Complete page shows the notice
  // The wizard never starts the engine again.
  EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status, kStopping);
  EXPECT_EQ(Count(Log(), ".wizard"), 2);
  EXPECT_EQ(Log().find("locked"), std::string::npos) << "the activity mutex was held while a plug-in ran";
}

TEST_F(Wizard, EveryAnswerButYesToTheEngineStopSkipsThePlugin) {
  wiztest::TapeEngine engine;
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start());
  // No, and the box closed by its title bar or Alt+F4 where Wine allows it.
  for (int answer : {IDNO, kvtest::kCloseByTitleBar, kvtest::kCloseByAltF4}) {
    SCOPED_TRACE(answer);
    wiztest::SetEnv("KV_PLUGIN_LOG", "");
    kvtest::ScriptedUser user;
    user.AnswerBox(answer).AnswerBox(answer).AnswerBox(answer).AnswerBox(IDYES);
    Run([&](SheetDriver& d) {
      if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY)) return;
      EXPECT_TRUE(d.WaitForPage(1000));
      EXPECT_FALSE(d.Visible(1003));  // the engine runs: nothing to restart
      BackNow(d);
      if (!d.WaitForPage(1001)) return;
      // The virtual library: declined at its first launch stays on the options,
      // declined later goes to the Complete page.
      d.Choose(IDC_OPTION_VIRTUAL_LIBRARY);
      NextNow(d);
      EXPECT_EQ(d.CurrentPageId(), 1001);
      NextNow(d);
      EXPECT_TRUE(d.WaitForPage(1000));
      d.Exit();
    });
    EXPECT_TRUE(user.Finish()) << user.Report();
    auto boxes = user.Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(boxes[i].text, kStopQuestion);
    EXPECT_EQ(boxes[3].text, kExitQuestion);
    EXPECT_EQ(Log().find(".wizard"), std::string::npos) << Log();
    EXPECT_EQ(Log().find(".init"), std::string::npos) << Log();
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_RUNNING));
  }
}

// A double-click on the Welcome page's Next, or Enter pressed twice: the
// second Next comes before the Options page is on screen, or so soon after
// that nobody has read it, and launches nothing; a Next given once the
// options have been on screen launches the option.
TEST_F(Wizard, NextGivenBeforeTheOptionsAreOnScreenLaunchesNothing) {
  wiztest::TapeEngine engine;
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start());
  enum class Second { ClickQueued, ClickAfterPaint, EnterQueued };
  for (Second second : {Second::ClickQueued, Second::ClickAfterPaint, Second::EnterQueued}) {
    const int how = static_cast<int>(second);
    SCOPED_TRACE(how);
    wiztest::SetEnv("KV_PLUGIN_LOG", "");
    kvtest::ScriptedUser user;
    user.AnswerBox(IDNO).AnswerBox(IDYES);
    size_t boxesOnOptions = 99;
    Run([&](SheetDriver& d) {
      if (!d.WaitForPage(1002)) return;
      HWND next = ::GetDlgItem(d.Sheet(), wiztest::kNextButton);
      if (second == Second::EnterQueued) {
        for (int i = 0; i < 2; ++i) {
          ::PostMessageA(next, WM_KEYDOWN, VK_RETURN, 1);
          ::PostMessageA(next, WM_KEYUP, VK_RETURN, (1u << 31) | (1 << 30) | 1);
        }
      } else {
        PostClick(next);
        if (second == Second::ClickQueued) PostClick(next, true);
      }
      if (!d.WaitForPage(1001)) return;
      if (second == Second::ClickAfterPaint) PostClick(next, true);
      // Past the double-click time the options have been on screen: a click
      // on Next launches the option (the stop question, No).
      ::Sleep(::GetDoubleClickTime() + 100);
      EXPECT_EQ(d.CurrentPageId(), 1001) << how;
      boxesOnOptions = user.Boxes().size();
      EXPECT_EQ(Log(), "") << how;
      PostClick(next);
      if (!d.WaitForPage(1000)) return;
      d.Exit();
    });
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(boxesOnOptions, 0u);
    auto boxes = user.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kStopQuestion);
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_RUNNING));
  }
}

TEST_F(Wizard, OtherProductActivityBlocksTheGuardedOptionsUntilItEnds) {
  wiztest::TapeEngine engine;
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start());
  wiztest::Process busy = wiztest::Start(wiztest::ProgramDir() + "KVBUSY.EXE", "60");
  ASSERT_TRUE(busy);
  for (int i = 0; i < 500; ++i) {
    kv::CHandle probe(::OpenMutexA(SYNCHRONIZE, FALSE, "KestravaIsRunning"));
    if (probe) break;
    ::Sleep(20);
  }
  kvtest::ScriptedUser user;
  user.AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDYES).AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!LaunchFromWelcome(d, IDC_OPTION_TAPE_LIBRARY) || !d.WaitForPage(1000)) return;
    for (int option : {IDC_OPTION_RAID_DEVICE, IDC_OPTION_VIRTUAL_LIBRARY}) {
      BackNow(d);
      if (!d.WaitForPage(1001)) return;
      d.Choose(option);
      NextNow(d);
    }
    EXPECT_EQ(d.CurrentPageId(), 1001);  // the virtual library's first launch
    // The removable drive needs neither the check nor the engine stop.
    d.Choose(IDC_OPTION_REMOVABLE_DRIVE);
    NextNow(d);
    if (!d.WaitForPage(1000)) return;
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_RUNNING));
    BackNow(d);
    if (!d.WaitForPage(1001)) return;
    // The first activity ends: the next attempt proceeds (engine stop asked).
    ::TerminateProcess(busy.handle.Get(), 0);
    busy.Wait(5000);
    d.Choose(IDC_OPTION_VIRTUAL_LIBRARY);
    NextNow(d);
    EXPECT_TRUE(d.WaitForPage(1000));
    d.Exit();
  });
  ::TerminateProcess(busy.handle.Get(), 0);
  EXPECT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes[i].text, kActivityRunning);
    EXPECT_EQ(boxes[i].flags, static_cast<UINT>(MB_OK));
  }
  EXPECT_EQ(boxes[3].text, kStopQuestion);  // after the activity ended
  EXPECT_EQ(Log().substr(0, Log().find("Remora.wizard")).find(".wizard"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Vellum.wizard"), std::string::npos) << Log();
}

// ---------------------------------------------------------------------------
// Command line

TEST(CommandLine, KeysMapToOptionsInTheirOrder) {
  EXPECT_EQ(OptionFromCommandLine("tlo"), 1000);
  EXPECT_EQ(OptionFromCommandLine("/OLO"), 1000);
  EXPECT_EQ(OptionFromCommandLine("-Raid"), 1002);
  EXPECT_EQ(OptionFromCommandLine("raid tlo"), 1000);
  EXPECT_EQ(OptionFromCommandLine("configure RAID now"), 1002);
  EXPECT_EQ(OptionFromCommandLine("tape"), -1);
  EXPECT_EQ(OptionFromCommandLine(""), -1);
}

TEST_F(Wizard, CommandLineKeyStartsItsOptionAtOnce) {
  struct Case {
    const char* line;
    const char* plugin;
    int option;
  };
  for (Case c : {Case{"/RAID", "Raidwell", 1002}, Case{"olo", "Chaplet", 1000}, Case{"raid tlo", "Chaplet", 1000}}) {
    SCOPED_TRACE(c.line);
    wiztest::SetEnv("KV_PLUGIN_LOG", "");
    m_app.m_strCmdLine = c.line;
    kvtest::ScriptedUser user;
    user.AnswerBox(IDYES);
    Run([&](SheetDriver& d) {
      if (!d.WaitForPage(1000)) return;
      EXPECT_EQ(Count(Log(), std::string(c.plugin) + ".wizard"), 1) << Log();
      BackNow(d);
      if (!d.WaitForPage(1001)) return;
      EXPECT_EQ(::SendMessageA(::GetDlgItem(d.CurrentPage(), c.option), BM_GETCHECK, 0, 0), BST_CHECKED);
      d.Exit();
    });
    EXPECT_TRUE(user.Finish()) << user.Report();
  }
  m_app.m_strCmdLine = "/something";
  kvtest::ScriptedUser user;
  user.AnswerBox(IDYES);
  Run([&](SheetDriver& d) {
    if (!d.WaitForPage(1002)) return;
    ::Sleep(300);
    EXPECT_EQ(d.CurrentPageId(), 1002);
    d.Exit();
  });
  EXPECT_TRUE(user.Finish()) << user.Report();
  m_app.m_strCmdLine.clear();
}

}  // namespace
