// The scan of the main window over the in-memory object model.
#include "fakeoutlook.h"
#include "core/error.h"
#include "outlook/outlookroutines.h"
#include "outlook/outlookscan.h"
#include "support/fakeports.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw;
using namespace pw::outlook;
using namespace pw::outlook::fake;
using pw::test::FakePorts;

namespace {

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        world = FakeOutlook::create();
        guard = world->install();
        ScanControls c;
        c.option1Selected = [this] { return option1; };
        c.option2Selected = [this] { return option2; };
        c.pstPath = [this] { return pstPath; };
        c.searchText = [this] { return searchText; };
        c.setPointer = [this](int kind) { pointers.append(kind); };
        c.redrawList = [] {};
        scan = std::make_unique<OutlookScan>(fakes.dialogs, fakes.events, list, c);
        scan->setPstPath = [this](const QString &p) { pstPath = p; };
        list.setColumns({"Root", "Folder", "Subfolder", "Date", "From/To", "Email", "Attachments", "Subject", "ID"}, {});
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    QStringList column(int c) const {
        QStringList out;
        for (int r = 0; r < list.count(); ++r)
            out.append(list.text(r, c));
        return out;
    }
    QStringList errorLines() const {
        QStringList out;
        for (const auto &b : fakes.dialogs.errorBoxes())
            out.append(b.text.section(QStringLiteral("\r\n"), 1).section(QStringLiteral("\r\r"), 0, 0));
        return out;
    }
    QStringList plainBoxes() const {
        QStringList out;
        for (const auto &b : fakes.dialogs.boxes)
            if (b.title.isEmpty())
                out.append(b.text);
        return out;
    }

    FakePorts fakes;
    MessageListModel list;
    std::shared_ptr<FakeOutlook> world;
    std::unique_ptr<ScopedCreator> guard;
    std::unique_ptr<OutlookScan> scan;
    bool option1 = true;
    bool option2 = false;
    QString pstPath;
    QString searchText;
    QList<int> pointers;
};

const QDateTime kMarch1 = QDateTime(QDate(2024, 3, 1), QTime(9, 30, 5));

} // namespace

TEST_F(ScanTest, RowsComeInPostOrderWithTheirNineColumns) {
    auto &root = world->addStore("Personal Folders");
    root.addMail().subject("in the root: never listed");
    auto &inbox = root.addFolder("Inbox");
    inbox.addMail().subject("m1").sender("Ann Lee", "ann@example.com").received(kMarch1)
        .attach("a.pdf").attach("b.pdf").attach("c.pdf");
    auto &a = inbox.addFolder("A");
    auto &b = a.addFolder("B");
    b.addMail().subject("m2").received(QDateTime(QDate(2024, 3, 2), QTime(0, 0)));
    inbox.addFolder("Inbox").addMail().subject("m3");
    auto &sent = root.addFolder("Sent Items");
    auto &m4 = sent.addMail().subject("m4").sender("Bob", "/O=ORG/CN=BOB", "EX");
    sent.addItem(olMeetingRequest).subject("meeting");
    sent.addItem(olReport).subject("report");
    sent.addItem(olContact).subject("contact");

    scan->PushButton1_Click();

    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << plainBoxes().join("|").toStdString();
    EXPECT_EQ(column(7), (QStringList{"m2", "m3", "m1", "m4"}));
    EXPECT_EQ(column(0), QStringList(4, "Personal Folders"));
    EXPECT_EQ(column(1), (QStringList{"Inbox", "Inbox", "Inbox", "Sent Items"}));
    EXPECT_EQ(column(2), (QStringList{"B", "", "", ""}));
    EXPECT_EQ(list.text(0, 3), QStringLiteral("3/2/24")) << "no time part at midnight";
    EXPECT_EQ(list.text(2, 3), QStringLiteral("3/1/24 9:30:05 AM"));
    EXPECT_EQ(column(4), (QStringList{"", "", "Ann Lee", "Bob"}));
    EXPECT_EQ(column(5), (QStringList{"", "", "ann@example.com", ""})) << "Exchange senders show no address";
    EXPECT_EQ(column(6), (QStringList{"No", "No", "Yes (3)", "No"}));
    EXPECT_EQ(list.text(3, 8), m4.m_entryId);
    for (int r = 0; r < list.count(); ++r)
        EXPECT_FALSE(list.isChecked(r));
    EXPECT_EQ(pointers, (QList<int>{11, 0}));
    EXPECT_EQ(world->liveApplications(), 0) << "the session is dropped at the end";
    EXPECT_FALSE(scan->bSearchMode);

    // A second scan lists the same messages in the same order.
    const QStringList first = column(8);
    scan->PushButton1_Click();
    EXPECT_EQ(column(8), first);
}

