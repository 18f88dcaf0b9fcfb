// Ctrl-C while parcelwise-cli writes a large attachment.
#include "cli/clirun.h"
#include "pstwriter/pstwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

using namespace pw::cli::test;

namespace {

constexpr qint64 kBig = 200LL << 20;

// True once the process holds a file open in `folder` that has no name yet
// (the attachment being written).
bool writingInto(qint64 pid, const QString &folder) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.startsWith(folder + "/") && target.endsWith("(deleted)"))
            return true;
    }
    return false;
}

class CliSignals : public ::testing::TestWithParam<int> {};

// Ctrl-C and SIGTERM alike stop the run at once: the attachment under way
// is whole or absent (absent where the store's reader can stop between its
// reads), and the next one is never started.
TEST_P(CliSignals, InterruptDuringLargeAttachmentLeavesNothingPartial) {
    QTemporaryDir dir;
    const QString pst = dir.filePath("large.pst");
    {
        pstwriter::Store store("Large");
        pstwriter::Folder &inbox = store.root().addFolder("Inbox");
        pstwriter::Message big;
        big.subject = "Video";
        big.attachments.push_back(pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(kBig, 7)));
        inbox.addMessage(std::move(big));
        pstwriter::Message small;
        small.subject = "Note";
        small.attachments.push_back(pstwriter::Attachment::file("small.txt", pstwriter::Content::generated(100, 8)));
        inbox.addMessage(std::move(small));
        store.write(pst.toStdString());
    }
    const QString out = dir.filePath("out");
    QDir().mkpath(out);
    QProcess cli;
    cli.setProcessEnvironment(cliEnvironment());
    cli.start(cliPath(), {"save", pst, "--to", out});
    ASSERT_TRUE(cli.waitForStarted());
    bool caught = false;
    for (int i = 0; i < 6000 && !caught && cli.state() == QProcess::Running; ++i) {
        caught = writingInto(cli.processId(), out);
        if (!caught)
            QThread::msleep(5);
    }
    ASSERT_TRUE(caught) << "the large attachment was never seen being written";
    ::kill(static_cast<pid_t>(cli.processId()), GetParam());
    ASSERT_TRUE(cli.waitForFinished(120000));
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 128 + GetParam()) << cli.readAllStandardError().toStdString();
    EXPECT_TRUE(cli.readAllStandardError().contains("interrupted"));
    // Nothing hidden or temporary is left.
    const QFileInfoList files = QDir(out).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    ASSERT_LE(files.size(), 1);
    if (!files.isEmpty()) {
        EXPECT_EQ(files.first().fileName(), "big.bin");
        EXPECT_EQ(files.first().size(), kBig);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignals, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return std::string(info.param == SIGINT ? "Interrupt" : "Terminate"); });

} // namespace
