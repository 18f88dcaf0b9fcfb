// The program as Parcelwise and users run it: command line, exit statuses,
// messages, and the worked example's outputs checked by their digests.

#include "dbxfixture.h"
#include "unfurltesting.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QProcess>

#include <sys/prctl.h>
#include <linux/capability.h>
#include <unistd.h>

using namespace unfurl::fixture;
using namespace unfurl::testing;

TEST(UnfurlProgram, WorkedExampleGivesTheKnownDigests) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    const RunResult r = runUnfurl({QString::fromStdString(scratch.dbx()), scratch.out()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.standardError, QString());
    EXPECT_EQ(r.standardOutput, QString());
    EXPECT_EQ(filesIn(scratch.out()),
              (QStringList{QStringLiteral("Inbox_00001.eml"), QStringLiteral("Inbox_00002.eml")}));
    EXPECT_EQ(sha256OfFile(scratch.outFile(QStringLiteral("Inbox_00001.eml"))),
              QStringLiteral("fa9a91b5220f42491118c668d2328b858ff57c21d1edb85293efd7a92df31ddf"));
    EXPECT_EQ(sha256OfFile(scratch.outFile(QStringLiteral("Inbox_00002.eml"))),
              QStringLiteral("7addcad7ba247045a364e48a1e163d7c224df8bc85d21c79d2f68554614251da"));
}

