#include "cli/clirun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

qint64 startCliBytes(const QList<QByteArray> &arguments, const QProcessEnvironment &env, int outFd, int errFd) {
    const QByteArray program = QFile::encodeName(cliPath());
    std::vector<QByteArray> envStrings;
    for (const QString &key : env.keys())
        envStrings.push_back((key + QLatin1Char('=') + env.value(key)).toUtf8());
    std::vector<char *> argv{const_cast<char *>(program.constData())};
    for (const QByteArray &a : arguments)
        argv.push_back(const_cast<char *>(a.constData()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (QByteArray &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (outFd >= 0)
            ::dup2(outFd, 1);
        if (errFd >= 0)
            ::dup2(errFd, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

int waitCli(qint64 pid) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CliResult runCliBytes(const QList<QByteArray> &arguments, const QProcessEnvironment &env, int outFd) {
    QTemporaryFile out;
    QTemporaryFile err;
    CliResult result;
    if (!out.open() || !err.open())
        return result;
    result.exitCode = waitCli(startCliBytes(arguments, env, outFd >= 0 ? outFd : out.handle(), err.handle()));
    out.seek(0);
    err.seek(0);
    result.out = out.readAll();
    result.err = err.readAll();
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
