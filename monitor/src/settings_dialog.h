// The advanced settings dialog ("TProjectConfigForm").
#ifndef SOLVANTEX_MON_SETTINGS_DIALOG_H
#define SOLVANTEX_MON_SETTINGS_DIALOG_H

#include <windows.h>

namespace mon {

// Runs the dialog modally (an open one is brought to the front instead);
// its modal result.
int RunProjectConfigForm(HWND owner);

}  // namespace mon

#endif
