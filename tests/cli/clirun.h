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

// Runs the program with arguments given as bytes (file names need not be
// UTF-8); standard output goes to `outFd` when it is given, else it is
// collected.
CliResult runCliBytes(const QList<QByteArray> &arguments, const QProcessEnvironment &env = cliEnvironment(),
                      int outFd = -1);
// Starts the program on the same terms and answers its process id.
qint64 startCliBytes(const QList<QByteArray> &arguments, const QProcessEnvironment &env, int outFd, int errFd);
// Waits for a process startCliBytes started; answers its exit status, -1
// when a signal ended it.
int waitCli(qint64 pid);

// SHA-256 (hex) of every file directly in `folder`, sorted; hidden files too.
QStringList folderDigests(const QString &folder);
QString fileDigest(const QString &path);

} // namespace pw::cli::test
