// Gearwise: the Device Configuration wizard, three pages in a wizard sheet.
#include "App.h"
#include "PropertySheet.h"
#include "resource.h"

namespace {

class CWizardPage : public kv::CPropertyPage {
 public:
  explicit CWizardPage(UINT templateId) : CPropertyPage(templateId) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
    m_psp.dwFlags &= ~static_cast<DWORD>(PSP_HASHELP);
  }
  BOOL OnSetActive() override {
    DWORD buttons = TemplateId() == IDD_WELCOME_PAGE   ? PSWIZB_NEXT
                    : TemplateId() == IDD_OPTIONS_PAGE ? PSWIZB_BACK | PSWIZB_NEXT
                                                       : PSWIZB_BACK;
    ::PostMessageA(GetSheetHwnd(), PSM_SETWIZBUTTONS, 0, buttons);
    return TRUE;
  }
};

class CGearwiseApp : public kv::CWinApp {
 public:
  BOOL InitInstance() override {
    CWizardPage welcome(IDD_WELCOME_PAGE), options(IDD_OPTIONS_PAGE), complete(IDD_COMPLETE_PAGE);
    kv::CPropertySheet sheet(IDS_WIZARD_CAPTION);
    sheet.m_psh.dwFlags |= PSH_WIZARD | 0x2000;
    sheet.m_psh.dwFlags &= ~static_cast<DWORD>(PSH_HASHELP);
    sheet.AddPage(&welcome);
    sheet.AddPage(&options);
    sheet.AddPage(&complete);
    sheet.DoModal();
    return FALSE;
  }
};

CGearwiseApp theApp;

}  // namespace
