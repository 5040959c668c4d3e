// Thin, non-owning wrappers over windows and common controls: one inline
// method per message. Attach them to dialog items in OnInitDialog.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <string>

#include "Handles.h"
#include "Strings.h"

namespace kv {

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
  void Attach(HWND hwnd) { m_hWnd = hwnd; }
  void AttachDlgItem(HWND dialog, int id) { m_hWnd = ::GetDlgItem(dialog, id); }
  HWND GetSafeHwnd() const { return m_hWnd; }
  explicit operator bool() const { return m_hWnd != nullptr; }

  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
  }
  BOOL Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
  }
  std::string GetWindowText() const { return GetText(m_hWnd); }
  void SetWindowText(const std::string& text) const { ::SetWindowTextA(m_hWnd, text.c_str()); }
  BOOL EnableWindow(BOOL enable = TRUE) const { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL ShowWindow(int command) const { return ::ShowWindow(m_hWnd, command); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  void UpdateWindow() const { ::UpdateWindow(m_hWnd); }
  void Invalidate(BOOL erase = TRUE) const { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void SetRedraw(BOOL redraw) const { Send(WM_SETREDRAW, redraw, 0); }
  void SetFont(HFONT font, BOOL redraw = TRUE) const { Send(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw); }
  HWND SetFocus() const { return ::SetFocus(m_hWnd); }
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  HWND GetParent() const { return ::GetParent(m_hWnd); }
  RECT GetClientRect() const {
    RECT r{};
    ::GetClientRect(m_hWnd, &r);
    return r;
  }
  RECT GetWindowRect() const {
    RECT r{};
    ::GetWindowRect(m_hWnd, &r);
    return r;
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse) const { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
  BOOL KillTimer(UINT_PTR id) const { return ::KillTimer(m_hWnd, id); }

 protected:
  HWND m_hWnd = nullptr;
};

class CStatic : public CWnd {
 public:
  using CWnd::CWnd;
  HICON SetIcon(HICON icon) const {
    return reinterpret_cast<HICON>(Send(STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
  }
};

class CButton : public CWnd {
 public:
  using CWnd::CWnd;
  int GetCheck() const { return static_cast<int>(Send(BM_GETCHECK)); }
  void SetCheck(int check) const { Send(BM_SETCHECK, static_cast<WPARAM>(check)); }
  void Click() const { Send(BM_CLICK); }
};

class CEdit : public CWnd {
 public:
  using CWnd::CWnd;
  void LimitText(int chars) const { Send(EM_LIMITTEXT, static_cast<WPARAM>(chars)); }
  void SetSel(int start, int end) const { Send(EM_SETSEL, static_cast<WPARAM>(start), end); }
  void SetReadOnly(BOOL readOnly = TRUE) const { Send(EM_SETREADONLY, readOnly); }
};

class CTreeCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  HTREEITEM InsertItem(const std::string& text, int image, int selectedImage, LPARAM data, HTREEITEM parent,
                       HTREEITEM after) const {
    TVINSERTSTRUCTA ins{};
    ins.hParent = parent;
    ins.hInsertAfter = after;
    ins.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    ins.item.pszText = const_cast<char*>(text.c_str());
    ins.item.iImage = image;
    ins.item.iSelectedImage = selectedImage;
    ins.item.lParam = data;
    return reinterpret_cast<HTREEITEM>(Send(TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&ins)));
  }
  BOOL DeleteItem(HTREEITEM item) const {
    return static_cast<BOOL>(Send(TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item)));
  }
  BOOL DeleteAllItems() const { return DeleteItem(TVI_ROOT); }
  HTREEITEM GetNextItem(HTREEITEM item, UINT code) const {
    return reinterpret_cast<HTREEITEM>(Send(TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
  }
  HTREEITEM GetRootItem() const { return GetNextItem(nullptr, TVGN_ROOT); }
  HTREEITEM GetNextSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_NEXT); }
  HTREEITEM GetChildItem(HTREEITEM item) const { return GetNextItem(item, TVGN_CHILD); }
  HTREEITEM GetParentItem(HTREEITEM item) const { return GetNextItem(item, TVGN_PARENT); }
  HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
  BOOL ItemHasChildren(HTREEITEM item) const { return GetChildItem(item) != nullptr; }
  BOOL SelectItem(HTREEITEM item) const {
    return static_cast<BOOL>(Send(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)));
  }
  BOOL Expand(HTREEITEM item, UINT code) const {
    return static_cast<BOOL>(Send(TVM_EXPAND, code, reinterpret_cast<LPARAM>(item)));
  }
  BOOL EnsureVisible(HTREEITEM item) const {
    return static_cast<BOOL>(Send(TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item)));
  }
  BOOL SortChildren(HTREEITEM item) const {
    return static_cast<BOOL>(Send(TVM_SORTCHILDREN, FALSE, reinterpret_cast<LPARAM>(item)));
  }
  UINT GetCount() const { return static_cast<UINT>(Send(TVM_GETCOUNT)); }
  std::string GetItemText(HTREEITEM item) const {
    char buffer[260] = {};
    TVITEMA tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = buffer;
    tv.cchTextMax = sizeof(buffer);
    Send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    return buffer;
  }
  LPARAM GetItemData(HTREEITEM item) const {
    TVITEMA tv{};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    Send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    return tv.lParam;
  }
  BOOL SetItemData(HTREEITEM item, LPARAM data) const {
    TVITEMA tv{};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    tv.lParam = data;
    return static_cast<BOOL>(Send(TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv)));
  }
  BOOL GetItemImage(HTREEITEM item, int& image, int& selectedImage) const {
    TVITEMA tv{};
    tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tv.hItem = item;
    BOOL ok = static_cast<BOOL>(Send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv)));
    image = tv.iImage;
    selectedImage = tv.iSelectedImage;
    return ok;
  }
  BOOL SetItemImage(HTREEITEM item, int image, int selectedImage) const {
    TVITEMA tv{};
    tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tv.hItem = item;
    tv.iImage = image;
    tv.iSelectedImage = selectedImage;
    return static_cast<BOOL>(Send(TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv)));
  }
  HIMAGELIST SetImageList(HIMAGELIST list, int kind) const {
    return reinterpret_cast<HIMAGELIST>(
        Send(TVM_SETIMAGELIST, static_cast<WPARAM>(kind), reinterpret_cast<LPARAM>(list)));
  }
  // The item's rectangle in client coordinates (only its label: textOnly).
  BOOL GetItemRect(HTREEITEM item, RECT& rect, BOOL textOnly) const {
    std::memcpy(&rect, &item, sizeof(item));  // the message takes the item in the rectangle
    return static_cast<BOOL>(Send(TVM_GETITEMRECT, static_cast<WPARAM>(textOnly), reinterpret_cast<LPARAM>(&rect)));
  }
  HTREEITEM HitTest(POINT clientPoint, UINT* flags = nullptr) const {
    TVHITTESTINFO info{};
    info.pt = clientPoint;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(Send(TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&info)));
    if (flags) *flags = info.flags;
    return item;
  }
};

class CListCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  int InsertColumn(int index, const std::string& heading, int format, int width) const {
    LVCOLUMNA col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = format;
    col.cx = width;
    col.pszText = const_cast<char*>(heading.c_str());
    col.iSubItem = index;
    return static_cast<int>(Send(LVM_INSERTCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&col)));
  }
  int InsertItem(int index, const std::string& text, int image = -1, LPARAM data = 0, UINT state = 0) const {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM | (image >= 0 ? LVIF_IMAGE : 0u) | (state ? LVIF_STATE : 0u);
    item.iItem = index;
    item.pszText = const_cast<char*>(text.c_str());
    item.iImage = image;
    item.lParam = data;
    item.state = state;
    item.stateMask = state;
    return static_cast<int>(Send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }
  BOOL SetItemText(int index, int subItem, const std::string& text) const {
    LVITEMA item{};
    item.iSubItem = subItem;
    item.pszText = const_cast<char*>(text.c_str());
    return static_cast<BOOL>(Send(LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)));
  }
  std::string GetItemText(int index, int subItem = 0) const {
    char buffer[260] = {};
    LVITEMA item{};
    item.iSubItem = subItem;
    item.pszText = buffer;
    item.cchTextMax = sizeof(buffer);
    Send(LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    return buffer;
  }
  LPARAM GetItemData(int index) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.lParam;
  }
  BOOL SetItemData(int index, LPARAM data) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    item.lParam = data;
    return static_cast<BOOL>(Send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }
  int GetItemImage(int index) const {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = index;
    Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  }
  BOOL SetItemImage(int index, int image) const {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = index;
    item.iImage = image;
    return static_cast<BOOL>(Send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }
  BOOL SetItemState(int index, UINT state, UINT mask) const {
    LVITEMA item{};
    item.state = state;
    item.stateMask = mask;
    return static_cast<BOOL>(Send(LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)));
  }
  UINT GetItemState(int index, UINT mask) const {
    return static_cast<UINT>(Send(LVM_GETITEMSTATE, static_cast<WPARAM>(index), mask));
  }
  int GetNextItem(int start, UINT flags) const {
    return static_cast<int>(Send(LVM_GETNEXTITEM, static_cast<WPARAM>(start), flags));
  }
  int GetSelectedItem() const { return GetNextItem(-1, LVNI_SELECTED); }
  int GetItemCount() const { return static_cast<int>(Send(LVM_GETITEMCOUNT)); }
  // The item's rectangle in client coordinates; code is LVIR_BOUNDS, LVIR_LABEL, ...
  BOOL GetItemRect(int index, RECT& rect, int code) const {
    rect.left = code;
    return static_cast<BOOL>(Send(LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rect)));
  }
  BOOL DeleteItem(int index) const { return static_cast<BOOL>(Send(LVM_DELETEITEM, static_cast<WPARAM>(index))); }
  BOOL DeleteAllItems() const { return static_cast<BOOL>(Send(LVM_DELETEALLITEMS)); }
  BOOL EnsureVisible(int index, BOOL partialOk = FALSE) const {
    return static_cast<BOOL>(Send(LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), partialOk));
  }
  HIMAGELIST SetImageList(HIMAGELIST list, int kind) const {
    return reinterpret_cast<HIMAGELIST>(
        Send(LVM_SETIMAGELIST, static_cast<WPARAM>(kind), reinterpret_cast<LPARAM>(list)));
  }
};

class CTabCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  int InsertItem(int index, const std::string& text) const {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(text.c_str());
    return static_cast<int>(Send(TCM_INSERTITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)));
  }
  int GetCurSel() const { return static_cast<int>(Send(TCM_GETCURSEL)); }
  int SetCurSel(int index) const { return static_cast<int>(Send(TCM_SETCURSEL, static_cast<WPARAM>(index))); }
  int GetItemCount() const { return static_cast<int>(Send(TCM_GETITEMCOUNT)); }
};

class CProgressCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  int StepIt() const { return static_cast<int>(Send(PBM_STEPIT)); }
  int GetPos() const { return static_cast<int>(Send(PBM_GETPOS)); }
  int SetPos(int pos) const { return static_cast<int>(Send(PBM_SETPOS, static_cast<WPARAM>(pos))); }
};

class CStatusBarCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  // Creates the bar as a child of parent over rect.
  bool Create(DWORD style, const RECT& rect, HWND parent, UINT id) {
    m_hWnd = ::CreateWindowExA(0, STATUSCLASSNAMEA, "", style, rect.left, rect.top, rect.right - rect.left,
                               rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                               reinterpret_cast<HINSTANCE>(::GetWindowLongPtrA(parent, GWLP_HINSTANCE)), nullptr);
    return m_hWnd != nullptr;
  }
  BOOL SetParts(int count, const int* rightEdges) const {
    return static_cast<BOOL>(Send(SB_SETPARTS, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(rightEdges)));
  }
  BOOL SetText(const std::string& text, int part, UINT type) const {
    return static_cast<BOOL>(
        Send(SB_SETTEXTA, static_cast<WPARAM>(part) | type, reinterpret_cast<LPARAM>(text.c_str())));
  }
  std::string GetText(int part) const {
    LRESULT info = Send(SB_GETTEXTLENGTHA, static_cast<WPARAM>(part));
    std::string text(static_cast<size_t>(LOWORD(info)) + 1, '\0');
    Send(SB_GETTEXTA, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(text.data()));
    text.resize(LOWORD(info));
    return text;
  }
  // SBT_* drawing type of a part.
  UINT GetTextType(int part) const { return HIWORD(Send(SB_GETTEXTLENGTHA, static_cast<WPARAM>(part))); }
};

class CToolTipCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  bool Create(HWND owner, DWORD style) {
    m_hWnd = ::CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | style, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                               reinterpret_cast<HINSTANCE>(::GetWindowLongPtrA(owner, GWLP_HINSTANCE)), nullptr);
    return m_hWnd != nullptr;
  }
  void Activate(BOOL activate) const { Send(TTM_ACTIVATE, activate); }
  BOOL AddTool(TOOLINFOA& info) const {
    return static_cast<BOOL>(Send(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info)));
  }
  int GetToolCount() const { return static_cast<int>(Send(TTM_GETTOOLCOUNT)); }
};

// Owns its image list.
class CImageList {
 public:
  // From a bitmap resource strip of cx-wide images; pixels of the mask colour
  // are transparent. The list is true-colour whatever the bitmap's depth:
  // a palette image list made from an 8-bit strip (ImageList_LoadImage with
  // LR_CREATEDIBSECTION) does not keep the strip's colour table on every
  // comctl32, and a device-dependent one may reduce it to 16 colours, so the
  // strip is loaded with its own colour table and copied into 24-bit images.
  bool CreateFromBitmap(HINSTANCE instance, UINT bitmapId, int cx, int grow, COLORREF mask) {
    m_list.Reset();
    CGdiObject strip(::LoadImageA(instance, MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP info{};
    if (!strip || cx <= 0 || ::GetObjectA(strip.Get(), sizeof(info), &info) != sizeof(info)) return false;
    CImageListHandle list(::ImageList_Create(cx, info.bmHeight, ILC_COLOR24 | ILC_MASK, info.bmWidth / cx, grow));
    if (!list || ::ImageList_AddMasked(list.Get(), static_cast<HBITMAP>(strip.Get()), mask) < 0) return false;
    m_list = std::move(list);
    return true;
  }
  HIMAGELIST GetSafeHandle() const { return m_list.Get(); }
  int GetImageCount() const { return m_list ? ::ImageList_GetImageCount(m_list.Get()) : 0; }

 private:
  CImageListHandle m_list;
};

// Owns a menu loaded from resources.
class CMenu {
 public:
  bool LoadMenu(HINSTANCE instance, UINT id) {
    m_menu.Reset(::LoadMenuA(instance, MAKEINTRESOURCEA(id)));
    return static_cast<bool>(m_menu);
  }
  HMENU GetSubMenu(int position) const { return ::GetSubMenu(m_menu.Get(), position); }
  HMENU GetSafeHmenu() const { return m_menu.Get(); }

 private:
  CMenuHandle m_menu;
};

}  // namespace kv
