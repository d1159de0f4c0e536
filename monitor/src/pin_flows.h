// The main form's PIN flows.
#ifndef SOLVANTEX_MON_PIN_FLOWS_H
#define SOLVANTEX_MON_PIN_FLOWS_H

namespace mon {

class main_form;

// The default-PIN check of the current token, run when TCheckDefaultUPIN
// fires: prompts while the token still carries its default user PIN.
void CheckDefaultPin(main_form& form);

// The PIN change the user asked for (the tray, or the manager application).
void ChangeUserPin(main_form& form);

// True while the default-PIN prompt or its PIN change is running.
bool PinPromptBusy();

}  // namespace mon

#endif
