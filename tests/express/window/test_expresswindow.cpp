// The Outlook Express window, from the search to the saved attachments,
// with the real converter.
#include "core/settingsstore.h"
#include "widgets/statusline.h"
#include "dbxfixture.h"
#include "express/window/expresswindow.h"
#include "widgets/qtdialogs.h"
#include "prefixfixture.h"
#include "support/fakeports.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTreeView>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "platform/process/processlauncher.h"

using namespace pw;
using pw::test::FakePorts;
using pw::test::clearSettings;

namespace {


std::string message(const std::string &subject, const std::string &attachmentName, const std::string &body) {
    std::string boundary = "b1";
    std::string text = "From: Ann <ann@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: " + subject
                       + "\r\nDate: Tue, 5 Mar 2002 10:00:00 +0100\r\nMIME-Version: 1.0\r\n"
                         "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary
                       + "\r\nContent-Type: text/plain\r\n\r\nHello\r\n";
    if (!attachmentName.empty())
        text += "--" + boundary + "\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                "filename=\"" + attachmentName + "\"\r\n\r\n" + body + "\r\n";
    text += "--" + boundary + "--\r\n";
    return text;
}

// One Outlook Express identity whose store folder is the returned path.
QString storeFolder(test::PrefixFixture &prefix) {
    prefix.linkDriveC();
    const QByteArray guid = "{11111111-2222-4333-8444-555555555555}";
    prefix.writeUserReg("[Identities]\n\"Default User ID\"=\"" + guid + "\"\n[Identities\\\\" + guid
                        + "]\n\"Username\"=\"Main Identity\"\n[Identities\\\\" + guid
                        + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n"
                          "\"Store Root\"=str(2):\"%UserProfile%\\\\Mail\\\\\"\n");
    const QString store = prefix.path("drive_c/users/tester/Mail");
    QDir().mkpath(store);
    return store;
}

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
}

QStringList files(const QString &folder, const QStringList &patterns = {}) {
    return QDir(folder).entryList(patterns, QDir::Files | QDir::Hidden, QDir::Name);
}

class Form2Test : public ::testing::Test {
protected:
    void SetUp() override {
        clearSettings();
        ports = fakes.ports();
        ports.launcher = &launcher;
    }
    FakePorts fakes;
    ProcessLauncher launcher;
    Ports ports;
};

} // namespace

TEST_F(Form2Test, LoadsColumnsAndTheLocationWithItsDefault) {
    Form2 form(ports);
    form.Form_Load();
    EXPECT_EQ(form.fileList().headers(), QStringList{"DBX File(s)"});
    EXPECT_EQ(form.fileList().columnWidthTwips(0), 6000);
    EXPECT_EQ(form.messageList().headers(), (QStringList{"From", "To", "Subject", "Date Received"}));
    // A fresh account has no desktop folder: the home folder is the default.
    ASSERT_FALSE(QFileInfo(DesktopFolderPath()).exists());
    EXPECT_EQ(form.Text3->text(), QDir::homePath() + '/');
    EXPECT_EQ(form.PushButton2->text(), QStringLiteral("Extract Emails With Attachment(s) From Outlook Express"));
    EXPECT_EQ(form.Frame1->title(), QStringLiteral("Save Attachment(s) To This Folder"));
    EXPECT_EQ(form.PushButton8->parentWidget(), form.Frame1);
    // The given client area, with the status line below it.
    EXPECT_EQ(form.width(), twipsToPixels(8040, &form));
    EXPECT_EQ(form.height(), twipsToPixels(7980, &form) + form.statusLine().height());

    clearSettings();
    ASSERT_TRUE(QDir().mkpath(DesktopFolderPath()));
    Form2 withDesktop(ports);
    withDesktop.Form_Load();
    EXPECT_EQ(withDesktop.Text3->text(), DesktopFolderPath());
    QDir(DesktopFolderPath()).removeRecursively();

    // Clearing the box is remembered as empty, not as "use the default".
    form.Text3->setText("");
    Form2 again(ports);
    again.Form_Load();
    EXPECT_TRUE(again.Text3->text().isEmpty());
}