TEST(UnfurlProgram, CommandLine) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    const QString dbx = QString::fromStdString(scratch.dbx());

    RunResult r = runUnfurl({QStringLiteral("--help")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.standardOutput.startsWith(QStringLiteral("Usage: unfurl"))) << r.standardOutput.toStdString();

    r = runUnfurl({QStringLiteral("--version")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.standardOutput.startsWith(QStringLiteral("unfurl "))) << r.standardOutput.toStdString();

    for (const QStringList &bad : {QStringList{}, QStringList{dbx}, QStringList{dbx, scratch.out(), scratch.out()},
                                   QStringList{QStringLiteral("--frobnicate"), dbx, scratch.out()},
                                   QStringList{QString(), scratch.out()}}) {
        r = runUnfurl(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.standardError.contains(QStringLiteral("unfurl --help"))) << r.standardError.toStdString();
        EXPECT_TRUE(r.standardOutput.isEmpty());
    }
    EXPECT_TRUE(filesIn(scratch.out()).isEmpty());

    // Options may come anywhere; "--" ends them.
    r = runUnfurl({dbx, QStringLiteral("--verbose"), QStringLiteral("--"), scratch.out()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.standardError.contains(QStringLiteral("wrote Inbox_00002.eml (799 bytes)")))
        << r.standardError.toStdString();
    EXPECT_TRUE(r.standardError.contains(QStringLiteral("2 messages written to ")));
}

TEST(UnfurlProgram, FolderListIsRefusedWithAClearMessage) {
    Scratch scratch;
    const std::string folders = scratch.dbx("Folders.dbx");
    writeDbx(folders, workedExample());
    patchU8(folders, 4, 0xC6);
    const RunResult r = runUnfurl({QString::fromStdString(folders), scratch.out()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.standardError.contains(QStringLiteral("Folders.dbx is the Outlook Express folder list")))
        << r.standardError.toStdString();
    EXPECT_TRUE(filesIn(scratch.out()).isEmpty());
}

TEST(UnfurlProgram, DamagedMessageGivesStatusOneAndTheRest) {
    Scratch scratch;
    const FixtureLayout layout = writeDbx(scratch.dbx(), numberedMessages(4, 1500));
    patchU32(scratch.dbx(), layout.blocks[1][1] + 0x0C, 0x7FFFFFF0);
    const RunResult r = runUnfurl({QString::fromStdString(scratch.dbx()), scratch.out()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.standardError.contains(QStringLiteral("message 2 not written: data block at 0x7FFFFFF0 lies "
                                                        "beyond the end of the file")))
        << r.standardError.toStdString();
    EXPECT_EQ(filesIn(scratch.out()).size(), 3);
}

TEST(UnfurlProgram, ExistingFileOfTheSameNameIsKept) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    QFile existing(scratch.outFile(QStringLiteral("Inbox_00002.eml")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("an earlier message");
    existing.close();
    const RunResult r = runUnfurl({QString::fromStdString(scratch.dbx()), scratch.out()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readWholeFile(existing.fileName()), QByteArray("an earlier message"));
    EXPECT_EQ(sha256OfFile(scratch.outFile(QStringLiteral("Inbox_00002_2.eml"))),
              QStringLiteral("7addcad7ba247045a364e48a1e163d7c224df8bc85d21c79d2f68554614251da"));
}

TEST(UnfurlProgram, ReadOnlyOutputFolderGivesStatusTwo) {
    Scratch scratch;
    writeDbx(scratch.dbx(), workedExample());
    ASSERT_TRUE(QFile::setPermissions(scratch.out(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                         QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    QProcess process;
    // Root writes anywhere; take away the capabilities that allow it, so
    // the folder's permissions count as they would for a user.
    process.setChildProcessModifier([] {
        if (::geteuid() == 0) {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
                if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
                    ::_exit(77);
        }
    });
    process.start(QStringLiteral(PW_BIN_DIR "/unfurl"), {QString::fromStdString(scratch.dbx()), scratch.out()});
    ASSERT_TRUE(process.waitForFinished(30000));
    QFile::setPermissions(scratch.out(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (process.exitCode() == 77)
        GTEST_SKIP() << "running as root without the right to drop privileges";
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(err.contains(QStringLiteral("cannot write into the output folder"))) << err.toStdString();
    EXPECT_TRUE(filesIn(scratch.out()).isEmpty());
}

TEST(UnfurlProgram, FileBeyondTwoGigabytes) {
    const auto messages = numberedMessages(4, 5000);
    Scratch scratch;
    writeDbx(scratch.dbx(), messages, FixtureOptions{.messageArea = 0xC0000000ull});
    const RunResult r = runUnfurl({QString::fromStdString(scratch.dbx()), scratch.out()});
    EXPECT_EQ(r.exitCode, 0) << r.standardError.toStdString();
    for (const auto &m : messages)
        EXPECT_EQ(readWholeFile(scratch.outFile(QStringLiteral("Inbox_%1.eml").arg(m.number, 5, 10, QLatin1Char('0'))))
                      .toStdString(),
                  m.text);
}

TEST(UnfurlProgram, FullDiskStopsCleanly) {
    // A 64 KiB file system in a private mount namespace holds a few of the
    // messages; the rest must be reported, and nothing half-written left.
    Scratch scratch;
    const auto messages = numberedMessages(12, 20000);
    writeDbx(scratch.dbx(), messages);
    QProcess process;
    process.start(QStringLiteral("unshare"),
                  {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                   QStringLiteral("mount -t tmpfs -o size=64k none \"$1\" || exit 77; \"$2\" \"$3\" \"$1\"; "
                                  "code=$?; cd \"$1\" && wc -c .[!.]* * 2>/dev/null; exit $code"),
                   QStringLiteral("sh"), scratch.out(), QStringLiteral(PW_BIN_DIR "/unfurl"),
                   QString::fromStdString(scratch.dbx())});
    if (!process.waitForStarted(10000))
        GTEST_SKIP() << "no unshare program";
    ASSERT_TRUE(process.waitForFinished(30000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (process.exitCode() == 77 || process.exitStatus() != QProcess::NormalExit ||
        err.contains(QStringLiteral("unshare:")))
        GTEST_SKIP() << "cannot mount a small file system here";
    const QString listing = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("No space left on device; stopped, the remaining messages were not "
                                            "written")))
        << err.toStdString();
    EXPECT_FALSE(listing.contains(QStringLiteral(".part"))) << listing.toStdString();
    // Every file that was published is complete.
    int complete = 0;
    for (const QString &line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.size() == 2 && fields[1].endsWith(QStringLiteral(".eml"))) {
            EXPECT_EQ(fields[0], QStringLiteral("20000")) << line.toStdString();
            ++complete;
        }
    }
    EXPECT_GE(complete, 1);
    EXPECT_LT(complete, 12);
    // The summary counts every message left unwritten, not only the one
    // that met the full disk.
    EXPECT_TRUE(err.contains(QStringLiteral(" written to %1, %2 could not be written\n").arg(scratch.out()).arg(12 - complete)))
        << err.toStdString();
}

TEST(UnfurlProgram, InterruptedRunLeavesNoTemporaryFiles) {
    Scratch scratch;
    writeDbx(scratch.dbx(), numberedMessages(60, 300000));
    for (const int delayMs : {5, 20, 60, 120}) {
        QProcess process;
        process.start(QStringLiteral(PW_BIN_DIR "/unfurl"), {QString::fromStdString(scratch.dbx()), scratch.out()});
        ASSERT_TRUE(process.waitForStarted(10000));
        QThread::msleep(delayMs);
        process.terminate();
        ASSERT_TRUE(process.waitForFinished(30000));
        const QStringList all = QDir(scratch.out()).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : all) {
            EXPECT_TRUE(name.endsWith(QStringLiteral(".eml"))) << name.toStdString();
            EXPECT_EQ(QFileInfo(scratch.outFile(name)).size(), 300000) << name.toStdString();
        }
    }
}
