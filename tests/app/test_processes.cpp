#include "platform/process/linuxprocesstable.h"
#include "platform/process/processlauncher.h"
#include "platform/process/processterminator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QUuid>
#include <gtest/gtest.h>

#include <csignal>

using namespace pw;

TEST(ImageName, SuffixMatchIgnoringCase) {
    EXPECT_TRUE(imageNameMatches("OUTLOOK.EXE", "outlook.exe"));
    EXPECT_TRUE(imageNameMatches("Outlook.Exe", "OUTLOOK.EXE"));
    EXPECT_TRUE(imageNameMatches("myoutlook.exe", "OUTLOOK.EXE"));
    EXPECT_FALSE(imageNameMatches("outlook.exe.bak", "OUTLOOK.EXE"));
    EXPECT_FALSE(imageNameMatches("look.exe", "OUTLOOK.EXE"));
    EXPECT_EQ(LinuxProcessTable::imageNameFrom(QByteArray("C:\\Program Files\\OUTLOOK.EXE\0/x\0", 31), "wine"),
              QStringLiteral("OUTLOOK.EXE"));
    EXPECT_EQ(LinuxProcessTable::imageNameFrom(QByteArray("/usr/bin/sleep\0" "30\0", 18), "sleep\n"),
              QStringLiteral("sleep"));
    EXPECT_EQ(LinuxProcessTable::imageNameFrom(QByteArray(), "kworker/0:1\n"), QStringLiteral("kworker/0:1"));
}

namespace {
// A harmless process that shows up under a name nobody else uses.
struct Victim {
    QProcess process;
    QString name;
    explicit Victim(bool ignoreTerm) {
        name = QStringLiteral("pw-victim-%1.exe").arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
        const QString trap = ignoreTerm ? QStringLiteral("trap '' TERM; ") : QString();
        process.start(QStringLiteral("bash"),
                      {QStringLiteral("-c"), trap + QStringLiteral("exec -a %1 sleep 60").arg(name)});
        process.waitForStarted();
    }
    ~Victim() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool visible(LinuxProcessTable &table) {
        for (const ProcessInfo &p : table.snapshot())
            if (p.pid == process.processId() && p.imageName == name)
                return true;
        return false;
    }
};

bool waitUntilVisible(Victim &v, LinuxProcessTable &table) {
    for (int i = 0; i < 100; ++i) {
        if (v.visible(table))
            return true;
        QThread::msleep(20);
    }
    return false;
}
} // namespace

TEST(TerminateProcessesByName, EndsMatchingProcessesInAnyCaseAndKillsThoseThatIgnoreTheRequest) {
    LinuxProcessTable table;
    Victim polite(false);
    Victim stubborn(true);
    ASSERT_TRUE(waitUntilVisible(polite, table));
    ASSERT_TRUE(waitUntilVisible(stubborn, table));
    const qint64 politePid = polite.process.processId();
    const qint64 stubbornPid = stubborn.process.processId();

    TerminateProcessesByName(table, polite.name.toUpper(), 600);
    EXPECT_FALSE(table.isAlive(politePid));
    EXPECT_TRUE(table.isAlive(stubbornPid)) << "a process of another name was touched";

    TerminateProcessesByName(table, stubborn.name, 600);
    // SIGKILL is delivered asynchronously; give the kernel a moment.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !table.isAlive(stubbornPid);
        if (!gone)
            QThread::msleep(20);
    }
    EXPECT_TRUE(gone);
}

TEST(TerminateProcessesByName, NoMatchAndUnsignallableProcessesPassSilently) {
    struct Table : ProcessTable {
        QList<ProcessInfo> snapshot() override { return {{1, "init"}, {424242, "x-OUTLOOK.EXE"}}; }
        bool signal(qint64 pid, int sig) override {
            sent.append({pid, sig});
            return false; // nobody may be signalled
        }
        bool isAlive(qint64) override { return true; }
        void sleepMs(int) override { ++sleeps; }
        QList<QPair<qint64, int>> sent;
        int sleeps = 0;
    } table;
    TerminateProcessesByName(table, "OUTLOOK.EXE", 3000);
    ASSERT_EQ(table.sent.size(), 1);
    EXPECT_EQ(table.sent[0].first, 424242);
    EXPECT_EQ(table.sent[0].second, SIGTERM);
    EXPECT_EQ(table.sleeps, 0) << "nothing was asked to end, so nothing to wait for";
}

TEST(ProcessLauncherStop, EndsTheProgramAndWaitsForItAlsoWhenItIgnoresTheRequest) {
    ProcessLauncher launcher;
    launcher.stopGraceMs = 300;
    const qint64 polite = launcher.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    // The ignored request is inherited by the program it becomes.
    const qint64 stubborn = launcher.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                                                  QStringLiteral("trap '' TERM; exec sleep 60")});
    ASSERT_GT(polite, 0);
    ASSERT_GT(stubborn, 0);
    QThread::msleep(100); // let the trap be set before the request comes
    QElapsedTimer timer;
    timer.start();
    launcher.stop(polite);
    launcher.stop(stubborn);
    EXPECT_LT(timer.elapsed(), 5000);
    int exitCode = 0;
    EXPECT_FALSE(launcher.running(polite, &exitCode)) << "stop returned before the program ended";
    EXPECT_FALSE(launcher.running(stubborn, &exitCode));
    EXPECT_EQ(exitCode, -1) << "a killed program has no exit code of its own";
    launcher.stop(polite); // ended and forgotten: nothing happens
}