TEST_F(ScanTest, AttachmentsOnlyOldOutlookAndSkippedFolderNames) {
    world->setVersion("9.0.0.2711");
    auto &root = world->addStore("Store");
    auto &inbox = root.addFolder("Inbox");
    inbox.addMail().subject("with").sender("Ann", "ann@example.com").attach("x.txt");
    inbox.addMail().subject("without").sender("Ann", "ann@example.com");
    auto &news = inbox.addFolder("Internet Newsgroups");
    news.addMail().subject("news, listed by the parent's pass").attach("n.txt");
    news.addFolder("deeper").addMail().subject("never reached").attach("d.txt");
    root.addFolder("All Public Folders").addFolder("Sub").addMail().subject("not descended").attach("p.txt");
    world->addStore("All Public Folders").addFolder("Inbox").addMail().subject("store root skipped").attach("q.txt");

    scan->PushButton4_Click();
    EXPECT_EQ(column(7), (QStringList{"news, listed by the parent's pass", "with"}));
    EXPECT_EQ(column(5), (QStringList{"", ""})) << "Outlook below 10 shows no address";
    EXPECT_TRUE(scan->bWithAttachmentsOnly);
}

TEST_F(ScanTest, SearchLooksAtBodySenderAddressAndDateButNotSubject) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    inbox.addMail().subject("invoice in subject only").body("nothing").received(kMarch1);
    inbox.addMail().subject("body").body("Your INVOICE is attached").received(kMarch1);
    inbox.addMail().subject("name").sender("Invoice Desk", "x@example.com").received(kMarch1);
    inbox.addMail().subject("address").sender("Ann", "invoices@example.com", "EX").received(kMarch1);
    inbox.addItem(olPost).subject("post").body("invoice");
    inbox.addMail().subject("dated").received(QDateTime(QDate(2024, 3, 2), QTime(12, 0)));

    searchText = "invoice";
    scan->PushButton2_Click();
    EXPECT_EQ(column(7), (QStringList{"body", "name", "address"})) << "an address of any type is searched";
    EXPECT_FALSE(scan->bSearchMode) << "the scan clears the search mode";
    EXPECT_FALSE(scan->bWithAttachmentsOnly);

    searchText = "3/2/24";
    scan->PushButton2_Click();
    EXPECT_EQ(column(7), (QStringList{"dated"}));

    // Outlook's "no date" (1 January 4501) shows as a blank cell, so it is
    // not found by the date it would print as.
    inbox.addMail().subject("undated").body("nothing");
    searchText = "1/1/01";
    scan->PushButton2_Click();
    EXPECT_EQ(list.count(), 0) << column(7).join(',').toStdString();

    searchText.clear();
    scan->PushButton2_Click();
    EXPECT_EQ(list.count(), 6) << "an empty search text matches every mail message";

    world->setVersion("9.0");
    searchText = "invoices@";
    scan->PushButton2_Click();
    EXPECT_EQ(list.count(), 0) << "Outlook below 10 gives no address to search";
}

TEST_F(ScanTest, MatchesSearchTextRules) {
    searchText = "abc";
    EXPECT_TRUE(scan->MatchesSearchText("xxABCxx", "", "", "1/1/24"));
    EXPECT_FALSE(scan->MatchesSearchText("", "", "", "1/1/24"));
    searchText.clear();
    EXPECT_FALSE(scan->MatchesSearchText("", "", "", ""));
    EXPECT_TRUE(scan->MatchesSearchText("", "", "", "1/1/24"));
}

TEST_F(ScanTest, SourceChecksShowTheirMessagesAndLeaveTheList) {
    list.appendRow({"keep"});
    option1 = false;
    option2 = true;
    pstPath = "   ";
    scan->PushButton1_Click();
    QTemporaryDir dir;
    pstPath = dir.path();
    scan->PushButton4_Click();
    pstPath = "   ";
    scan->PushButton2_Click();
    EXPECT_EQ(plainBoxes(), (QStringList{"You forgot to input PST File.", "PST File not found.",
                                         "You forgot to input PST File."}));
    for (const auto &b : fakes.dialogs.boxes)
        EXPECT_EQ(b.icon, MsgIcon::Exclamation);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_TRUE(world->calls().isEmpty()) << "no Outlook object for a PST check";
}

