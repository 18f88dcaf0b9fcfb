#pragma once
// Runs the built parcelwise-cli and collects what it did.
#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace pw::cli::test {

struct CliResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QStringList lines() const;  // stdout, one entry per line
};

QString cliPath();
// The environment every run gets: UTC, no profile of the user's.
QProcessEnvironment cliEnvironment();
CliResult runCli(const QStringList &arguments, const QProcessEnvironment &env = cliEnvironment());

// SHA-256 (hex) of every file directly in `folder`, sorted; hidden files too.
QStringList folderDigests(const QString &folder);
QString fileDigest(const QString &path);

} // namespace pw::cli::test
