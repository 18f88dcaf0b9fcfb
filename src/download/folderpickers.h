#pragma once
#include "core/ports.h"

#include <QString>

namespace pw {

// The folder picker of the Outlook download, titled "Choose directory" and
// owned by no window. The chosen folder followed by "/" (so the root comes
// back as "//"); empty text when the user cancels.
QString BrowseDirectory(Dialogs &dialogs);

// The folder picker of the Outlook Express window: only real folders, the
// path exactly as chosen, no "/" added; empty text when the user cancels.
// `hWndOwner` is kept for callers that name their window; Qt finds the
// active one itself.
QString AddFolder(Dialogs &dialogs, quintptr hWndOwner, const QString &strTitle);

} // namespace pw
