#include "platform/process/processterminator.h"

#include <QCoreApplication>

#include <csignal>

namespace pw {

bool imageNameMatches(const QString &imageName, const QString &name) {
    const QString image = imageName.toLower();
    const QString wanted = name.toLower();
    if (image.size() < wanted.size())
        return image == wanted;
    return image.endsWith(wanted);
}

void TerminateProcessesByName(ProcessTable &processes, const QString &name, int graceMs) {
    try {
        const qint64 self = QCoreApplication::applicationPid();
        QList<qint64> asked;
        for (const ProcessInfo &p : processes.snapshot()) {
            if (p.pid == self || !imageNameMatches(p.imageName, name))
                continue;
            if (processes.signal(p.pid, SIGTERM))
                asked.append(p.pid);
        }
        constexpr int kStepMs = 50;
        for (int waited = 0; !asked.isEmpty() && waited < graceMs; waited += kStepMs) {
            processes.sleepMs(kStepMs);
            asked.removeIf([&](qint64 pid) { return !processes.isAlive(pid); });
        }
        for (qint64 pid : std::as_const(asked))
            processes.signal(pid, SIGKILL);
    } catch (...) {
        // Shut-down goes on whatever happens here.
    }
}

} // namespace pw
