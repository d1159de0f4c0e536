// SolvantexMon: start-up, single instance and shut-down.
#include <windows.h>

#include <memory>

#include "app_names.h"
#include "language_strings.h"
#include "main_form.h"
#include "project_base.h"
#include "test_switch.h"
#include "tray_icon.h"
#include "ui_helpers.h"
#include "usb_watcher.h"
#include "win_text.h"

using namespace mon;

namespace {

// The application's own hidden window: it carries the program icon and the
// application title (what the shell shows for the program).
HWND create_application_window(const std::wstring& title) {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = inst;
    wc.hIcon = static_cast<HICON>(LoadImageW(inst, names::main_icon, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = names::application_window_class;
    if (!RegisterClassW(&wc)) return nullptr;
    return CreateWindowExW(0, names::application_window_class, title.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0,
                           0, 0, nullptr, nullptr, inst, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    test_switch::init();
    test_switch::log("start");

    // 1. Unit initialisation.
    register_taskbar_created();
    std::unique_ptr<usb_watcher> unit_watcher(new usb_watcher());
    OpenInstanceMapping();

    // 3. Program folder; 4. the language of this start, from the user's
    // copy as it stands before it is replaced.
    const std::wstring folder = program_folder();
    int configured = ReadConfiguredLanguageId(mgr_config_path());
    test_switch::logf("configured language=%d", configured);

    // 5. The shipped configuration replaces the user's; 6. ClientConfig.txt
    // only when there is none.
    const std::wstring shipped = folder + names::shipped_config_folder;
    BOOL copied = CopyFileW((shipped + names::config_file).c_str(), mgr_config_path().c_str(), FALSE);
    test_switch::logf("copy MgrConfig.ini ok=%d", copied ? 1 : 0);
    copied = CopyFileW((shipped + names::client_config_file).c_str(),
                       (GetUpdateDir() + names::client_config_file).c_str(), TRUE);
    test_switch::logf("copy ClientConfig.txt ok=%d", copied ? 1 : 0);

    // 7.-9. The language list and the language file.
    std::vector<language_entry> languages;
    int listed = ReadLanguageList(language_list_path(), languages);
    language_choice choice = start_language(languages, configured);
    test_switch::logf("language list result=%d entries=%u chosen=%d file=%s", listed,
                      static_cast<unsigned>(languages.size()), choice.index,
                      test_switch::utf8(to_wide(choice.file)).c_str());
    LoadLanguageFile(language_file_path(to_wide(choice.file)));

    // 10. The provider's language library.
    WriteProductRegistryValue(names::product_registry_key, to_wide(choice.csp));
    test_switch::logf("registry csp=%s", test_switch::utf8(to_wide(choice.csp)).c_str());

    // 11. One instance per user session.
    int result = 0;
    if (ClaimFirstInstance(reinterpret_cast<HWND>(static_cast<INT_PTR>(GetCurrentProcessId() | 1))) != 0) {
        test_switch::log("second instance");
    } else {
        // 12. The main form, the application's icon and title, and the
        // message loop.
        main_form form;
        if (form.create()) {
            SetInstanceWindow(form.window());
            test_switch::logf("main window %p", static_cast<void*>(form.window()));
            HWND app = create_application_window(lang_text(lang::P_Caption));
            run_message_loop();
            if (app) DestroyWindow(app);
            result = 0;
        } else {
            result = 1;
        }
    }

    // 13. Unit finalisation.
    CloseInstanceMapping();
    unit_watcher.reset();
    test_switch::log("end");
    return result;
}
