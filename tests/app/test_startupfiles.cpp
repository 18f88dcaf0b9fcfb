// `parcelwise FILE...`: which files go where, --help / --version, and the
// two windows' entry points for them.
#include "app/mainwindow.h"
#include "app/startupfiles.h"
#include "core/settingsstore.h"
#include "express/window/expresswindow.h"
#include "support/fakeports.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;
using Action = StartupRequest::Action;

namespace {

class StartupArguments : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString file(const QString &name, const QByteArray &head = "x") const {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(head);
        return f.fileName();
    }
    QTemporaryDir dir;
};

TEST_F(StartupArguments, HelpAndVersionAreAnsweredUpToTheEndOfOptions) {
    struct Case {
        QStringList arguments;
        bool asks;
        Action action;
    };
    const Case cases[] = {
        {{"--help"}, true, Action::Help},
        {{"-h"}, true, Action::Help},
        {{"--version"}, true, Action::Version},
        {{"-V"}, true, Action::Version},
        {{"a.pst", "--version", "--help"}, true, Action::Version}, // the first decides
        {{"--", "--help"}, false, Action::Run},                      // a file named --help
        {{"--bogus", "--help"}, true, Action::UsageError},
        {{}, false, Action::Run},
    };
    for (const Case &c : cases) {
        const QString shown = c.arguments.join(QLatin1Char(' '));
        EXPECT_EQ(asksForHelpOrVersion(c.arguments), c.asks) << shown.toStdString();
        EXPECT_EQ(readStartupArguments(c.arguments).action, c.action) << shown.toStdString();
    }
}

TEST_F(StartupArguments, FilesGoToTheirWindowsByKind) {
    const QString first = file(QStringLiteral("Archive 2019.PST"));
    const QString second = file(QStringLiteral("mailbox.ost"));
    const QString inbox = file(QStringLiteral("Inbox.dbx"));
    const QString sent = file(QStringLiteral("Sent.DBX"));
    // Saved without a suffix: known by the first bytes.
    const QString bareStore = file(QStringLiteral("store-copy"), QByteArray("!BDN\x01\x02", 6));
    const QString bareDbx = file(QStringLiteral("folder-copy"), QByteArray("\xCF\xAD\x12\xFE\x00", 5));
    const QString note = file(QStringLiteral("notes.txt"), "!BD");
    const StartupRequest request = readStartupArguments(
        {first, inbox, second, sent, inbox, bareDbx, bareStore, note, dir.filePath(QStringLiteral("gone.txt"))});
    EXPECT_EQ(request.action, Action::Run);
    EXPECT_EQ(request.pstFile, first);
    EXPECT_EQ(request.dbxFiles, (QStringList{inbox, sent, bareDbx})) << "each .dbx once, in order";
    ASSERT_EQ(request.notes.size(), 4) << request.notes.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(request.notes[0].startsWith(second)) << "a second store is named as left out";
    EXPECT_TRUE(request.notes[1].startsWith(bareStore));
    EXPECT_TRUE(request.notes[2].contains(QStringLiteral("notes.txt: not a .pst, .ost or .dbx file")));
    EXPECT_TRUE(request.notes[3].contains(QStringLiteral("gone.txt")));
}

TEST_F(StartupArguments, RelativeAndDashedNamesBecomeAbsolutePaths) {
    file(QStringLiteral("-odd.pst"));
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const StartupRequest request = readStartupArguments({QStringLiteral("--"), QStringLiteral("-odd.pst")});
    QDir::setCurrent(before);
    EXPECT_EQ(request.action, Action::Run);
    EXPECT_EQ(request.pstFile, dir.filePath(QStringLiteral("-odd.pst")));
}

TEST_F(StartupArguments, AnUnknownOptionIsAUsageErrorNamingIt) {
    const StartupRequest request = readStartupArguments({QStringLiteral("--open"), file(QStringLiteral("a.pst"))});
    EXPECT_EQ(request.action, Action::UsageError);
    ASSERT_FALSE(request.notes.isEmpty());
    EXPECT_EQ(request.notes[0], QStringLiteral("unknown option '--open'"));
}

TEST(StartupTexts, HelpNamesTheConverterAndVersionTheProgram) {
    EXPECT_TRUE(startupHelpText(QStringLiteral("This copy uses /x/unfurl."))
                    .contains(QStringLiteral("This copy uses /x/unfurl.")));
    EXPECT_TRUE(startupHelpText(QString()).startsWith(QStringLiteral("Usage: parcelwise [FILE...]\n")));
    EXPECT_TRUE(startupVersionText().startsWith(QStringLiteral("parcelwise (Parcelwise) ")));
}

class StartupWindows : public ::testing::Test {
protected:
    void SetUp() override { test::clearSettings(); }
    test::FakePorts fakes;
};

TEST_F(StartupWindows, AStoreIsChosenAsPstFileAndRemembered) {
    SettingsStore::SaveSetting(QStringLiteral("PST File"), QStringLiteral("/old/one.pst"));
    Form1 form(fakes.ports());
    form.Form_Load();
    ASSERT_TRUE(form.Option1->isChecked());
    form.openStoreFile(QStringLiteral("/mail/new.pst"));
    EXPECT_TRUE(form.Option2->isChecked());
    EXPECT_FALSE(form.Option1->isChecked());
    EXPECT_EQ(form.Text2->text(), QStringLiteral("/mail/new.pst"));
    EXPECT_EQ(SettingsStore::GetSetting(QStringLiteral("PST File"), QString()), QStringLiteral("/mail/new.pst"));
    EXPECT_EQ(SettingsStore::GetSetting(QStringLiteral("Option2"), QString()), QStringLiteral("True"));
}

TEST_F(StartupWindows, DbxFilesAreAddedOnceEachBesideTheListedOnes) {
    Form2 form(fakes.ports());
    form.Form_Load();
    form.addDbxFiles({QStringLiteral("/mail/Inbox.dbx")});
    form.addDbxFiles({QStringLiteral("/mail/Sent.dbx"), QStringLiteral("/mail/Inbox.dbx")});
    ASSERT_EQ(form.fileList().count(), 2);
    EXPECT_EQ(form.fileList().text(0, 0), QStringLiteral("/mail/Inbox.dbx"));
    EXPECT_EQ(form.fileList().text(1, 0), QStringLiteral("/mail/Sent.dbx"));
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
}

} // namespace
