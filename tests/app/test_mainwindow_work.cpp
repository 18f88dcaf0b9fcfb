// The main window as a tool for long work: resizing, the status line,
// Cancel, repeated failures and the reports that keep a list from staying
// silently empty.
#include "app/mainwindow.h"
#include "widgets/look.h"
#include "widgets/statusline.h"
#include "widgets/windowfit.h"
#include "fakeoutlook.h"
#include "outlook/outlookroutines.h"
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

#include <algorithm>

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

namespace {
// Whether column `c` of `list` lies wholly within the list's visible width.
bool inView(const QTreeView &list, int c) {
    const int left = list.header()->sectionViewportPosition(c);
    return left >= 0 && left + list.header()->sectionSize(c) <= list.viewport()->width();
}
} // namespace

// At the given size a row's date, sender and subject are readable; a wider
// window gives its room to Subject; a width the user sets outlives scans.
TEST_F(Form1Work, DateSenderAndSubjectStayInViewAndSubjectTakesTheSpareWidth) {
    auto &store = world->addStore("Personal Folders");
    auto &inbox = store.addFolder("Inbox");
    for (int i = 0; i < 3; ++i)
        inbox.addMail()
            .sender(QStringLiteral("Margaret Featherstonehaugh"), QStringLiteral("margaret@example.com"))
            .subject(QStringLiteral("Quarterly figures for the northern region, revised %1").arg(i))
            .received(QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58)))
            .attach("figures.xlsx", "data");
    Form1 form(fakes.ports());
    form.Form_Load();
    form.show();
    form.PushButton1->click();
    ASSERT_EQ(form.listModel().count(), 3);
    const QTreeView &list = *form.ListView1;
    for (int c : {3, 4, 7})
        EXPECT_TRUE(inView(list, c)) << "column " << c << " lies beyond the edge at the given size";
    EXPECT_GE(list.header()->sectionSize(3), list.fontMetrics().horizontalAdvance(form.listModel().text(0, 3)))
        << "the whole date shows";
    EXPECT_GE(list.header()->sectionSize(7), twipsToPixels(1500, &form)) << "the subject is readable";

    form.resize(1280, 800);
    QCoreApplication::processEvents();
    for (int c = 0; c < 8; ++c)
        EXPECT_TRUE(inView(list, c)) << "column " << c << " at 1280 px";
    EXPECT_EQ(list.header()->length(), list.viewport()->width()) << "Subject takes the spare width";

    // The user widens From/To: a new scan keeps it, and so does the next run.
    form.ListView1->header()->resizeSection(4, 222);
    form.PushButton4->click();
    EXPECT_EQ(list.header()->sectionSize(4), 222);
    EXPECT_EQ(list.header()->length(), list.viewport()->width());
    form.Form_Unload();
    Form1 again(fakes.ports());
    again.Form_Load();
    again.show();
    again.PushButton1->click();
    EXPECT_EQ(again.ListView1->header()->sectionSize(4), 222);
    EXPECT_TRUE(inView(*again.ListView1, 7));
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
    EXPECT_FALSE(form.statusLine().text().contains(QStringLiteral("not listed"))) << "nothing was left out";
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
    // The status line says where the files were looked for and offers to
    // add a folder of them, which later scans read.
    qunsetenv("PARCELWISE_PROFILE");
    QLabel *link = form.statusLine().folderLink();
    EXPECT_TRUE(form.statusLine().text().contains(QStringLiteral("~/Documents/Outlook Files")))
        << form.statusLine().text().toStdString();
    EXPECT_TRUE(link->isVisibleTo(&form));
    EXPECT_TRUE(link->text().contains(QStringLiteral("Choose a folder of mail files...")));
    emit link->linkActivated(QStringLiteral("offer")); // cancelled
    EXPECT_TRUE(Outlook1::addedStoreFolders().isEmpty());
    fakes.dialogs.folderAnswers = {QStringLiteral("/media/usb/Mail/")};
    emit link->linkActivated(QStringLiteral("offer"));
    EXPECT_EQ(Outlook1::addedStoreFolders(), QStringList{QStringLiteral("/media/usb/Mail")});
    EXPECT_TRUE(Outlook1::storePlacesText().contains(QStringLiteral("/media/usb/Mail")));
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Added /media/usb/Mail/")));
    EXPECT_FALSE(link->isVisibleTo(&form)) << "the offer is gone once taken";
    EXPECT_EQ(fakes.dialogs.boxes.size(), 2) << "no further box";
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