TEST_F(Form2Test, FilesAddedByHandAndTheFolderPicker) {
    Form2 form(ports);
    form.Form_Load();
    form.PushButton1->click(); // cancelled
    fakes.dialogs.fileAnswers.push_back({"/mail/Inbox.dbx"});
    form.PushButton1->click();
    fakes.dialogs.fileAnswers.push_back({"/Inbox.dbx", "/Sent Items.dbx"});
    form.PushButton1->click();
    EXPECT_EQ(form.fileList().count(), 3);
    EXPECT_EQ(form.fileList().text(2, 0), QStringLiteral("/Sent Items.dbx"));
    EXPECT_EQ(fakes.dialogs.fileDialogTitles[0], QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"));
    EXPECT_EQ(fakes.dialogs.fileDialogFilters[0], QStringLiteral("DBX Files (*.dbx)|*.dbx|"));

    form.Text3->setText("/keep/");
    form.PushButton8->click(); // cancelled
    EXPECT_EQ(form.Text3->text(), QStringLiteral("/keep/"));
    fakes.dialogs.folderAnswers = {"/home/u/out", "/"};
    form.PushButton8->click();
    EXPECT_EQ(form.Text3->text(), QStringLiteral("/home/u/out/"));
    EXPECT_EQ(SettingsStore::GetSetting("Location"), QStringLiteral("/home/u/out/"));
    form.PushButton8->click();
    EXPECT_EQ(form.Text3->text(), QStringLiteral("/")) << "the root keeps a single separator";
    EXPECT_EQ(fakes.dialogs.folderTitles[0], QStringLiteral("Please select folder:"));
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
}

TEST_F(Form2Test, HoverSetsHandOverListsAndButtonsDefaultOverFrame) {
    Form2 form(ports);
    form.Form_Load();
    form.windowPointer().pointerMovedOver(form.ListView2);
    EXPECT_EQ(form.pointer(), PointerCustom);
    form.windowPointer().pointerMovedOver(form.Text3);
    EXPECT_EQ(form.pointer(), PointerCustom);
    form.windowPointer().pointerMovedOver(form.Frame1);
    EXPECT_EQ(form.pointer(), PointerDefault);
    form.setPointer(PointerBusy);
    form.windowPointer().pointerMovedOver(form.PushButton7);
    EXPECT_EQ(form.pointer(), PointerBusy);
}

TEST_F(Form2Test, FailedSearchIsReportedAndAddsNoRow) {
    test::PrefixFixture prefix; // an empty prefix: no identities
    Form2 form(ports);
    form.Form_Load();
    form.PushButton14->click();
    EXPECT_EQ(form.fileList().count(), 0);
    ASSERT_EQ(fakes.dialogs.errorBoxes().size(), 1);
    EXPECT_TRUE(fakes.dialogs.errorBoxes()[0].text.contains("in Parcelwise5/20/2014.Form2.PushButton14_Click at line 102"));
}

TEST_F(Form2Test, SearchConvertListAndSaveEndToEnd) {
    const QString unfurl = QStringLiteral(PW_BIN_DIR "/unfurl");
    if (!QFile::exists(unfurl))
        GTEST_SKIP() << "the converter is not built";
    test::PrefixFixture prefix;
    const QString store = storeFolder(prefix);
    std::vector<unfurl::fixture::FixtureMessage> messages(3);
    messages[0].number = 1;
    messages[0].text = message("first", "report.pdf", "ONE");
    messages[1].number = 2;
    messages[1].text = message("no attachment", "", "");
    messages[2].number = 3;
    messages[2].text = message("third", "report.pdf", "THREE");
    unfurl::fixture::writeDbx((store + "/Inbox.dbx").toStdString(), messages);
    prefix.touch("drive_c/users/tester/Mail/Folders.dbx");

    QTemporaryDir work, out;
    Form2 form(ports);
    form.converterFolder = QStringLiteral(PW_BIN_DIR);
    form.workingFolder = work.path();
    form.Form_Load();
    form.Text3->setText(out.path());

    form.PushButton14->click();
    ASSERT_EQ(form.fileList().count(), 1) << "Folders.dbx is not a message file";
    EXPECT_TRUE(form.fileList().text(0, 0).endsWith("/Mail/Inbox.dbx"));
    form.PushButton5->click();
    form.PushButton2->click();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty()) << fakes.dialogs.errorBoxes().value(0).text.toStdString();
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));
    ASSERT_EQ(form.messageList().count(), 2) << "only messages with attachments are listed";
    EXPECT_EQ(form.messageList().text(0, 2), QStringLiteral("first"));
    EXPECT_EQ(form.EmlFileNames.size(), 2);

    form.PushButton4->click();
    form.PushButton7->click();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty()) << fakes.dialogs.errorBoxes().value(0).text.toStdString();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files, QDir::Name), (QStringList{"report.pdf", "report_1.pdf"}));
    QFile second(out.filePath("report_1.pdf"));
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_EQ(second.readAll(), QByteArray("THREE"));

    // Closing the window deletes the converted messages.
    EXPECT_FALSE(QDir(work.path()).entryList({"*.eml"}, QDir::Files).isEmpty());
    form.close();
    EXPECT_TRUE(QDir(work.path()).entryList({"*.eml"}, QDir::Files).isEmpty());
}