TEST_F(ScanTest, MissingOutlookWithTheProfileSourceShowsThePlainMessage) {
    world->failOn("Application.create", "Outlook is not installed");
    list.appendRow({"keep"});
    scan->PushButton1_Click();
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1);
    EXPECT_EQ(fakes.dialogs.boxes[0].text, QStringLiteral("MS Outlook does not appear to be installed on this computer."));
    EXPECT_EQ(fakes.dialogs.boxes[0].icon, MsgIcon::None);
    EXPECT_EQ(list.count(), 1);
    // "Find" makes no presence test: the scan's own steps report instead.
    fakes.dialogs.boxes.clear();
    scan->PushButton2_Click();
    EXPECT_FALSE(errorLines().isEmpty());
    EXPECT_TRUE(errorLines().first().contains("getAllEmailOutlook at line 102"));
    EXPECT_EQ(pointers.last(), 0);
    EXPECT_FALSE(scan->bSearchMode);
}

TEST_F(ScanTest, NeitherOptionOpensAndClosesASessionAndListsNothing) {
    world->addStore("S").addFolder("Inbox").addMail().subject("x");
    option1 = false;
    list.appendRow({"old"});
    scan->PushButton1_Click();
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(world->calls().contains("Application.GetNamespace(MAPI)"));
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(ScanTest, PstFileIsMountedForTheScanAndRemovedAgain) {
    QTemporaryDir dir;
    const QString path = dir.filePath("archive.pst");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    world->addStore("Mailbox").addFolder("Inbox").addMail().subject("profile mail");
    world->addStoreFile(path, "Archive").addFolder("Old").addMail().subject("archived");
    option1 = false;
    option2 = true;
    pstPath = path;
    scan->PushButton1_Click();
    EXPECT_EQ(column(7), (QStringList{"archived"}));
    EXPECT_EQ(column(0), (QStringList{"Archive"}));
    EXPECT_EQ(world->openStoreNames(), (QStringList{"Mailbox"}));
    EXPECT_EQ(scan->listSourcePstPath, path) << "the download must know where the rows came from";
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(ScanTest, FailedMountListsNothingAndClosesNoStoreOfTheUser) {
    QTemporaryDir dir;
    const QString path = dir.filePath("broken.pst");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    world->addStore("Mailbox").addFolder("Inbox").addMail().subject("profile mail");
    option1 = false;
    option2 = true;
    pstPath = path; // not a file the fake can open: AddStore throws
    scan->PushButton1_Click();
    EXPECT_EQ(list.count(), 0) << "another store must not be listed in its place";
    EXPECT_EQ(world->openStoreNames(), (QStringList{"Mailbox"})) << "the user's own store stays open";
    ASSERT_EQ(errorLines().size(), 1);
    EXPECT_TRUE(errorLines()[0].contains("Form1.getAllEmailOutlook at line 124"));
    EXPECT_EQ(pointers.last(), 0);
}

TEST_F(ScanTest, PstAlreadyInTheProfileIsListedAndLeftOpen) {
    QTemporaryDir dir;
    const QString path = dir.filePath("mine.pst");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    auto &mine = world->addStoreFile(path, "Mine");
    mine.addFolder("Inbox").addMail().subject("mine");
    world->m_openStores.push_back(world->m_storeFiles.value(path));
    world->addStore("Other").addFolder("Inbox").addMail().subject("other");
    option1 = false;
    option2 = true;
    pstPath = path;
    scan->PushButton1_Click();
    EXPECT_EQ(column(7), (QStringList{"mine"}));
    EXPECT_EQ(world->openStoreNames(), (QStringList{"Mine", "Other"}));
    EXPECT_FALSE(world->calls().join(";").contains("AddStore"));
    EXPECT_FALSE(world->calls().join(";").contains("RemoveStore"));
}

TEST_F(ScanTest, FailuresAreReportedAtTheirLinesAndTheWalkGoesOn) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    inbox.addMail().subject("class unreadable").fail("Class", "Class refused");
    inbox.addMail().subject("ok").fail("Subject", "Subject refused", 1);
    inbox.addMail().subject("after");

    scan->PushButton1_Click();
    EXPECT_EQ(column(7), (QStringList{"class unreadable", "", "after"}));
    EXPECT_EQ(errorLines(), (QStringList{"in Parcelwise5/20/2014.Form1.GetMailItems at line 118",
                                         "in Parcelwise5/20/2014.Form1.GetMailItems at line 196"}));
}

TEST_F(ScanTest, UnreadableAttachmentCountDropsTheMessageFromAnAttachmentsOnlyScan) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    inbox.addMail().subject("count fails").attach("a.txt").fail("Attachments.count", "no", 1);
    inbox.addMail().subject("fine").attach("b.txt");
    scan->PushButton4_Click();
    EXPECT_EQ(column(7), (QStringList{"fine"}));
    ASSERT_EQ(errorLines().size(), 1);
    EXPECT_TRUE(errorLines()[0].endsWith("GetMailItems at line 124"));
}

