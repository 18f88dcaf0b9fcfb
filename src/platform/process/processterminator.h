#pragma once
#include "core/ports.h"

namespace pw {

// True when `imageName` ends with `name`, ignoring case; an image name
// shorter than `name` is compared whole.
bool imageNameMatches(const QString &imageName, const QString &name);

// Ends every process whose image name ends with `name`, ignoring case.
// Each is first asked to end (SIGTERM) so it can save its work; whatever
// still runs after `graceMs` in total is killed. A process that cannot be
// signalled is passed over silently; nothing is reported.
void TerminateProcessesByName(ProcessTable &processes, const QString &name, int graceMs = 3000);

} // namespace pw
