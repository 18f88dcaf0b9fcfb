#pragma once
// The command line of `parcelwise`: --help, --version, and the mail files
// a file manager or a user hands it ("parcelwise FILE...").
#include <QString>
#include <QStringList>

namespace pw {

struct StartupRequest {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    // The first .pst/.ost named: shown as "PST File:" in the main window.
    QString pstFile;
    // Every .dbx named, in order: added to the Outlook Express window.
    QStringList dbxFiles;
    // Notes for standard error: a usage error's text, files left out.
    QStringList notes;
};

// Reads the arguments after the program name. Options are recognised up to
// "--"; a file's kind goes by its suffix, else by its first bytes. Paths
// come back absolute, so they still hold once the window changes folder.
StartupRequest readStartupArguments(const QStringList &arguments);

// True when the arguments ask for --help or --version: those are answered
// before any window (or display) is set up.
bool asksForHelpOrVersion(const QStringList &arguments);

QString startupHelpText(const QString &converter);
QString startupVersionText();

} // namespace pw