TEST_F(ScanTest, UnreadableSearchFieldsListTheMessageAfterTheReport) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    inbox.addMail().subject("locked").fail("Body", "Access denied");
    inbox.addMail().subject("plain").body("nothing here");
    searchText = "zzz";
    scan->PushButton2_Click();
    EXPECT_EQ(column(7), (QStringList{"locked"}));
    ASSERT_EQ(errorLines().size(), 1);
    EXPECT_TRUE(errorLines()[0].endsWith("GetMailItems at line 138"));
}

TEST_F(ScanTest, AScanClickedDuringAScanIsIgnored) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    for (int i = 0; i < 5; ++i)
        inbox.addMail().subject(QString::number(i)).attach("a.pdf");
    // The user presses each scan button, "Find" too, while the scan lets
    // window events run; each press would empty the list and refill it.
    int events = 0;
    fakes.events.onProcess = [&] {
        switch (events++) {
        case 2: scan->PushButton1_Click(); break;
        case 3: scan->PushButton4_Click(); break;
        case 4: scan->PushButton2_Click(); break;
        default: break;
        }
    };
    scan->PushButton1_Click();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    EXPECT_EQ(column(7), (QStringList{"0", "1", "2", "3", "4"}));
    EXPECT_EQ(world->calls().count("Application.GetNamespace(MAPI)"), 1);
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_EQ(pointers, (QList<int>{11, 0}));
    EXPECT_FALSE(scan->scanning());

    // Once the scan has ended, the next click scans again.
    fakes.events.onProcess = nullptr;
    scan->PushButton4_Click();
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(world->calls().count("Application.GetNamespace(MAPI)"), 2);
}

TEST_F(ScanTest, StoppingEndsTheScanAtOnceAndReleasesTheStore) {
    auto &inbox = world->addStore("S").addFolder("Inbox");
    for (int i = 0; i < 5; ++i)
        inbox.addMail().subject(QString::number(i));
    inbox.addFolder("Sub").addMail().subject("in a subfolder");
    world->addStore("T").addFolder("Inbox").addMail().subject("second store");
    int events = 0;
    fakes.events.onProcess = [&] {
        if (++events == 4) // the window closes while message "0" is listed
            scan->stop();
    };
    scan->PushButton1_Click();
    EXPECT_EQ(events, 4) << "no window event runs once the scan is stopped";
    EXPECT_LE(list.count(), 1);
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    // No scan starts any more.
    fakes.events.onProcess = nullptr;
    scan->PushButton1_Click();
    EXPECT_EQ(world->calls().count("Application.GetNamespace(MAPI)"), 1);
}

TEST_F(ScanTest, StoppingAPstScanClosesTheFileItMounted) {
    QTemporaryDir dir;
    pstPath = dir.filePath("archive.pst");
    QFile file(pstPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    option1 = false;
    option2 = true;
    auto &old = world->addStoreFile(pstPath, "Archive").addFolder("Old");
    for (int i = 0; i < 3; ++i)
        old.addMail().subject(QString::number(i));
    fakes.events.onProcess = [&] { scan->stop(); };
    scan->PushButton1_Click();
    EXPECT_TRUE(world->openStoreNames().isEmpty());
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(ScanTest, PstPickerSetsThePathOnlyWhenAFileIsChosen) {
    pstPath = "/old.pst";
    scan->PushButton8_Click();
    EXPECT_EQ(pstPath, QStringLiteral("/old.pst"));
    EXPECT_EQ(fakes.dialogs.fileDialogTitles, (QStringList{"Select PST File"}));
    EXPECT_TRUE(fakes.dialogs.fileDialogFilters[0].contains("*.ost"));
    fakes.dialogs.fileAnswers.push_back({"/home/u/new.pst"});
    scan->PushButton8_Click();
    EXPECT_EQ(pstPath, QStringLiteral("/home/u/new.pst"));
}

TEST(ReceivedTimeText, ShortDateTimeWithSecondsAndMajorVersion) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(Outlook1::receivedTimeText(QDateTime(QDate(2024, 12, 31), QTime(23, 5, 9))), QStringLiteral("31.12.24 23:05:09"));
    EXPECT_EQ(Outlook1::receivedTimeText(QDateTime(QDate(4501, 1, 1), QTime(0, 0))), QStringLiteral("01.01.01"));
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(Outlook1::majorVersion("16.0.0.4266"), 16);
    EXPECT_EQ(Outlook1::majorVersion("9.5"), 10);
    EXPECT_EQ(Outlook1::majorVersion("11"), 11);
    EXPECT_THROW(Outlook1::majorVersion("abc"), Error);
}
