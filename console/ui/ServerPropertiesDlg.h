// "Properties" (dialog 132) of one server: its discovery entry, the products
// it reports, and a second tab for its place in the SAN roles (the members
// of a primary, or the primary of a distributed server). The second tab is
// filled on its first selection, over an administrative session of its own
// that is cancelled when the dialog closes.
#pragma once

#include <windows.h>

#include <string>

#include "Controls.h"
#include "Dialog.h"
#include "Keyboard.h"
#include "ProductTypes.h"

// What the two second-tab pages share: the server they show, the session
// their fill opens (cancelled when the page's window goes), and "DS Status".
class CServerPage : public kv::CDialog {
 public:
  ~CServerPage() override;

  // Fills the page; the Properties dialog calls it once per opening.
  virtual void Fill() = 0;
  bool HoldsSession() const { return m_bSession != FALSE; }
  const std::string& Server() const { return m_strServer; }

 protected:
  CServerPage(UINT templateId, std::string server);

  // Opens the page's session unless it holds one. False when the fill must
  // stop: the user cancelled (nothing shown) or the failure has been shown.
  bool OpenPageSession();
  // The Discovery Service status dialog for name, modally (nothing for "").
  void ShowServiceStatus(const std::string& name);
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

  // Cancels the page's session; a page that opened none cancels nothing.
  LRESULT OnDestroy(WPARAM, LPARAM);

  std::string m_strServer;
  BOOL m_bSession = FALSE;

 private:
  static const kv::MessageEntry<CServerPage> kMessages[1];
};

// Dialog 155, the second tab of a primary: its distributed-servers list.
class CDistributedServersPage : public CServerPage {
 public:
  explicit CDistributedServersPage(std::string server);
  ~CDistributedServersPage() override;
  void Fill() override;

  kv::CListCtrl m_listServers;
  kv::CImageList m_imlServers;

 protected:
  BOOL OnInitDialog() override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 private:
  void OnDsStatus();
  LRESULT OnDestroy(WPARAM, LPARAM);

  static const kv::MessageEntry<CDistributedServersPage> kMessages[2];
};

// Dialog 158, the second tab of a distributed server: the primary its role
// record names.
class CPrimaryServerPage : public CServerPage {
 public:
  explicit CPrimaryServerPage(std::string server);
  void Fill() override;

  std::string m_strPrimary;

 protected:
  void DoDataExchange(kv::CDataExchange& dx) override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 private:
  void OnDsStatus();

  static const kv::MessageEntry<CPrimaryServerPage> kMessages[1];
};

class CServerPropertiesDlg : public kv::CDialog {
 public:
  // Reads the entry only here; the caller's copy may go afterwards.
  explicit CServerPropertiesDlg(const DiscoveryEntry* entry, HWND parent = nullptr);
  ~CServerPropertiesDlg() override;

  // The texts of the four edits, as the constructor formats them.
  static std::string FormatRespondTime(uint32_t secondsSince1970);
  static std::string FormatAddress(const uint8_t (&ipv4)[4]);

  kv::CListCtrl m_listProducts;
  kv::CTabCtrl m_tab;
  std::string m_strServerName;
  std::string m_strDomainName;
  std::string m_strLastRespond;
  std::string m_strAddress;
  std::string m_strTabProducts;
  std::string m_strTabDistributed;
  std::string m_strTabPrimary;
  CDistributedServersPage m_pageDistributed;
  CPrimaryServerPage m_pagePrimary;
  int m_nRole;
  BOOL m_bDistributedFilled = FALSE;
  BOOL m_bPrimaryFilled = FALSE;

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(kv::CDataExchange& dx) override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 private:
  void InitProductColumns();
  void FillProducts();
  void PlacePage(CServerPage& page);
  // The page of the second tab for this role.
  CServerPage& RolePage();
  void ShowControl(HWND control);

  LRESULT OnTabChange(NMHDR*);
  void OnHelp();
  LRESULT OnHelpKey(WPARAM, LPARAM);
  LRESULT OnDestroy(WPARAM, LPARAM);

  // Ctrl+Tab and Ctrl+Page Down select the next tab, Ctrl+Shift+Tab and
  // Ctrl+Page Up the one before, round the end, as in a property sheet.
  void OnNextTab();
  void OnPreviousTab();
  void StepTab(int step);
  LRESULT OnShortcut(WPARAM index, LPARAM);
  static const kv::Shortcut<CServerPropertiesDlg> kShortcuts[4];
  kv::CShortcuts m_shortcuts;

  static const kv::MessageEntry<CServerPropertiesDlg> kMessages[5];
};
