// RAII owners for Win32 handles. Window wrappers never own anything; every
// handle that code opens is held by one of these and released exactly once.
#pragma once

#include <windows.h>
#include <winsvc.h>
#include <winnetwk.h>
#include <commctrl.h>

#include <string>
#include <utility>

namespace kv {

// Generic owner: Traits gives the invalid value and how to release.
template <class Traits>
class CUniqueHandle {
 public:
  using Handle = typename Traits::Handle;
  CUniqueHandle() = default;
  explicit CUniqueHandle(Handle h) : m_h(h) {}
  ~CUniqueHandle() { Reset(); }
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.Release()) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Handle Get() const { return m_h; }
  explicit operator bool() const { return m_h != Traits::Invalid(); }
  // For out-parameters: releases what is held and hands out the slot.
  Handle* Put() {
    Reset();
    return &m_h;
  }
  Handle Release() { return std::exchange(m_h, Traits::Invalid()); }
  void Reset(Handle h = Traits::Invalid()) {
    Handle old = std::exchange(m_h, h);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle m_h = Traits::Invalid();
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) {
    // Predefined roots (HKEY_LOCAL_MACHINE...) are never closed.
    if (!IsPredefined(h)) ::RegCloseKey(h);
  }
  // The predefined roots are sign-extended 32-bit constants (0x80000000 and
  // up), so they are compared as signed numbers.
  static bool IsPredefined(Handle h) {
    LONG_PTR v = reinterpret_cast<LONG_PTR>(h);
    return v >= static_cast<LONG_PTR>(static_cast<LONG>(0x80000000)) &&
           v <= static_cast<LONG_PTR>(static_cast<LONG>(0x800000FF));
  }
};
struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseServiceHandle(h); }
};
struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::FreeLibrary(h); }
};
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};
struct MenuTraits {
  using Handle = HMENU;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DestroyMenu(h); }
};
struct ImageListTraits {
  using Handle = HIMAGELIST;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::ImageList_Destroy(h); }
};

using CHandle = CUniqueHandle<KernelHandleTraits>;  // mutexes, threads, events
using CRegKey = CUniqueHandle<RegKeyTraits>;
using CServiceHandle = CUniqueHandle<ServiceHandleTraits>;
using CModule = CUniqueHandle<ModuleTraits>;
using CGdiObject = CUniqueHandle<GdiObjectTraits>;
using CMenuHandle = CUniqueHandle<MenuTraits>;
using CImageListHandle = CUniqueHandle<ImageListTraits>;

// Typed GetProcAddress for plug-in entry points.
template <class Fn>
Fn GetProc(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// A network connection (for example \\server\ipc$) cancelled when the owner
// goes out of scope. The cancel function is WNetCancelConnection2A unless the
// caller routes it elsewhere (the remote-machine layer does).
class CNetConnection {
 public:
  using CancelFn = DWORD(WINAPI*)(LPCSTR name, DWORD flags, BOOL force);
  CNetConnection() = default;
  explicit CNetConnection(std::string name, CancelFn cancel = &::WNetCancelConnection2A)
      : m_name(std::move(name)), m_cancel(cancel) {}
  ~CNetConnection() { Cancel(); }
  CNetConnection(const CNetConnection&) = delete;
  CNetConnection& operator=(const CNetConnection&) = delete;
  CNetConnection(CNetConnection&& other) noexcept
      : m_name(std::exchange(other.m_name, std::string())), m_cancel(other.m_cancel) {}
  CNetConnection& operator=(CNetConnection&& other) noexcept {
    if (this != &other) {
      Cancel();
      m_name = std::exchange(other.m_name, std::string());
      m_cancel = other.m_cancel;
    }
    return *this;
  }
  const std::string& Name() const { return m_name; }
  bool IsHeld() const { return !m_name.empty(); }
  // Forced cancel, as every caller in this system wants; result ignored.
  void Cancel() {
    if (!m_name.empty() && m_cancel) m_cancel(m_name.c_str(), 0, TRUE);
    m_name.clear();
  }
  // Keeps the connection open past this object's life.
  void Detach() { m_name.clear(); }

 private:
  std::string m_name;
  CancelFn m_cancel = &::WNetCancelConnection2A;
};

// Selects a GDI object into a DC for the scope.
class CSelectObject {
 public:
  CSelectObject(HDC dc, HGDIOBJ obj) : m_dc(dc), m_old(::SelectObject(dc, obj)) {}
  ~CSelectObject() {
    if (m_old) ::SelectObject(m_dc, m_old);
  }
  CSelectObject(const CSelectObject&) = delete;
  CSelectObject& operator=(const CSelectObject&) = delete;

 private:
  HDC m_dc;
  HGDIOBJ m_old;
};

// GetDC/ReleaseDC pair.
class CWindowDC {
 public:
  explicit CWindowDC(HWND hwnd) : m_hwnd(hwnd), m_dc(::GetDC(hwnd)) {}
  ~CWindowDC() {
    if (m_dc) ::ReleaseDC(m_hwnd, m_dc);
  }
  CWindowDC(const CWindowDC&) = delete;
  CWindowDC& operator=(const CWindowDC&) = delete;
  HDC Get() const { return m_dc; }

 private:
  HWND m_hwnd;
  HDC m_dc;
};

// CreateCompatibleDC/DeleteDC pair.
class CMemoryDC {
 public:
  explicit CMemoryDC(HDC compatible) : m_dc(::CreateCompatibleDC(compatible)) {}
  ~CMemoryDC() {
    if (m_dc) ::DeleteDC(m_dc);
  }
  CMemoryDC(const CMemoryDC&) = delete;
  CMemoryDC& operator=(const CMemoryDC&) = delete;
  HDC Get() const { return m_dc; }

 private:
  HDC m_dc;
};

}  // namespace kv
