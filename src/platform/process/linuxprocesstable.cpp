#include "platform/process/linuxprocesstable.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>

namespace pw {

namespace {
QByteArray readSmallFile(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(64 * 1024);
}
} // namespace

QString LinuxProcessTable::imageNameFrom(const QByteArray &cmdline, const QByteArray &comm) {
    const int end = cmdline.indexOf('\0');
    const QByteArray first = end < 0 ? cmdline : cmdline.left(end);
    if (!first.isEmpty()) {
        QString arg = QString::fromLocal8Bit(first);
        const int cut = std::max(arg.lastIndexOf(QLatin1Char('/')), arg.lastIndexOf(QLatin1Char('\\')));
        arg = arg.mid(cut + 1);
        if (!arg.isEmpty())
            return arg;
    }
    return QString::fromLocal8Bit(comm).trimmed();
}

QList<ProcessInfo> LinuxProcessTable::snapshot() {
    QList<ProcessInfo> out;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid <= 0)
            continue;
        const QString base = QStringLiteral("/proc/") + entry;
        const QByteArray comm = readSmallFile(base + QStringLiteral("/comm"));
        if (comm.isEmpty())
            continue; // gone meanwhile
        out.append(ProcessInfo{pid, imageNameFrom(readSmallFile(base + QStringLiteral("/cmdline")), comm)});
    }
    return out;
}

bool LinuxProcessTable::signal(qint64 pid, int signalNumber) {
    return pid > 0 && ::kill(static_cast<pid_t>(pid), signalNumber) == 0;
}

bool LinuxProcessTable::isAlive(qint64 pid) {
    if (pid <= 0)
        return false;
    // Reap our own children so they do not linger as zombies.
    int status = 0;
    ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    // A zombie no longer runs.
    const QByteArray stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    if (close > 0 && close + 2 < stat.size() && stat.at(close + 2) == 'Z')
        return false;
    return !stat.isEmpty();
}

void LinuxProcessTable::sleepMs(int ms) {
    QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace pw
