#include "platform/process/processlauncher.h"

#include <QFileInfo>
#include <QProcess>

#include <cerrno>

namespace pw {

ProcessLauncher::~ProcessLauncher() {
    for (QProcess *p : std::as_const(m_processes)) {
        if (p->state() != QProcess::NotRunning)
            p->waitForFinished(5000);
        delete p;
    }
}

bool ProcessLauncher::startDetached(const QString &program, const QStringList &arguments) {
    return QProcess::startDetached(program, arguments);
}

qint64 ProcessLauncher::start(const QString &program, const QStringList &arguments) {
    const QFileInfo info(program);
    if (program.isEmpty() || (program.contains(QLatin1Char('/')) && !info.exists()))
        return -ENOENT;
    auto *p = new QProcess;
    p->setProgram(program);
    p->setArguments(arguments);
    p->setStandardInputFile(QProcess::nullDevice());
    p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start();
    if (!p->waitForStarted(10000)) {
        const int err = info.exists() && !info.isExecutable() ? EACCES : ENOENT;
        delete p;
        return -err;
    }
    const qint64 handle = m_next++;
    m_processes.insert(handle, p);
    return handle;
}

bool ProcessLauncher::running(qint64 handle, int *exitCode) {
    QProcess *p = m_processes.value(handle);
    if (!p) {
        if (exitCode)
            *exitCode = -1;
        return false;
    }
    // A zero wait lets QProcess notice the child's end.
    if (p->state() != QProcess::NotRunning && !p->waitForFinished(0))
        return true;
    if (exitCode)
        *exitCode = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    m_processes.remove(handle);
    delete p;
    return false;
}

void ProcessLauncher::stop(qint64 handle) {
    QProcess *p = m_processes.value(handle);
    if (!p || p->state() == QProcess::NotRunning)
        return;
    // Asked first, so it can tidy up what it was writing.
    p->terminate();
    if (p->waitForFinished(stopGraceMs))
        return;
    p->kill();
    // A killed process ends as soon as the kernel has reaped it.
    p->waitForFinished(-1);
}

} // namespace pw
