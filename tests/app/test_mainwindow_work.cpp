// The main window as a tool for long work: resizing, the status line,
// Cancel, repeated failures and the reports that keep a list from staying
// silently empty.
#include "app/mainwindow.h"
#include "widgets/look.h"
#include "widgets/statusline.h"
#include "widgets/windowfit.h"
#include "fakeoutlook.h"
#include "support/fakeports.h"

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeView>
#include <QUrl>
#include <gtest/gtest.h>

using namespace pw;
using namespace pw::outlook::fake;
using pw::test::FakePorts;

namespace {

class Form1Work : public ::testing::Test {
protected:
    void SetUp() override {
        test::clearSettings();
        world = FakeOutlook::create();
        installed = world->install();
    }
    FakePorts fakes;
    std::shared_ptr<FakeOutlook> world;
    std::unique_ptr<outlook::ScopedCreator> installed;
};

QStringList filesIn(const QString &folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

TEST_F(Form1Work, ALargerWindowGivesTheListTheRoomAndKeepsTheRestInPlace) {
    Form1 form(fakes.ports());
    form.Form_Load();
    form.show();
    const QRect list = form.ListView1->geometry(), select = form.PushButton5->geometry(),
                deselect = form.PushButton6->geometry(), start = form.PushButton3->geometry(),
                option = form.Option2->geometry(), browse = form.PushButton8->geometry(),
                find = form.PushButton2->geometry(), help = form.PushButton7->geometry();
    EXPECT_EQ(list, twipsRect(120, 3120, 7800, 3105, &form)) << "opens at the given placement";
    EXPECT_GE(form.statusLine().geometry().top(), start.bottom()) << "the status line lies under everything";

    form.resize(form.width() + 300, form.height() + 200);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.ListView1->geometry(), list.adjusted(0, 0, 300, 200));
    EXPECT_EQ(form.PushButton5->geometry(), select.translated(0, 200).adjusted(0, 0, 150, 0));
    EXPECT_EQ(form.PushButton6->geometry(), deselect.translated(150, 200).adjusted(0, 0, 150, 0));
    EXPECT_EQ(form.PushButton3->geometry(), start.translated(0, 200).adjusted(0, 0, 300, 0));
    EXPECT_EQ(form.PushButton7->geometry(), help.adjusted(0, 0, 300, 0));
    EXPECT_EQ(form.PushButton8->geometry(), browse.translated(300, 0));
    EXPECT_EQ(form.PushButton2->geometry(), find.translated(300, 0));
    EXPECT_EQ(form.Option2->geometry(), option);
    EXPECT_EQ(form.statusLine().width(), form.ListView1->width());

    // Never smaller than the given size.
    form.resize(100, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.ListView1->geometry(), list);
}

TEST_F(Form1Work, ColumnsFitTheirContentsAfterAScanAndTheIdColumnStaysHidden) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    inbox.addMail().sender("Ann").subject("Dated").received(QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58)));
    inbox.addMail().sender("Bob").subject(QString(400, QLatin1Char('x'))); // Outlook's "no date"
    Form1 form(fakes.ports());
    form.Form_Load();
    form.show();
    form.PushButton1->click();
    ASSERT_EQ(form.listModel().count(), 2);
    const QHeaderView *header = form.ListView1->header();
    EXPECT_EQ(header->sectionSize(8), 0) << "the ID column is never seen";
    EXPECT_TRUE(form.listModel().text(1, 3).isEmpty()) << "a message without a date shows an empty cell";
    const QString date = form.listModel().text(0, 3);
    EXPECT_TRUE(date.contains(QStringLiteral("23:59:58"))) << date.toStdString();
    EXPECT_GT(header->sectionSize(3), form.ListView1->fontMetrics().horizontalAdvance(date))
        << "the Date column shows the whole date and time";
    EXPECT_LE(header->sectionSize(7), twipsToPixels(7000, &form)) << "a long subject is held within bounds";
    EXPECT_LT(header->sectionSize(0), twipsToPixels(2000, &form)) << "a short store name needs no 2000 twips";
}

TEST_F(Form1Work, SizeAndColumnWidthsAreRememberedBetweenRuns) {
    QSize base;
    {
        Form1 form(fakes.ports());
        form.Form_Load();
        form.show();
        base = form.size();
        form.resize(form.width() + 120, form.height());
        form.ListView1->header()->resizeSection(1, 321);
        form.ListView1->header()->resizeSection(8, 50);
        form.Form_Unload();
    }
    {
        Form1 again(fakes.ports());
        again.Form_Load();
        again.show();
        EXPECT_EQ(again.size(), base + QSize(120, 0));
        EXPECT_EQ(again.ListView1->header()->sectionSize(1), 321);
        EXPECT_EQ(again.ListView1->header()->sectionSize(8), 0) << "the ID column is never brought back";
    }
    // A size kept from a larger screen is cut to this one, never below the given size.
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Quillmark", "Parcelwise")
        .setValue("Windows/Form1/size", QSize(5000, 5000));
    Form1 large(fakes.ports());
    large.Form_Load();
    const QSize screen = large.screen()->availableGeometry().size();
    EXPECT_EQ(large.size(), screen.expandedTo(base));
}

