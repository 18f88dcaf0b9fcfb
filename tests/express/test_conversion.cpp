// "Extract Emails With Attachment(s) From Outlook Express" with stand-in
// converters: a scripted launcher, and a real program keeping the
// converter's contract (two arguments: .dbx path, output folder; one .eml
// per message written there).
#include "express/conversion.h"

#include "core/error.h"
#include "platform/process/processlauncher.h"
#include "support/fakeports.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;

namespace {

QByteArray messageFrom(const QByteArray &sender) {
    return "From: " + sender + "\r\nTo: Bob\r\nSubject: s\r\nDate: Tue, 1 Apr 2008\r\n"
           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
           "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
           "--B\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\n\r\n%PDF\r\n--B--\r\n";
}

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
}

class Conversion : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(app.isValid());
        ASSERT_TRUE(work.isValid());
        ASSERT_TRUE(mail.isValid());
        writeFile(app.filePath(QStringLiteral("unfurl")), "#!/bin/sh\n");
        QFile::setPermissions(app.filePath(QStringLiteral("unfurl")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        // No converter of the machine's may stand in for a missing one.
        qputenv("PATH", emptyPath.path().toLocal8Bit());
        messages.setColumns({QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Subject"),
                             QStringLiteral("Date Received")},
                            {1500, 1500, 2000, 1500});
        files.setColumns({QStringLiteral("DBX File(s)")}, {6000});
    }

    QString addDbx(const QString &name, bool ticked = true) {
        const QString path = mail.filePath(name);
        writeFile(path, "dbx");
        list(path, ticked);
        return path;
    }
    void list(const QString &path, bool ticked) {
        const int row = files.appendRow({path});
        files.setChecked(row, ticked);
    }

    void run(Launcher &launcher) {
        ConversionContext context{fakes.dialogs, fakes.events, launcher, files, messages, names, app.path(),
                                  [this] { return work.path(); }, [this](int kind) { pointers.append(kind); }};
        convertDbxFiles(context);
    }

    // A scripted converter: each run writes the messages of one .dbx.
    void scriptConverter(int exitCode = 0) {
        fakes.launcher.onStart = [this, exitCode](const QString &, const QStringList &args) {
            const QString base = QFileInfo(args.value(0)).completeBaseName();
            writeFile(args.value(1) + QLatin1Char('/') + base + QStringLiteral("-1.eml"), messageFrom(base.toUtf8()));
            return exitCode;
        };
    }

    QStringList boxTexts() const {
        QStringList texts;
        for (const auto &b : fakes.dialogs.boxes)
            texts.append(b.text);
        return texts;
    }

    void TearDown() override { qputenv("PATH", savedPath); }

    QTemporaryDir app, work, mail, emptyPath;
    QByteArray savedPath = qgetenv("PATH");
    MessageListModel files, messages;
    QStringList names;
    QList<int> pointers;
    test::FakePorts fakes;
};

TEST_F(Conversion, NoTickedRowEmptiesEverythingAndStartsNothing) {
    addDbx(QStringLiteral("Inbox.dbx"), false);
    writeFile(work.filePath(QStringLiteral("old.eml")), messageFrom("Old"));
    messages.appendRow({QStringLiteral("stale")});
    names = QStringList{QStringLiteral("old.eml")};
    run(fakes.launcher);
    EXPECT_TRUE(fakes.launcher.started.isEmpty());
    EXPECT_EQ(messages.count(), 0);
    EXPECT_TRUE(names.isEmpty());
    EXPECT_FALSE(QFile::exists(work.filePath(QStringLiteral("old.eml"))));
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(pointers, (QList<int>{11, 0}));
}

TEST_F(Conversion, TwoTickedRowsRunInTurnAndEachMessageIsListedOnce) {
    const QString inbox = addDbx(QStringLiteral("Inbox.dbx"));
    addDbx(QStringLiteral("Skipped.dbx"), false);
    const QString sent = addDbx(QStringLiteral("Sent Items.dbx"));
    scriptConverter(1); // exit code 1 is no different from 0
    run(fakes.launcher);
    ASSERT_EQ(fakes.launcher.started.size(), 2);
    EXPECT_EQ(fakes.launcher.started[0].program, app.filePath(QStringLiteral("unfurl")));
    EXPECT_EQ(fakes.launcher.started[0].arguments, (QStringList{inbox, work.path()}));
    // The path with a space arrives whole.
    EXPECT_EQ(fakes.launcher.started[1].arguments, (QStringList{sent, work.path()}));
    EXPECT_EQ(names, (QStringList{QStringLiteral("Inbox-1.eml"), QStringLiteral("Sent Items-1.eml")}));
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(messages.text(0, 0), QStringLiteral("Inbox"));
    EXPECT_EQ(messages.text(1, 0), QStringLiteral("Sent Items"));
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_GE(fakes.events.calls, 3 + 2); // once per row, and while waiting
}

