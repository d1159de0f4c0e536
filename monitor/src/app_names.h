// The names the monitor shares with the system and the manager application:
// window classes, configuration and language files, the registry key.
#ifndef SOLVANTEX_MON_APP_NAMES_H
#define SOLVANTEX_MON_APP_NAMES_H

namespace mon {
namespace names {

// Window classes.
constexpr wchar_t main_window_class[] = L"TSolvantex_TrayIcon";
// The hidden handler windows of the tray icons, the timers and the USB
// notifications.
constexpr wchar_t tray_handler_class[] = L"TSolvantex_TrayHandler";
constexpr wchar_t timer_handler_class[] = L"TSolvantex_TimerHandler";
constexpr wchar_t usb_window_class[] = L"TSolvantex_USB";
constexpr wchar_t application_window_class[] = L"TSolvantex_Application";
constexpr wchar_t manager_window_class[] = L"TSolvantex_Mgr";
constexpr wchar_t pin_form_class[] = L"TUPinSetForm";
constexpr wchar_t config_form_class[] = L"TProjectConfigForm";
// A dialog of the manager application; the monitor only closes it.
constexpr wchar_t check_system_form_class[] = L"TCheckSysForm";

// Commands to the manager application.
constexpr wchar_t command_close[] = L"CLOSE";
constexpr wchar_t command_language[] = L"LANGUAGE";
constexpr wchar_t command_load_cert[] = L"LoadCert";

// Files: the configuration (in the user's folder, and shipped in config\),
// the client configuration, the language list and the fallback language.
constexpr wchar_t config_file[] = L"MgrConfig.ini";
constexpr wchar_t client_config_file[] = L"ClientConfig.txt";
constexpr wchar_t shipped_config_folder[] = L"config\\";
constexpr wchar_t languages_folder[] = L"Languages\\";
constexpr wchar_t language_list_file[] = L"LanguageInfo.ini";
constexpr wchar_t default_language_file[] = L"EN_1033.lng";

// HKCU key of the product's registry value.
constexpr wchar_t product_registry_key[] = L"Software\\Tarnely";

// The program icon resource.
constexpr wchar_t main_icon[] = L"MAINICON";

}  // namespace names
}  // namespace mon

#endif