TEST_F(Form2Test, SearchingTwiceOrAddingAListedFileByHandListsEachFileOnce) {
    test::PrefixFixture prefix;
    const QString store = storeFolder(prefix);
    writeFile(store + "/Inbox.dbx", "x");
    writeFile(store + "/Sent Items.dbx", "x");
    Form2 form(ports);
    form.Form_Load();
    form.PushButton14->click();
    form.PushButton14->click();
    ASSERT_EQ(form.fileList().count(), 2);
    // The same file, written another way, is not listed again.
    fakes.dialogs.fileAnswers.push_back({store + "/./Inbox.dbx", store + "/Drafts.dbx"});
    form.PushButton1->click();
    fakes.dialogs.fileAnswers.push_back({store + "/Drafts.dbx"});
    form.PushButton1->click();
    QStringList rows;
    for (int r = 0; r < form.fileList().count(); ++r)
        rows.append(QFileInfo(form.fileList().text(r, 0)).fileName());
    EXPECT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.count("Inbox.dbx"), 1);
    EXPECT_EQ(rows.count("Drafts.dbx"), 1) << "a file missing on disk is compared by its path";
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
}

TEST_F(Form2Test, AConversionOrASaveClickedWhileOneRunsIsIgnored) {
    ports.launcher = &fakes.launcher;
    QTemporaryDir work, mail, out;
    fakes.launcher.pollsBeforeExit = 2; // the wait lets window events run
    fakes.launcher.onStart = [&](const QString &, const QStringList &args) {
        const QString base = QFileInfo(args.value(0)).completeBaseName();
        writeFile(args.value(1) + "/" + base + ".eml", QByteArray::fromStdString(message(base.toStdString(), "report.pdf", "data")));
        return 0;
    };
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    form.Text3->setText(out.path());
    for (const char *name : {"Inbox.dbx", "Sent.dbx"}) {
        writeFile(mail.filePath(name), "x");
        fakes.dialogs.fileAnswers.push_back({mail.filePath(name)});
        form.PushButton1->click();
    }
    form.PushButton5->click();
    int clicks = 0;
    fakes.events.onProcess = [&] {
        ++clicks;
        form.PushButton2->click();
    };
    form.PushButton2->click();
    EXPECT_GT(clicks, 0);
    EXPECT_EQ(fakes.launcher.started.size(), 2) << "a nested conversion ran the converter again";
    EXPECT_EQ(form.messageList().count(), 2);
    EXPECT_EQ(form.EmlFileNames, (QStringList{"Inbox.eml", "Sent.eml"}));

    // Saving: a taken name makes the save let events run while it renames;
    // a box shown meanwhile is another moment to click.
    writeFile(out.filePath("report.pdf"), "mine");
    form.PushButton4->click();
    clicks = 0;
    fakes.events.onProcess = [&] {
        ++clicks;
        form.PushButton7->click();
    };
    fakes.dialogs.onBox = [&](const test::ShownBox &) {
        ++clicks;
        form.PushButton7->click();
    };
    fakes.dialogs.boxes.clear();
    form.PushButton7->click();
    EXPECT_GT(clicks, 0);
    EXPECT_EQ(files(out.path()).size(), 3) << "one file per attachment, besides the one already there";
    EXPECT_EQ(fakes.dialogs.boxes.size(), 1);
    EXPECT_EQ(fakes.dialogs.boxes.value(0).text, QStringLiteral("Done."));
}

