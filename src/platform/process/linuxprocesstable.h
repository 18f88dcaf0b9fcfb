#pragma once
#include "core/ports.h"

namespace pw {

// The process table read from /proc. A process's image name is the last
// component of its command's first argument (either slash counts), else
// the kernel's name for it.
class LinuxProcessTable : public ProcessTable {
public:
    QList<ProcessInfo> snapshot() override;
    bool signal(qint64 pid, int signalNumber) override;
    bool isAlive(qint64 pid) override;
    void sleepMs(int ms) override;

    // The image name from a raw /proc/<pid>/cmdline and comm.
    static QString imageNameFrom(const QByteArray &cmdline, const QByteArray &comm);
};

} // namespace pw