TEST_F(Form1Work, TheScanTellsHowFarItHasComeAndWhatItListed) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 6; ++i)
        inbox.addMail().subject(QString::number(i));
    Form1 form(fakes.ports());
    form.Form_Load();
    QStringList seen;
    bool cancelShown = false;
    fakes.events.onProcess = [&] {
        seen.append(form.statusLine().text());
        cancelShown = cancelShown || form.statusLine().cancelButton()->isVisibleTo(&form);
        if (fakes.events.calls == 4) // the second message: the first is listed
            QThread::msleep(300);    // long enough for the next progress update
    };
    form.PushButton1->click();
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.first(), QStringLiteral("Reading the mail stores..."));
    EXPECT_TRUE(seen.contains(QStringLiteral("1 message listed; reading Mailbox / Inbox"))) << seen.join(" | ").toStdString();
    EXPECT_TRUE(cancelShown);
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Listed 6 messages in ")))
        << form.statusLine().text().toStdString();
    EXPECT_FALSE(form.statusLine().cancelButton()->isVisibleTo(&form));
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(Form1Work, CancelStopsTheScanAtAMessageAndSaysWhatWasListed) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 10; ++i)
        inbox.addMail().subject(QString::number(i));
    Form1 form(fakes.ports());
    form.Form_Load();
    // Events: the store, the folder, then one per message.
    fakes.events.onProcess = [&] {
        if (fakes.events.calls == 6)
            form.statusLine().cancelButton()->click();
    };
    form.PushButton1->click();
    EXPECT_EQ(form.listModel().count(), 3) << "the scan stopped before the fourth message";
    EXPECT_EQ(form.statusLine().text().left(45), QStringLiteral("Stopped: 3 messages listed before the stop, i"));
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_FALSE(form.scan().bSearchMode);
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    // The next scan runs whole.
    fakes.events.onProcess = nullptr;
    form.PushButton1->click();
    EXPECT_EQ(form.listModel().count(), 10);
}

TEST_F(Form1Work, TheDownloadLetsEventsRunPerAttachmentAndSaysWhatItSaved) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 3; ++i)
        inbox.addMail().subject(QString::number(i)).attach(QStringLiteral("a%1.txt").arg(i), "12345").attach(
            QStringLiteral("b%1.txt").arg(i), "1234567890");
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    form.Combo1->setCurrentIndex(1); // "All"
    fakes.dialogs.folderAnswers = {target.path()};
    const int before = fakes.events.calls;
    form.PushButton3->click();
    EXPECT_EQ(fakes.events.calls - before, 6) << "once per attachment saved";
    EXPECT_EQ(filesIn(target.path()).size(), 6);
    const QString folder = target.path() + QLatin1Char('/');
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Saved 6 attachments (45 bytes) to ") + folder + " in "))
        << form.statusLine().text().toStdString();
    EXPECT_EQ(form.statusLine().folder(), folder);
    ASSERT_TRUE(form.statusLine().folderLink()->isVisibleTo(&form));
    emit form.statusLine().folderLink()->linkActivated(QStringLiteral("open"));
    EXPECT_EQ(fakes.urls.opened, QStringList{QUrl::fromLocalFile(folder).toString()});
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "the status line is not a box";
}

TEST_F(Form1Work, CancelStopsTheDownloadBeforeTheNextMessageWithNothingPartial) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 3; ++i)
        inbox.addMail().subject(QString::number(i)).attach(QStringLiteral("a%1.bin").arg(i), QByteArray(70000, 'a')).attach(
            QStringLiteral("b%1.bin").arg(i), QByteArray(90000, 'b'));
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    form.Combo1->setCurrentIndex(1);
    fakes.dialogs.folderAnswers = {target.path()};
    const int before = fakes.events.calls;
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    // Esc during the first message's first attachment.
    fakes.events.onProcess = [&] {
        if (fakes.events.calls == before + 1)
            QTest::keyClick(form.ListView1, Qt::Key_Escape);
    };
    form.PushButton3->click();
    EXPECT_EQ(filesIn(target.path()), (QStringList{"a0.bin", "b0.bin"})) << "the message under way is finished";
    EXPECT_EQ(QFileInfo(target.filePath("b0.bin")).size(), 90000);
    EXPECT_TRUE(form.statusLine().text().startsWith(
        QStringLiteral("Stopped after 1 message: Saved 2 attachments (156 KB) to ")))
        << form.statusLine().text().toStdString();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "no \"No records selected\" for a stopped run";
}