TEST_F(Form2Test, ClosingDuringAConversionEndsTheConverterThenDeletesTheWorkingFiles) {
    if (QStandardPaths::findExecutable(QStringLiteral("sh")).isEmpty())
        GTEST_SKIP() << "no /bin/sh for the stand-in converter";
    QTemporaryDir app, work, mail;
    // Writes one message after another for as long as it is let run.
    const QString script = app.filePath("unfurl");
    writeFile(script, "#!/bin/sh\n"
                      "i=0\n"
                      "while [ $i -lt 2000 ]; do\n"
                      "  printf 'From: a\\r\\nSubject: s\\r\\n\\r\\nhi\\r\\n' > \"$2/m$i.eml\"\n"
                      "  i=$((i+1)); sleep 0.01\n"
                      "done\n");
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeFile(mail.filePath("Inbox.dbx"), "x");
    writeFile(mail.filePath("Sent.dbx"), "x");

    Form2 form(ports);
    form.converterFolder = app.path();
    form.workingFolder = work.path();
    form.Form_Load();
    fakes.dialogs.fileAnswers.push_back({mail.filePath("Inbox.dbx"), mail.filePath("Sent.dbx")});
    form.PushButton1->click();
    form.PushButton5->click();
    bool closed = false;
    fakes.events.onProcess = [&] {
        if (!closed && files(work.path(), {"*.eml"}).size() >= 3) {
            closed = true;
            form.close();
        }
    };
    QElapsedTimer timer;
    timer.start();
    form.PushButton2->click();
    ASSERT_TRUE(closed);
    EXPECT_LT(timer.elapsed(), 10000) << "the converter ran on after the window closed";
    EXPECT_TRUE(files(work.path(), {"*.eml"}).isEmpty());
    QThread::msleep(200);
    EXPECT_TRUE(files(work.path(), {"*.eml"}).isEmpty()) << "the converter went on writing";
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "\"Done.\" after the window had gone";
    // A closed window starts nothing more.
    form.PushButton2->click();
    EXPECT_TRUE(files(work.path(), {"*.eml"}).isEmpty());
}

TEST_F(Form2Test, TheLocationMustNameAnExistingFolderAndTildeIsTheHomeFolder) {
    QTemporaryDir work;
    QTemporaryDir elsewhere;
    writeFile(work.filePath("m.eml"), QByteArray::fromStdString(message("s", "report.pdf", "data")));
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    form.messageList().setChecked(form.messageList().appendRow({"a", "b", "s", "d"}), true);
    form.EmlFileNames = QStringList{"m.eml"};

    const QString missing = elsewhere.filePath("gone/");
    form.Text3->setText(missing);
    form.PushButton7->click();
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1) << "one refusal, then nothing";
    EXPECT_TRUE(fakes.dialogs.boxes[0].text.contains("does not exist"));
    EXPECT_TRUE(fakes.dialogs.boxes[0].text.contains(missing));
    EXPECT_EQ(fakes.dialogs.boxes[0].icon, MsgIcon::Exclamation);

    writeFile(elsewhere.filePath("plain"), "x");
    form.Text3->setText(elsewhere.filePath("plain"));
    form.PushButton7->click();
    ASSERT_EQ(fakes.dialogs.boxes.size(), 2);
    EXPECT_TRUE(fakes.dialogs.boxes[1].text.contains("is not a folder"));
    EXPECT_EQ(files(elsewhere.path()), QStringList{"plain"});

    ASSERT_TRUE(QDir().mkpath(QDir::homePath() + "/saved"));
    form.Text3->setText("~/saved");
    form.PushButton7->click();
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty()) << fakes.dialogs.errorBoxes().value(0).text.toStdString();
    EXPECT_EQ(files(QDir::homePath() + "/saved"), QStringList{"report.pdf"});
    EXPECT_FALSE(QFileInfo::exists("~")) << "a folder named \"~\" was made";
    QDir(QDir::homePath() + "/saved").removeRecursively();
}

TEST_F(Form2Test, AWorkingFolderThatCannotBeMadeFailsTheStepThatUsesItAndBothButtonsSayDone) {
    QTemporaryDir base;
    writeFile(base.filePath("file"), "x");
    // The cache folder would have to be made inside a plain file.
    const test::ScopedEnv cache("XDG_CACHE_HOME", base.filePath("file").toUtf8());
    QTemporaryDir mail, out;
    writeFile(mail.filePath("Inbox.dbx"), "x");
    ports.launcher = &fakes.launcher;
    Form2 form(ports);
    form.Form_Load();
    form.Text3->setText(out.path());
    fakes.dialogs.fileAnswers.push_back({mail.filePath("Inbox.dbx")});
    form.PushButton1->click();
    form.PushButton5->click();

    form.PushButton2->click();
    auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains("Form2.PushButton2_Click at line 104"));
    EXPECT_TRUE(errors[0].text.contains(base.filePath("file"))) << "the report names the folder";
    EXPECT_TRUE(errors[0].text.contains("Not a directory")) << "and why it cannot be made";
    EXPECT_TRUE(fakes.launcher.started.isEmpty());
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));

    form.messageList().setChecked(form.messageList().appendRow({"a", "b", "s", "d"}), true);
    form.EmlFileNames = QStringList{"m.eml"};
    fakes.dialogs.boxes.clear();
    form.PushButton7->click();
    errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains("Form2.PushButton7_Click at line 110"));
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));
    EXPECT_EQ(form.pointer(), PointerDefault);
    EXPECT_TRUE(files(out.path()).isEmpty());
}
