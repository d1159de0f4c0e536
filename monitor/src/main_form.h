// The monitor's one top-level window: hidden, shown as a small About window.
// It owns the tray icon with its menu, the USB watcher and the form's timers,
// and drives the manager library.
#ifndef SOLVANTEX_MON_MAIN_FORM_H
#define SOLVANTEX_MON_MAIN_FORM_H

#include <windows.h>

#include <memory>
#include <string>

#include "settings.h"
#include "tray_icon.h"
#include "usb_watcher.h"

namespace mon {

// Menu items of PopupMenu1.
enum menu_item : UINT { item_show_main = 101, item_advanced = 102, item_exit = 103 };

class main_form {
  public:
    main_form();
    ~main_form();
    main_form(const main_form&) = delete;
    main_form& operator=(const main_form&) = delete;

    // Creates the hidden window of class "TSolvantex_TrayIcon" and runs
    // FormCreate. False when the window could not be made.
    bool create();
    HWND window() const { return window_; }

    // Actions.
    void AcShowMainExecute();
    void AcAdvancedExecute();
    void AcAboutExecute();
    void AcExitExecute();

    int token_count() const { return token_count_; }

  private:
    friend LRESULT CALLBACK main_window_proc(HWND, UINT, WPARAM, LPARAM);
    LRESULT handle(UINT m, WPARAM w, LPARAM l);
    void FormCreate();
    void FormDestroy();
    bool FormCloseQuery();
    void Localize();
    void InitMonitor();
    void InitPkcs11();
    int EnumerateTokens();
    void UsbArrival(usb_watcher& w);
    void UsbRemoval(usb_watcher& w);
    void TFindUSBKeyTimer();
    void TCloseProjectTimer();
    void layout_about();

    HWND window_ = nullptr;
    HMENU menu_ = nullptr;
    HICON icon_ = nullptr;
    HFONT font_ = nullptr;
    HWND label_caption_ = nullptr, label_version_ = nullptr, button_ok_ = nullptr;
    std::unique_ptr<cool_tray_icon> tray_;
    std::unique_ptr<usb_watcher> usb_;
    std::unique_ptr<simple_timer> find_usb_key_, close_project_;
    int token_count_ = 0;
    int previous_count_ = 0;
    int countdown_ = 0;
    bool exit_flag_ = false;
    bool session_ending_ = false;
    bool destroyed_ = false;
};

extern bool g_library_ready;
extern MonitorSettings g_settings;

// The program file's "major.minor.release.build", "-1" when it cannot be
// read, empty without version information.
std::wstring GetFileVersionText(const std::wstring& file);

// WM_COPYDATA with a UTF-16 text to the first window of that class; nothing
// when there is none.
void SendCopyDataCommand(HWND from, const std::wstring& text, const std::wstring& window_class);

}  // namespace mon

#endif