// The status line gives way in its middle: what was done and what failed,
// at the ends, stay seen; the whole text is the tooltip.
TEST_F(Form1Work, TheStatusLineElidesInTheMiddleAndKeepsTheFailures) {
    Form1 form(fakes.ports());
    form.Form_Load();
    form.show();
    StatusLine &line = form.statusLine();
    const QString text = QStringLiteral("Saved 4,992 attachments (1.2 GB) to /home/someone/") + QString(40, 'x')
                         + QStringLiteral("/a/very/deep/folder/of/saved/mail/ in 3 min 05 s. 7 attachments could not be saved.");
    line.started(QStringLiteral("Saving"));
    line.finished(text);
    const QString shown = line.shownText();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Saved 4,9"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("could not be saved."))) << shown.toStdString();
    EXPECT_EQ(line.text(), text);
    EXPECT_EQ(line.findChild<QLabel *>(QStringLiteral("StatusText"))->toolTip(), text);
    // More room shows more, and a short text is shown whole.
    form.resize(1280, 800);
    QCoreApplication::processEvents();
    EXPECT_GT(line.shownText().size(), shown.size());
    line.finished(QStringLiteral("Listed 3 messages in 0.1 s."));
    EXPECT_EQ(line.shownText(), QStringLiteral("Listed 3 messages in 0.1 s."));
}

TEST_F(Form1Work, TheWindowCanBeMaximised) {
    Form1 form(fakes.ports());
    form.Form_Load();
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
}

// Two stores of one name are told apart by their files, every row names its
// file in its tooltip, and the summary counts the items with attachments
// the list leaves out (in a store's top folder, or not mail).
TEST_F(Form1Work, RowsNameTheirFileAndTheSummaryCountsWhatWasLeftOut) {
    auto &first = world->addStore("Personal Folders").file("/mail/archive-2019.pst");
    first.addFolder("Inbox").addMail().subject("one").attach("a.txt", "a");
    first.addMail().subject("in the top folder").attach("b.txt", "b");
    first.addMail().subject("in the top folder, nothing attached");
    auto &second = world->addStore("Personal Folders").file("/mail/current.pst");
    auto &inbox = second.addFolder("Inbox");
    inbox.addMail().subject("two");
    inbox.addItem(outlook::olPost).subject("a post").attach("c.txt", "c");
    inbox.addItem(outlook::olPost).subject("a post without attachments");
    world->addStore("Mailbox").file("/mail/work.ost").addFolder("Inbox").addMail().subject("three");
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    MessageListModel &list = form.listModel();
    ASSERT_EQ(list.count(), 3);
    list.showPendingRows();
    EXPECT_EQ(list.text(0, 0), QStringLiteral("Personal Folders (archive-2019.pst)"));
    EXPECT_EQ(list.text(1, 0), QStringLiteral("Personal Folders (current.pst)"));
    EXPECT_EQ(list.text(2, 0), QStringLiteral("Mailbox")) << "a name no other store shares stays as it is";
    EXPECT_EQ(list.index(2, 7).data(Qt::ToolTipRole).toString(), QStringLiteral("three\nMail file: /mail/work.ost"));
    EXPECT_EQ(list.index(1, 5).data(Qt::ToolTipRole).toString(), QStringLiteral("Mail file: /mail/current.pst"));
    const QString summary = form.statusLine().text();
    EXPECT_TRUE(summary.startsWith(QStringLiteral("Listed 3 messages in "))) << summary.toStdString();
    EXPECT_TRUE(summary.endsWith(
        QStringLiteral("; 2 items with attachments not listed: in a store's top folder or not mail.")))
        << summary.toStdString();
    EXPECT_EQ(form.scan().leftOut().inTopFolder, 1);
    EXPECT_EQ(form.scan().leftOut().notMail, 1);
}

// A large attachment keeps the window live between its reads: the line
// shows its bytes and "n of N", and Cancel stops it mid-file with nothing
// of the file left behind and no error.
TEST_F(Form1Work, CancelStopsALargeAttachmentBetweenReadsAndLeavesNothing) {
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    inbox.addMail().subject("small").attach("small.txt", "12345");
    inbox.addMail().subject("big").addAttachment("big.bin", QByteArray(640 * 1024, 'x')).readSize(64 * 1024);
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    form.Combo1->setCurrentIndex(1); // "All"
    fakes.dialogs.folderAnswers = {target.path()};
    QStringList seen;
    int calls = 0;
    fakes.events.onProcess = [&] {
        seen.append(form.statusLine().text());
        if (++calls == 2)
            QThread::msleep(300); // the first read of the big one: time for a progress update
        else if (calls == 4)
            form.statusLine().requestCancel();
    };
    form.PushButton3->click();
    EXPECT_EQ(filesIn(target.path()), QStringList{"small.txt"}) << "no part of big.bin, and no temporary file";
    EXPECT_TRUE(std::any_of(seen.cbegin(), seen.cend(), [](const QString &t) {
        return t.startsWith(QStringLiteral("1 of 2 messages done, 1 attachment saved (5 bytes) to "))
               && t.contains(QStringLiteral("; saving big.bin: ")) && t.endsWith(QStringLiteral(" of 640 KB"));
    })) << seen.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Stopped after 1 message: Saved 1 attachment")))
        << form.statusLine().text().toStdString();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty()) << "a stop is no failure";
    EXPECT_EQ(calls, 4) << "nothing more was read after the stop";
}
