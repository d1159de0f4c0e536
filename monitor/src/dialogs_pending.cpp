// Placeholders until the PIN and settings dialogs are built.
#include "dialogs.h"

namespace mon {

void CheckDefaultPin(main_form&) {}
void ChangeUserPin(main_form&) {}
bool PinPromptBusy() { return false; }
int RunProjectConfigForm(HWND) { return IDCANCEL; }

}  // namespace mon