TEST_F(Form1Work, ClosingTheWindowStopsADownloadBeforeTheNextMessage) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 3; ++i)
        inbox.addMail().subject(QString::number(i)).attach(QStringLiteral("a%1.txt").arg(i), "x");
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.endProgram = [] {};
    form.Form_Load();
    form.PushButton1->click();
    form.Combo1->setCurrentIndex(1);
    fakes.dialogs.folderAnswers = {target.path()};
    const int before = fakes.events.calls;
    fakes.events.onProcess = [&] {
        if (fakes.events.calls == before + 1)
            form.close();
    };
    form.PushButton3->click();
    EXPECT_EQ(filesIn(target.path()), QStringList{"a0.txt"});
}

TEST_F(Form1Work, AStoreGoneForEveryRowEndsInOneSummaryOnceTicked) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 5; ++i)
        inbox.addMail().subject(QString::number(i)).attach("a.txt", "x");
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    form.Combo1->setCurrentIndex(1);
    world->failOn("Namespace.GetItemFromID", "The item's store is not open.");
    fakes.dialogs.folderAnswers = {target.path()};
    fakes.dialogs.dontShowAgainAnswers = {true};
    form.PushButton3->click();
    const QList<test::ShownBox> errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 3) << "two boxes, then the summary";
    EXPECT_FALSE(errors[0].offeredDontShowAgain);
    EXPECT_TRUE(errors[1].offeredDontShowAgain);
    EXPECT_TRUE(errors[2].text.startsWith(QStringLiteral("3 more failures of this step were not shown. The last one:")));
    EXPECT_TRUE(errors[2].text.contains(QStringLiteral("The item's store is not open.\r\nin Parcelwise5/20/2014.Form1.PushButton3_Click at line 206")));
    EXPECT_EQ(fakes.dialogs.boxes.size(), 3) << "nothing else";
}

TEST_F(Form1Work, AProfileWithoutAnyStoreFileSaysOutlookIsNotInstalled) {
    world->m_profileFileCount = 0;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    form.PushButton4->click();
    ASSERT_EQ(fakes.dialogs.boxes.size(), 2);
    for (const test::ShownBox &box : std::as_const(fakes.dialogs.boxes)) {
        EXPECT_EQ(box.text, QStringLiteral("MS Outlook does not appear to be installed on this computer."));
        EXPECT_EQ(box.icon, MsgIcon::None);
    }
    // The help says where stores are looked for, and that one PST can be picked.
    EXPECT_TRUE(Form1::helpText().contains(QStringLiteral("PARCELWISE_PROFILE")));
    EXPECT_TRUE(Form1::helpText().contains(QStringLiteral("~/Documents/Outlook Files")));
    EXPECT_TRUE(Form1::helpText().contains(QStringLiteral("\"PST File:\"")));
}

TEST_F(Form1Work, ProfileFilesThatCannotBeOpenedAreToldOncePerScanInOneBox) {
    world->m_profileFileCount = 3;
    world->m_profileFailures = {QStringLiteral("Cannot open the mail file /p/empty.pst: the file ends early (0 bytes)."),
                                QStringLiteral("Cannot open the mail file /p/notes.pst: it is not a PST or OST file.")};
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    inbox.addMail().subject("a");
    inbox.addMail().subject("b");
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    EXPECT_EQ(form.listModel().count(), 2) << "the readable store is listed as ever";
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1);
    const test::ShownBox &box = fakes.dialogs.boxes[0];
    EXPECT_EQ(box.icon, MsgIcon::Exclamation);
    EXPECT_TRUE(box.text.contains(world->m_profileFailures[0]));
    EXPECT_TRUE(box.text.contains(world->m_profileFailures[1]));
    form.PushButton4->click();
    EXPECT_EQ(fakes.dialogs.boxes.size(), 2) << "once per scan";
}

TEST_F(Form1Work, EnterInTheSearchBoxSearches) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    inbox.addMail().subject("a").body("the invoice is attached");
    inbox.addMail().subject("b").body("lunch?");
    Form1 form(fakes.ports());
    form.Form_Load();
    form.Text1->setText("INVOICE");
    QTest::keyClick(form.Text1, Qt::Key_Return);
    ASSERT_EQ(form.listModel().count(), 1);
    EXPECT_EQ(form.listModel().text(0, 7), QStringLiteral("a"));
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Found 1 message in ")));
}