TEST_F(Conversion, PathsWithDoubleQuotesArriveWhole) {
    const QStringList paths{addDbx(QStringLiteral("My \"Inbox\" b.dbx")), addDbx(QStringLiteral("ends\"")),
                            addDbx(QStringLiteral("\"")), addDbx(QStringLiteral("\"\" \"x.dbx"))};
    run(fakes.launcher);
    ASSERT_EQ(fakes.launcher.started.size(), paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i)
        EXPECT_EQ(fakes.launcher.started[i].arguments, (QStringList{paths[i], work.path()}))
            << fakes.launcher.started[i].arguments.join(QLatin1Char('|')).toStdString();
}

TEST_F(Conversion, MissingDbxGivesAnEmptyArgument) {
    list(mail.filePath(QStringLiteral("gone.dbx")), true);
    run(fakes.launcher);
    ASSERT_EQ(fakes.launcher.started.size(), 1);
    EXPECT_EQ(fakes.launcher.started[0].arguments, (QStringList{QString(), work.path()}));
}

TEST_F(Conversion, MissingConverterIsReportedAndNothingRuns) {
    QFile::remove(app.filePath(QStringLiteral("unfurl")));
    addDbx(QStringLiteral("Inbox.dbx"));
    run(fakes.launcher);
    EXPECT_TRUE(fakes.launcher.started.isEmpty()) << "the .dbx path must never be run in the converter's place";
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("PushButton2_Click"))) << errors[0].text.toStdString();
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("\"unfurl\" for .dbx files was not found")))
        << errors[0].text.toStdString();
    EXPECT_EQ(messages.count(), 0);
}

TEST_F(Conversion, ConverterOnPathIsUsedWhenNoneIsBesideTheProgram) {
    QFile::remove(app.filePath(QStringLiteral("unfurl")));
    QTemporaryDir onPath;
    const QString converter = onPath.filePath(QStringLiteral("unfurl"));
    writeFile(converter, "#!/bin/sh\n");
    QFile::setPermissions(converter, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    qputenv("PATH", (emptyPath.path() + QLatin1Char(':') + onPath.path()).toLocal8Bit());
    addDbx(QStringLiteral("Inbox.dbx"));
    run(fakes.launcher);
    ASSERT_EQ(fakes.launcher.started.size(), 1);
    EXPECT_EQ(fakes.launcher.started[0].program, converter);
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
}

TEST_F(Conversion, FailuresAreReportedAndTheRunGoesOn) {
    addDbx(QStringLiteral("Inbox.dbx"));
    // A nested run (a click while waiting) makes a row vanish meanwhile.
    fakes.events.onProcess = [this] { files.removeRowAt(0); };
    ConversionContext context{fakes.dialogs, fakes.events, fakes.launcher, files, messages, names,
                              app.path(), [] { return QString(); }, {}};
    convertDbxFiles(context);
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_FALSE(errors.isEmpty());
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("Form2.PushButton2_Click at line 104")));
    EXPECT_TRUE(fakes.launcher.started.isEmpty());
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

TEST_F(Conversion, AWorkingFolderThatCannotBeMadeFailsStep104OnceAndTheRunEndsWithDone) {
    addDbx(QStringLiteral("Inbox.dbx"));
    addDbx(QStringLiteral("Sent.dbx"));
    messages.appendRow({QStringLiteral("stale")});
    ConversionContext context{fakes.dialogs, fakes.events, fakes.launcher, files, messages, names, app.path(),
                              []() -> QString { throw Error("Cannot create the folder \"/ro/eml\""); }, {}};
    convertDbxFiles(context);
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.startsWith(QStringLiteral("Cannot create the folder \"/ro/eml\"\r\n")));
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("Form2.PushButton2_Click at line 104")));
    EXPECT_TRUE(fakes.launcher.started.isEmpty()) << "the converter has nowhere to write";
    EXPECT_EQ(messages.count(), 0);
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

TEST_F(Conversion, StoppingEndsTheRunningConverterAndTheRunWithoutDone) {
    addDbx(QStringLiteral("Inbox.dbx"));
    addDbx(QStringLiteral("Sent.dbx"));
    scriptConverter();
    fakes.launcher.pollsBeforeExit = 1000000; // runs until it is ended
    ConversionStop stop;
    int waits = 0;
    fakes.events.onProcess = [&] {
        // The first event is the row's; the next ones come from the wait.
        if (++waits == 3)
            stop.stop(fakes.launcher);
    };
    ConversionContext context{fakes.dialogs, fakes.events, fakes.launcher, files, messages, names, app.path(),
                              [this] { return work.path(); }, [this](int kind) { pointers.append(kind); }, &stop};
    convertDbxFiles(context);
    EXPECT_EQ(fakes.launcher.started.size(), 1) << "the next row was converted after the stop";
    EXPECT_EQ(fakes.launcher.stopped, QList<qint64>{1});
    EXPECT_TRUE(fakes.launcher.runningHandles().isEmpty());
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(messages.count(), 0) << "nothing is listed after the stop";
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "no \"Done.\" after the window has gone";
}

