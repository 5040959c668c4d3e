// Writing the window class into a dialog template, as the wizard does with
// the template that comctl32 makes its sheet from.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "GearwiseSheet.h"
#include "SheetTemplate.h"
#include "Strings.h"

namespace {

class TemplateBuilder {
 public:
  void Word(WORD w) {
    m_bytes.push_back(LOBYTE(w));
    m_bytes.push_back(HIBYTE(w));
  }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void String(const char* s) {
    for (; *s; ++s) Word(static_cast<BYTE>(*s));
    Word(0);
  }
  void Align() {
    while (m_bytes.size() & 3) m_bytes.push_back(0);
  }
  std::vector<BYTE>& Bytes() { return m_bytes; }

 private:
  std::vector<BYTE> m_bytes;
};

// A dialog with a title, a font and two controls, in either template form.
std::vector<BYTE> MakeTemplate(bool extended, const char* title) {
  TemplateBuilder b;
  DWORD style = WS_POPUP | WS_CAPTION | DS_SETFONT;
  if (extended) {
    b.Word(1);
    b.Word(0xFFFF);
    b.Dword(0);      // help id
    b.Dword(0);      // extended style
    b.Dword(style);  // style
  } else {
    b.Dword(style);
    b.Dword(0);
  }
  b.Word(2);  // items
  for (int v : {0, 0, 200, 100}) b.Word(static_cast<WORD>(v));
  b.Word(0);  // no menu
  b.Word(0);  // the dialog class
  b.String(title);
  b.Word(8);
  if (extended) {
    b.Word(FW_NORMAL);
    b.Word(0);  // italic, character set
  }
  b.String("MS Shell Dlg");
  struct Item {
    WORD id;
    WORD atom;
    const char* text;
  };
  for (Item item : {Item{101, 0x0082, "first"}, Item{102, 0x0080, "second"}}) {
    b.Align();
    if (extended) {
      b.Dword(0);
      b.Dword(0);
      b.Dword(WS_CHILD | WS_VISIBLE);
    } else {
      b.Dword(WS_CHILD | WS_VISIBLE);
      b.Dword(0);
    }
    for (int v : {10, 10 + item.id - 101, 50, 10}) b.Word(static_cast<WORD>(v));
    if (extended) {
      b.Dword(item.id);
    } else {
      b.Word(item.id);
    }
    b.Word(0xFFFF);
    b.Word(item.atom);
    b.String(item.text);
    b.Word(0);  // no creation data
  }
  return b.Bytes();
}

struct Made {
  std::string className;
  std::string title;
  std::string first, second;
};

Made Create(const std::vector<BYTE>& bytes) {
  Made made;
  HWND dialog = ::CreateDialogIndirectParamA(
      ::GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()), nullptr,
      [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
  if (!dialog) return made;
  char cls[64] = {};
  ::GetClassNameA(dialog, cls, sizeof(cls));
  made.className = cls;
  made.title = kv::GetText(dialog);
  made.first = kv::GetText(::GetDlgItem(dialog, 101));
  made.second = kv::GetText(::GetDlgItem(dialog, 102));
  ::DestroyWindow(dialog);
  return made;
}

class DialogTemplateClass : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { m_atom = RegisterGearwiseClass(::GetModuleHandleA(nullptr)); }
  ATOM m_atom = 0;
};

TEST_P(DialogTemplateClass, NameIsWrittenInWhenThereIsRoomAndTheDialogKeepsItsControls) {
  std::vector<BYTE> bytes = MakeTemplate(GetParam(), "Wizard");
  size_t size = bytes.size();
  ASSERT_EQ(gearwise::DialogTemplateSize(bytes.data(), size), size);
  Made plain = Create(bytes);
  EXPECT_EQ(plain.className, "#32770");

  bytes.resize(size * 2);
  ASSERT_NE(m_atom, 0);
  EXPECT_EQ(gearwise::SetDialogTemplateClass(bytes.data(), bytes.size(), kGearwiseClassName, m_atom),
            gearwise::ClassEdit::Named);
  // The class field grows from one WORD to 20 characters and a NUL; the
  // controls move by as much, give or take their DWORD alignment.
  double grown = static_cast<double>(gearwise::DialogTemplateSize(bytes.data(), bytes.size()));
  EXPECT_NEAR(grown, static_cast<double>(size + 40), 2.0);
  Made made = Create(bytes);
  EXPECT_EQ(made.className, "Device Configuration");
  EXPECT_EQ(made.title, "Wizard");
  EXPECT_EQ(made.first, "first");
  EXPECT_EQ(made.second, "second");
}

TEST_P(DialogTemplateClass, WithoutRoomTheAtomIsWrittenInPlace) {
  std::vector<BYTE> bytes = MakeTemplate(GetParam(), "Wizard");
  size_t size = bytes.size();
  EXPECT_EQ(gearwise::SetDialogTemplateClass(bytes.data(), 0, kGearwiseClassName, m_atom), gearwise::ClassEdit::Atom);
  EXPECT_LE(gearwise::DialogTemplateSize(bytes.data(), size), size);
  Made made = Create(bytes);
  EXPECT_EQ(made.className, "Device Configuration");
  EXPECT_EQ(made.first, "first");
  EXPECT_EQ(made.second, "second");
}

TEST_P(DialogTemplateClass, UnreadableTemplateIsLeftAlone) {
  std::vector<BYTE> bytes = MakeTemplate(GetParam(), "Wizard");
  std::vector<BYTE> cut(bytes.begin(), bytes.begin() + 40);
  std::vector<BYTE> before = cut;
  EXPECT_EQ(gearwise::SetDialogTemplateClass(cut.data(), cut.size(), kGearwiseClassName, m_atom),
            gearwise::ClassEdit::None);
  EXPECT_EQ(cut, before);
}

INSTANTIATE_TEST_SUITE_P(Forms, DialogTemplateClass, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Extended" : "Plain"; });

TEST(HeapBlockRoom, IsTheBlockSizeForTheProcessHeapAndZeroOtherwise) {
  void* block = ::HeapAlloc(::GetProcessHeap(), 0, 300);
  EXPECT_GE(gearwise::HeapBlockRoom(block), 300u);
  ::HeapFree(::GetProcessHeap(), 0, block);
  static BYTE notOnTheHeap[64];
  EXPECT_EQ(gearwise::HeapBlockRoom(notOnTheHeap), 0u);
}

}  // namespace
