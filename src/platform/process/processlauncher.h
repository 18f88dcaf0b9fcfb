#pragma once
#include "core/ports.h"

#include <QMap>

class QProcess;

namespace pw {

// Starts programs without a shell.
class ProcessLauncher : public Launcher {
public:
    ~ProcessLauncher() override;
    bool startDetached(const QString &program, const QStringList &arguments) override;
    qint64 start(const QString &program, const QStringList &arguments) override;
    bool running(qint64 handle, int *exitCode) override;
    void stop(qint64 handle) override;

    // How long stop() lets a program end by itself before killing it.
    int stopGraceMs = 3000;

private:
    QMap<qint64, QProcess *> m_processes;
    qint64 m_next = 1;
};

} // namespace pw
