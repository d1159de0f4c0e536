#include "visual_styles.h"

#include <windows.h>
#include <shlwapi.h>
#include <uxtheme.h>

#include <atomic>
#include <cwchar>

namespace ctl {

namespace {

std::atomic<int> g_override{-1};

// The common controls in use draw themes from version 6 on, which comes
// from the side-by-side store through the program's manifest.
bool common_controls_v6() {
  HMODULE m = GetModuleHandleW(L"comctl32.dll");
  if (!m) m = LoadLibraryExW(L"comctl32.dll", nullptr, 0);
  if (!m) return false;
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(m, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  for (wchar_t* p = path; *p; ++p) *p = static_cast<wchar_t>(towlower(*p));
  if (wcsstr(path, L"\\winsxs\\")) return true;
  using dll_get_version = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
  auto get = reinterpret_cast<dll_get_version>(
      reinterpret_cast<void*>(GetProcAddress(m, "DllGetVersion")));
  if (!get) return false;
  DLLVERSIONINFO v = {};
  v.cbSize = sizeof v;
  return SUCCEEDED(get(&v)) && v.dwMajorVersion >= 6;
}

}  // namespace

bool visual_styles_active() {
  int o = g_override.load();
  if (o >= 0) return o != 0;
  return IsAppThemed() && IsThemeActive() && common_controls_v6();
}

void set_visual_styles_override(int value) { g_override.store(value < 0 ? -1 : (value ? 1 : 0)); }

}  // namespace ctl
