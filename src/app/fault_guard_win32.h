#pragma once

namespace ts {

// An unattended till has nobody to click a dialog away. From here on no
// fault, critical-error or file-open box is shown: a crash, abort() or an
// exception nobody catches ends the process at once with `exitStatus`,
// after one line on the debugger output saying which.
void installFaultGuard(int exitStatus);

}  // namespace ts
