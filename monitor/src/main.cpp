// SolvantexMon: start-up, single instance and shut-down.
#include <windows.h>

#include <memory>

#include "language_strings.h"
#include "main_form.h"
#include "project_base.h"
#include "test_switch.h"
#include "tray_icon.h"
#include "usb_watcher.h"
#include "win_text.h"

using namespace mon;

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
    const std::wstring config_dir = GetConfigDir();
    int configured = ReadConfiguredLanguageId(config_dir + L"MgrConfig.ini");
    test_switch::logf("configured language=%d", configured);

    // 5. The shipped configuration replaces the user's; 6. ClientConfig.txt
    // only when there is none.
    BOOL copied = CopyFileW((folder + L"config\\MgrConfig.ini").c_str(), (config_dir + L"MgrConfig.ini").c_str(), FALSE);
    test_switch::logf("copy MgrConfig.ini ok=%d", copied ? 1 : 0);
    copied = CopyFileW((folder + L"config\\ClientConfig.txt").c_str(), (GetUpdateDir() + L"ClientConfig.txt").c_str(),
                       TRUE);
    test_switch::logf("copy ClientConfig.txt ok=%d", copied ? 1 : 0);

    // 7.-9. The language list and the language file.
    std::vector<language_entry> languages;
    int listed = ReadLanguageList(folder + L"Languages\\LanguageInfo.ini", languages);
    language_choice choice = start_language(languages, configured);
    test_switch::logf("language list result=%d entries=%u chosen=%d file=%s", listed,
                      static_cast<unsigned>(languages.size()), choice.index,
                      test_switch::utf8(to_wide(choice.file)).c_str());
    LoadLanguageFile(folder + L"Languages\\" + to_wide(choice.file));

    // 10. The provider's language library.
    WriteProductRegistryValue(L"Software\\Tarnely", to_wide(choice.csp));
    test_switch::logf("registry csp=%s", test_switch::utf8(to_wide(choice.csp)).c_str());

    // 11. One instance per user session.
    int result = 0;
    if (ClaimFirstInstance(reinterpret_cast<HWND>(static_cast<INT_PTR>(GetCurrentProcessId() | 1))) != 0) {
        test_switch::log("second instance");
    } else {
        // 12. The main form and the message loop.
        main_form form;
        if (form.create()) {
            SetInstanceWindow(form.window());
            test_switch::logf("main window %p", static_cast<void*>(form.window()));
            // Only WM_QUIT ends the loop. A message that cannot be received
            // (GetMessage fails: a copy-data record too large to be passed
            // on, where Wine returns a negative status rather than -1) is
            // dropped and the loop goes on; failures that never stop end it
            // after a bounded number in a row.
            MSG msg;
            unsigned failures = 0;
            for (;;) {
                BOOL got = GetMessageW(&msg, nullptr, 0, 0);
                if (got == 0) break;
                if (got < 0) {
                    test_switch::logf("message not received status=%ld", static_cast<long>(got));
                    if (++failures >= 1000) break;
                    continue;
                }
                failures = 0;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
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
