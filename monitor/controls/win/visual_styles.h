// Whether the controls draw with visual styles: the application is themed,
// the theme is active and the common controls in use draw themes. Every
// painter branch that depends on visual styles asks this one predicate.
#pragma once

namespace ctl {

bool visual_styles_active();

// For painter tests: force the answer (1 on, 0 off) or, with -1, ask the
// system again.
void set_visual_styles_override(int value);

}  // namespace ctl
