// The scripted user itself: boxes are answered and recorded with their flags,
// nested modal loops work, and missing or unexpected windows fail clearly.
#include <gtest/gtest.h>

#include "Dialog.h"
#include "MessageBox.h"
#include "ScriptedUser.h"
#include "framework_test_res.h"

namespace {

TEST(ScriptedUser, AnswersAMessageBoxAndRecordsTextCaptionAndFlags) {
  kvtest::ScriptedUser user;
  user.AnswerBox(IDCANCEL);
  int answer = kv::ShowMessageBox(nullptr, "Line one\nLine two", "Caption", 0x42031);
  EXPECT_EQ(answer, IDCANCEL);
  ASSERT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Line one\nLine two");
  EXPECT_EQ(boxes[0].caption, "Caption");
  EXPECT_EQ(boxes[0].flags, 0x42031u);
  EXPECT_EQ(boxes[0].owner, nullptr);
}

class NestedDlg : public kv::CDialog {
 public:
  NestedDlg() : CDialog(IDD_FW_EXCHANGE) {}
  int m_nAnswer = 0;
  HWND m_hShownOver = nullptr;
  void OnAction() {
    m_hShownOver = m_hWnd;
    m_nAnswer = kv::ShowMessageBox(m_hWnd, "Proceed?", "Nested", MB_YESNO | MB_ICONQUESTION);
    EndDialog(IDOK);
  }

 protected:
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
    return kv::DispatchTable(this, kMessages, m, w, l, r);
  }

 private:
  static constexpr kv::MessageEntry<NestedDlg> kMessages[] = {
      kv::OnCommand(IDC_FW_BUTTON, BN_CLICKED, &NestedDlg::OnAction)};
};

TEST(ScriptedUser, WorksInsideNestedModalLoops) {
  NestedDlg dlg;
  kvtest::ScriptedUser user;
  user.Dialog("Exchange Test", [](kvtest::DialogDriver& d) { d.Press(IDC_FW_BUTTON); });
  user.AnswerBox(IDNO);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  ASSERT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(dlg.m_nAnswer, IDNO);
  EXPECT_EQ(user.Boxes().at(0).owner, dlg.m_hShownOver);
}

TEST(ScriptedUser, AnUnexpectedWindowIsClosedAndReported) {
  kvtest::ScriptedUser user;
  int answer = kv::ShowMessageBox(nullptr, "Surprise", "Nobody expects", MB_OK);
  EXPECT_EQ(answer, IDOK);
  EXPECT_FALSE(user.Finish());
  ASSERT_EQ(user.Failures().size(), 1u);
  EXPECT_NE(user.Failures()[0].find("unexpected message box \"Nobody expects\": Surprise"), std::string::npos);
}

TEST(ScriptedUser, AWindowThatNeverComesFailsAfterTheBoundedWait) {
  kvtest::ScriptedUser user(300);
  user.AnswerBox(IDOK);
  DWORD start = ::GetTickCount();
  EXPECT_FALSE(user.Finish());
  EXPECT_LT(::GetTickCount() - start, 5000u);
  ASSERT_EQ(user.Failures().size(), 1u);
  EXPECT_NE(user.Failures()[0].find("never came"), std::string::npos);
}

TEST(ScriptedUser, TheWrongKindOfWindowFailsTheStep) {
  kvtest::ScriptedUser user;
  user.Dialog("Some Dialog", [](kvtest::DialogDriver& d) { d.Press(IDOK); });
  kv::ShowMessageBox(nullptr, "Not a dialog", "Box", MB_OKCANCEL);
  EXPECT_FALSE(user.Finish());
  ASSERT_FALSE(user.Failures().empty());
  EXPECT_NE(user.Failures()[0].find("expected dialog \"Some Dialog\""), std::string::npos);
}

TEST(ScriptedUser, PressingADisabledButtonIsAFailure) {
  NestedDlg dlg;
  kvtest::ScriptedUser user;
  user.Dialog("Exchange Test", [](kvtest::DialogDriver& d) {
    ::EnableWindow(::GetDlgItem(d.Hwnd(), IDOK), FALSE);
    d.Press(IDOK);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_FALSE(user.Finish());
  ASSERT_EQ(user.Failures().size(), 1u);
  EXPECT_NE(user.Failures()[0].find("disabled"), std::string::npos);
}

}  // namespace
