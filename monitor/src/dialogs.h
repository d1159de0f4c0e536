// The main form's entry points into the PIN and settings dialogs.
#ifndef SOLVANTEX_MON_DIALOGS_H
#define SOLVANTEX_MON_DIALOGS_H

#include <windows.h>

namespace mon {

class main_form;

// The default-PIN check of the current token, run when TCheckDefaultUPIN
// fires: prompts while the token still carries its default user PIN.
void CheckDefaultPin(main_form& form);

// The PIN change the user asked for (the tray, or the manager application).
void ChangeUserPin(main_form& form);

// True while the default-PIN prompt or its PIN change is running.
bool PinPromptBusy();

// Runs the advanced-settings dialog ("TProjectConfigForm") modally; its
// modal result.
int RunProjectConfigForm(HWND owner);

}  // namespace mon

#endif