TEST(RunAndWaitTest, StartFailureGivesErrorNumberPlusBase) {
    test::FakeLauncher launcher;
    test::FakeEvents events;
    launcher.onStart = [](const QString &, const QStringList &) { return -2; };
    EXPECT_EQ(static_cast<quint32>(Shell32::RunAndWait(launcher, events, QStringLiteral("\"/x/unfurl\" \"a\""), 0)),
              0x80040002u);
    EXPECT_EQ(events.calls, 0);
    ASSERT_EQ(launcher.started.size(), 1);
    EXPECT_EQ(launcher.started[0].program, QStringLiteral("/x/unfurl"));
    EXPECT_EQ(launcher.started[0].arguments, QStringList{QStringLiteral("a")});
}

TEST(RunAndWaitTest, WaitsUntilTheEndAndGivesTheExitCode) {
    test::FakeLauncher launcher;
    test::FakeEvents events;
    launcher.pollsBeforeExit = 3;
    launcher.onStart = [](const QString &, const QStringList &) { return 7; };
    EXPECT_EQ(Shell32::RunAndWait(launcher, events, QStringLiteral("prog \"two words\" \"\" x")), 7);
    EXPECT_GE(events.calls, 3);
    EXPECT_EQ(launcher.started[0].arguments,
              (QStringList{QStringLiteral("two words"), QString(), QStringLiteral("x")}));
}

// A real program in place of the converter, started through the real
// launcher: it checks it got two arguments and writes one message per call.
class RealConverter : public Conversion {
protected:
    void SetUp() override {
        Conversion::SetUp();
        // The stand-in needs the system's basename and sleep.
        qputenv("PATH", "/usr/bin:/bin");
        if (!QFile::exists(QStringLiteral("/bin/sh")))
            GTEST_SKIP() << "no /bin/sh to run the stand-in converter";
        const QString script = app.filePath(QStringLiteral("unfurl"));
        writeFile(script,
                  "#!/bin/sh\n"
                  "[ \"$#\" -eq 2 ] || exit 3\n"
                  "[ -d \"$2\" ] || exit 4\n"
                  "name=$(basename \"$1\" .dbx)\n"
                  "sleep 0.2\n"
                  "printf 'From: %s\\r\\nDate: Tue\\r\\nContent-Type: application/pdf; name=\"a.pdf\"\\r\\n\\r\\n%%PDF\\r\\n' \"$name\" > \"$2/$name.eml\"\n"
                  "exit 1\n");
        QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    ProcessLauncher launcher;
};

TEST_F(RealConverter, RunsOneAfterTheOtherWithPathsWithSpaces) {
    addDbx(QStringLiteral("My Inbox.dbx"));
    addDbx(QStringLiteral("Sent.dbx"));
    run(launcher);
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(names, (QStringList{QStringLiteral("My Inbox.eml"), QStringLiteral("Sent.eml")}));
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(messages.text(0, 0), QStringLiteral("My Inbox"));
    EXPECT_GE(fakes.events.calls, 2 + 2); // the waits polled and let events run
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
}

TEST_F(RealConverter, MissingConverterIsReportedNotListedAsNoMessages) {
    if (!QStandardPaths::findExecutable(QStringLiteral("unfurl")).isEmpty())
        GTEST_SKIP() << "this machine has an unfurl on PATH";
    QFile::remove(app.filePath(QStringLiteral("unfurl")));
    addDbx(QStringLiteral("Inbox.dbx"));
    run(launcher);
    EXPECT_EQ(fakes.dialogs.errorBoxes().size(), 1);
    EXPECT_EQ(messages.count(), 0);
    EXPECT_TRUE(names.isEmpty());
}

TEST(EmlWorkingFolderTest, IsAPrivateFolderInTheUserCache) {
    const QString folder = emlWorkingFolder();
    EXPECT_TRUE(folder.endsWith(QStringLiteral("/Parcelwise/eml")));
    EXPECT_TRUE(folder.startsWith(qEnvironmentVariable("XDG_CACHE_HOME")));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());
    EXPECT_EQ(emlWorkingFolder(), folder);
}

} // namespace
