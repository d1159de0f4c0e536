// The monitor's one top-level window: hidden, shown as a small About window.
// It owns the tray icon with its menu, the USB watcher and the form's timers,
// and drives the manager library.
#ifndef SOLVANTEX_MON_MAIN_FORM_H
#define SOLVANTEX_MON_MAIN_FORM_H

#include <windows.h>

#include <memory>
#include <string>

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
    // True from the start of the form's destruction on: nothing more may
    // run on it (a modal loop the form waited in may have let the exit in).
    bool closing() const { return destroyed_; }

    // The certificates of one token into the user's stores: 0, the library's
    // result when the container names cannot be read, or a store failure
    // r + 10000 (key spec 1) / r + 20000 (key spec 2), which ends the
    // container walk; standalone CA certificates are registered in any case.
    int RegisterTokenCerts(int index);
    // One box per certificate of the token that expires within the
    // configured days (certificate tips on).
    int CheckCertExpiry(int index);
    // Closes the open settings/PIN windows (and the manager application's
    // system check) after a removal; the monitor's own box titled
    // P_MSGTitle is answered only when no token is left.
    void CloseOpenDialogs();

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
    // The removal check: false when every known token still answers; else
    // the certificates are removed, the tokens found again and every one
    // that answers registered, open dialogs closed, the balloon shown.
    bool RemovalCheck();
    std::unique_ptr<simple_timer> form_timer(UINT ms, void (main_form::*handler)());
    void TFindUSBKeyTimer();
    void TCloseProjectTimer();
    void TUSBRemoveTimer();
    void TCheckDefaultUPINTimer();
    void TCheckInitTimer();
    void TRegCertXETimer();
    void TAppUpdateTimer();
    void TRegCertTimer();
    void TUnRegCertTimer();
    void WMCopyData(const COPYDATASTRUCT* cds);
    void WMSessionChange(WPARAM reason);
    void RefreshAfterSessionChange();
    void reload_and_register_all();
    void Label7Click();
    void Label8Click();

    HWND window_ = nullptr;
    HMENU menu_ = nullptr;
    HICON icon_ = nullptr;
    HFONT font_ = nullptr;
    HWND image_ = nullptr, bevel_ = nullptr;
    HWND label_caption_ = nullptr, label_version_ = nullptr, button_ok_ = nullptr;
    std::unique_ptr<cool_tray_icon> tray_, retired_tray_;
    std::unique_ptr<usb_watcher> usb_, retired_usb_;
    bool in_usb_event_ = false;
    std::unique_ptr<simple_timer> find_usb_key_, close_project_, usb_remove_, check_default_upin_, check_init_,
        reg_cert_xe_, app_update_, reg_cert_, unreg_cert_;
    HWND label_url_ = nullptr, label_email_ = nullptr, label_url_caption_ = nullptr, label_email_caption_ = nullptr,
         label_copyright_ = nullptr;
    bool session_registered_ = false;
    int token_count_ = 0;
    int previous_count_ = 0;
    // A token counted at the last removal check did not answer: its
    // certificates are not registered yet.
    bool unregistered_ = false;
    int countdown_ = 0;
    bool exit_flag_ = false;
    bool session_ending_ = false;
    bool destroyed_ = false;
};

}  // namespace mon

#endif
