// The window classes of the dialog controls and the C++ objects behind
// them. register_controls() registers the classes once per process; a
// control's object is reached from its window with the *_of functions and
// lives as long as the window. Change properties through the object, then
// call its apply() (or the named setters) so the window follows.
//
// One header per control family: edit.h (edit, spin edit), control_button.h
// (control buttons, spin pair), push_button.h, panel.h (panel, group box).
#pragma once

#include <windows.h>

#include "control_button.h"
#include "edit.h"
#include "panel.h"
#include "push_button.h"

namespace ctl {

bool register_controls(HINSTANCE instance);

}  // namespace ctl
