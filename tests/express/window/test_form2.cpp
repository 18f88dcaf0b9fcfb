// The Outlook Express window, from the search to the saved attachments,
// with the real converter.
#include "app/core/settingsstore.h"
#include "dbxfixture.h"
#include "express/window/form2.h"
#include "platform/shell/qtdialogs.h"
#include "prefixfixture.h"
#include "support/fakeports.h"

#include <QDir>
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
    EXPECT_EQ(form.Text3->text(), DesktopFolderPath());
    EXPECT_TRUE(form.Text3->text().endsWith('/'));
    EXPECT_EQ(form.PushButton2->text(), QStringLiteral("Extract Emails With Attachment(s) From Outlook Express"));
    EXPECT_EQ(form.Frame1->title(), QStringLiteral("Save Attachment(s) To This Folder"));
    EXPECT_EQ(form.PushButton8->parentWidget(), form.Frame1);
    EXPECT_EQ(form.size(), QSize(twipsToPixels(8040, &form), twipsToPixels(7980, &form)));

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
    prefix.linkDriveC();
    const QByteArray guid = "{11111111-2222-4333-8444-555555555555}";
    prefix.writeUserReg("[Identities]\n\"Default User ID\"=\"" + guid + "\"\n[Identities\\\\" + guid
                        + "]\n\"Username\"=\"Main Identity\"\n[Identities\\\\" + guid
                        + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n"
                          "\"Store Root\"=str(2):\"%UserProfile%\\\\Mail\\\\\"\n");
    const QString store = prefix.path("drive_c/users/tester/Mail");
    QDir().mkpath(store);
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
