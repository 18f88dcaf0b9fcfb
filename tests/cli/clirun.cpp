#include "cli/clirun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

namespace pw::cli::test {

QStringList CliResult::lines() const {
    QStringList out = QString::fromUtf8(this->out).split(QLatin1Char('\n'));
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

QString cliPath() {
    return QStringLiteral(PW_BIN_DIR) + QStringLiteral("/parcelwise-cli");
}

QProcessEnvironment cliEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("PARCELWISE_PROFILE"), QStringLiteral("/nonexistent-profile"));
    return env;
}

CliResult runCli(const QStringList &arguments, const QProcessEnvironment &env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(cliPath(), arguments);
    CliResult result;
    if (!process.waitForStarted(10000))
        return result;
    process.waitForFinished(600000);
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QString fileDigest(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

QStringList folderDigests(const QString &folder) {
    QStringList out;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
        out.append(fileDigest(info.filePath()));
    out.sort();
    return out;
}

} // namespace pw::cli::test
