// "Start Downloading" of the main window over the in-memory object model.
#include "download/folderpickers.h"
#include "download/outlookdownload.h"
#include "fakeoutlook.h"
#include "platform/tnef/tnefbuilder.h"
#include "support/fakeports.h"
#if defined(PW_HAVE_PSTWRITER)
#include "platform/pst/pstengine.h"
#include "pstwriter/pstwriter.h"
#endif

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace pw;
using namespace pw::outlook;
using namespace pw::outlook::fake;
using pw::test::FakePorts;

namespace {

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        world = FakeOutlook::create();
        guard = world->install();
        auto &root = world->addStore("Mailbox");
        inbox = &root.addFolder("Inbox");
        sent = &root.addFolder("Sent Items");
        controls.choiceText = [this] { return choice; };
        controls.setPointer = [this](int kind) { pointers.append(kind); };
        controls.sourcePstPath = [this] { return sourcePst; };
        target = dir.path();
    }

    // A row as the scan lists it: Folder, Subfolder and the EntryID.
    void row(const FakeItem &item, const QString &folder, const QString &subfolder = {}, bool ticked = false) {
        QStringList texts(9);
        texts[1] = folder;
        texts[2] = subfolder;
        texts[8] = item.m_entryId;
        list.setChecked(list.appendRow(texts), ticked);
    }
    void run(const QString &folderAnswer) {
        fakes.dialogs.folderAnswers.push_back(folderAnswer);
        OutlookDownload(fakes.dialogs, list, controls);
    }
    void run() { run(target); }
    QStringList files() const {
        return QDir(target).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    QStringList errorLines() const {
        QStringList out;
        for (const auto &b : fakes.dialogs.errorBoxes())
            out.append(b.text.section(QStringLiteral("\r\n"), 1).section(QStringLiteral("\r\r"), 0, 0));
        return out;
    }
    bool saidNoRecords() const {
        for (const auto &b : fakes.dialogs.boxes)
            if (b.text == QLatin1String("No records selected") && b.title == QLatin1String("No records selected")
                && b.icon == MsgIcon::Exclamation)
                return true;
        return false;
    }

    FakePorts fakes;
    MessageListModel list;
    std::shared_ptr<FakeOutlook> world;
    std::unique_ptr<ScopedCreator> guard;
    FakeFolder *inbox = nullptr;
    FakeFolder *sent = nullptr;
    DownloadControls controls;
    QString choice = QStringLiteral("All");
    QString sourcePst;
    QList<int> pointers;
    QTemporaryDir dir;
    QString target;
};

} // namespace

TEST(FolderPickers, BrowseDirectoryAddsTheSeparatorAddFolderDoesNot) {
    pw::test::FakeDialogs d;
    d.folderAnswers = {"/home/u/out", "/", "", "/media/x"};
    EXPECT_EQ(BrowseDirectory(d), QStringLiteral("/home/u/out/"));
    EXPECT_EQ(BrowseDirectory(d), QStringLiteral("//"));
    EXPECT_EQ(BrowseDirectory(d), QString());
    EXPECT_EQ(d.folderTitles, (QStringList{"Choose directory", "Choose directory", "Choose directory"}));
    EXPECT_EQ(AddFolder(d, 0, "Please select folder:"), QStringLiteral("/media/x"));
    EXPECT_EQ(AddFolder(d, 0, "Please select folder:"), QString());
}

TEST_F(DownloadTest, CancellingTheFolderDialogEndsSilentlyWithoutOutlook) {
    row(inbox->addMail().attach("a.txt", "A"), "Inbox");
    run(QString());
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    EXPECT_TRUE(world->calls().isEmpty());
    EXPECT_TRUE(pointers.isEmpty());
}

TEST_F(DownloadTest, AllSavesEveryAttachmentAndNumbersRepeatedNames) {
    row(inbox->addMail().attach("invoice.pdf", "first").attach("notes", "n1"), "Inbox");
    row(sent->addMail().attach("invoice.pdf", "second").attach("notes", "n2"), "Sent Items");
    row(inbox->addMail(), "Inbox"); // no attachments: reopened, nothing written
    QFile existing(dir.filePath("invoice_1_2.pdf"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();
    run(target + "/");
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "a successful run ends silently";
    EXPECT_EQ(files(), (QStringList{"invoice.pdf", "invoice_1.pdf", "invoice_1_2.pdf", "notes", "notes_1"}));
    EXPECT_EQ(readAll(dir.filePath("invoice.pdf")), QByteArray("first"));
    EXPECT_EQ(readAll(dir.filePath("invoice_1.pdf")), QByteArray("second"));
    EXPECT_EQ(readAll(dir.filePath("invoice_1_2.pdf")), QByteArray("keep me"));
    EXPECT_EQ(readAll(dir.filePath("notes_1")), QByteArray("n2"));
    EXPECT_EQ(pointers, (QList<int>{11, 0}));
    EXPECT_EQ(world->liveApplications(), 0);
    EXPECT_EQ(world->calls().filter("GetItemFromID").size(), 3);

    // A second run writes new numbered files and changes none of the first.
    fakes.dialogs.boxes.clear();
    run();
    EXPECT_EQ(files().size(), 9);
    EXPECT_EQ(readAll(dir.filePath("invoice.pdf")), QByteArray("first"));
}

TEST_F(DownloadTest, NamesNeverReachOutsideTheFolder) {
    row(inbox->addMail().attach("../../escape.txt", "1").attach("sub/dir/inner.txt", "2")
            .attach("..", "3").attach("C:\\Temp\\win.txt", "4").attach(QString("bad\x01name"), "5"),
        "Inbox");
    run();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    EXPECT_EQ(files(), (QStringList{"attachment", "bad_name", "escape.txt", "inner.txt", "win.txt"}));
    EXPECT_FALSE(QFile::exists(dir.filePath("../escape.txt")));
}

TEST_F(DownloadTest, CheckedItemsTakesTicksAndNothingTickedSaysSo) {
    choice = "Checked Items";
    row(inbox->addMail().attach("a.txt", "A"), "Inbox", {}, false);
    run();
    EXPECT_TRUE(saidNoRecords());
    EXPECT_TRUE(world->calls().contains("Application.GetNamespace(MAPI)")) << "Outlook is contacted first";
    EXPECT_TRUE(files().isEmpty());
    fakes.dialogs.boxes.clear();
    row(inbox->addMail().attach("b.txt", "B"), "Inbox", {}, true);
    run();
    EXPECT_FALSE(saidNoRecords());
    EXPECT_EQ(files(), (QStringList{"b.txt"}));
}

TEST_F(DownloadTest, AllOnAnEmptyListSaysNoRecords) {
    run();
    EXPECT_TRUE(saidNoRecords());
    EXPECT_EQ(fakes.dialogs.boxes.size(), 1);
}

TEST_F(DownloadTest, FolderChoicesMatchFolderOrSubfolderExactly) {
    choice = "Inbox";
    row(inbox->addMail().attach("top.txt"), "Inbox");
    row(inbox->addMail().attach("sub.txt"), "Inbox", "Receipts");
    row(sent->addMail().attach("deep.txt"), "Archive", "Inbox");
    row(sent->addMail().attach("lower.txt"), "inbox");
    row(sent->addMail().attach("sent.txt"), "Sent Items");
    run();
    EXPECT_EQ(files(), (QStringList{"deep.txt", "sub.txt", "top.txt"}));
}

TEST_F(DownloadTest, UserSpecifiedFolderAsksAfterTheTargetAndEndsOnBlank) {
    choice = "User-specified Folder";
    row(inbox->addMail().attach("a.txt"), "Inbox");
    fakes.dialogs.inputAnswers.push_back(std::nullopt); // cancel
    run();
    fakes.dialogs.inputAnswers.push_back(QString("   "));
    run();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    EXPECT_TRUE(world->calls().isEmpty());
    ASSERT_EQ(fakes.dialogs.inputs.size(), 2);
    EXPECT_EQ(fakes.dialogs.inputs[0].prompt, QStringLiteral("Enter folder name: "));
    EXPECT_EQ(fakes.dialogs.inputs[0].title, QStringLiteral("Input Folder Name"));
    EXPECT_EQ(fakes.dialogs.inputs[0].defaultText, QStringLiteral("Inbox"));
    EXPECT_EQ(fakes.dialogs.folderTitles.size(), 2) << "the target folder is asked for first";

    fakes.dialogs.inputAnswers.push_back(QString(" Inbox"));
    run();
    EXPECT_TRUE(saidNoRecords());
    fakes.dialogs.boxes.clear();
    run(); // the default "Inbox" is taken as offered
    EXPECT_FALSE(saidNoRecords());
    EXPECT_EQ(files(), (QStringList{"a.txt"}));
}

TEST_F(DownloadTest, AFailedReopenCountsAsSelectedAndIsReportedOnce) {
    auto &gone = inbox->addMail().attach("gone.txt");
    row(gone, "Inbox");
    inbox->removeItem(0);
    row(inbox->addMail().attach("kept.txt"), "Inbox");
    run();
    EXPECT_EQ(errorLines(), (QStringList{"in Parcelwise5/20/2014.Form1.PushButton3_Click at line 206"}));
    EXPECT_FALSE(saidNoRecords());
    EXPECT_EQ(files(), (QStringList{"kept.txt"}));
}

TEST_F(DownloadTest, UnwritableFolderReportsEachAttachmentAndGoesOn) {
    row(inbox->addMail().attach("a.txt").attach("b.txt"), "Inbox");
    // Root writes into a read-only folder anyway; /proc refuses everybody.
    const bool root = ::geteuid() == 0;
    const QString folder = root ? QStringLiteral("/proc") : target;
    if (!root)
        QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner);
    run(folder);
    if (!root)
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_EQ(errorLines().size(), 2);
    // The report names the attachment's own path, not a temporary one.
    EXPECT_TRUE(fakes.dialogs.errorBoxes()[0].text.contains(QDir(folder).filePath("a.txt"))) << fakes.dialogs.errorBoxes()[0].text.toStdString();
    EXPECT_TRUE(files().isEmpty());
}

TEST_F(DownloadTest, FailedSavesLeaveNoPartialFileAndTheRunGoesOn) {
    row(inbox->addMail().attach("a.txt", "A"), "Inbox");
    inbox->m_items.back()->m_attachments[0]->fail("SaveAsFile", "Disk full");
    row(inbox->addMail().attach("b.txt", "B").attach("c.txt", "C"), "Inbox");
    run(dir.filePath("missing-folder") + "/");
    EXPECT_EQ(errorLines(), QStringList(3, "in Parcelwise5/20/2014.Form1.PushButton3_Click at line 210"));
    fakes.dialogs.boxes.clear();
    run();
    EXPECT_EQ(errorLines(), QStringList(1, "in Parcelwise5/20/2014.Form1.PushButton3_Click at line 210"));
    EXPECT_TRUE(fakes.dialogs.errorBoxes()[0].text.startsWith("Disk full"));
    EXPECT_EQ(files(), (QStringList{"b.txt", "c.txt"})) << "no temporary file is left behind";
}

TEST_F(DownloadTest, RowsFromAPstFileOpenThatFileAgainForTheRun) {
    const QString pst = dir.filePath("archive.pst");
    auto &old = world->addStoreFile(pst, "Archive").addFolder("Old").addMail().attach("old.txt", "O");
    row(old, "Old");
    sourcePst = pst;
    QTemporaryDir out;
    target = out.path();
    run();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << errorLines().join("\n").toStdString();
    EXPECT_EQ(files(), (QStringList{"old.txt"}));
    EXPECT_EQ(world->openStoreNames(), (QStringList{"Mailbox"})) << "closed again after the run";
}

TEST_F(DownloadTest, WinmailDatIsReplacedByTheFilesInsideIt) {
    using namespace tnefbuild;
    const QByteArray inner = stream(attribute(kMessage, 0x00018004, "Minutes\0") + fileAttachment("notes.txt", "n"));
    const QByteArray good = stream(fileAttachment("report.pdf", "%PDF") + fileAttachment("../report.pdf", "%PDF 2") +
                                   messageAttachment(QString(), inner));
    const QByteArray damaged = good.left(good.size() - 3);
    row(inbox->addMail().attach("winmail.dat", good).attach("report.pdf", "plain"), "Inbox");
    row(inbox->addMail().attach("Winmail.dat", damaged).attach("winmail.dat", "not a wrapper"), "Inbox");
    run();
    // The damaged wrapper is cut in its attached message: the two files
    // before it are saved, and the wrapper beside them.
    EXPECT_EQ(files(), (QStringList{"Minutes.eml", "Winmail.dat", "report.pdf", "report_1.pdf", "report_1_2.pdf",
                                    "report_1_2_3.pdf", "report_1_2_3_4.pdf", "winmail.dat"}));
    EXPECT_EQ(readAll(dir.filePath("report.pdf")), QByteArray("%PDF"));
    EXPECT_EQ(readAll(dir.filePath("report_1.pdf")), QByteArray("%PDF 2"));
    EXPECT_EQ(readAll(dir.filePath("report_1_2.pdf")), QByteArray("plain"));
    EXPECT_EQ(readAll(dir.filePath("report_1_2_3.pdf")), QByteArray("%PDF"));
    EXPECT_EQ(readAll(dir.filePath("report_1_2_3_4.pdf")), QByteArray("%PDF 2"));
    EXPECT_EQ(readAll(dir.filePath("Winmail.dat")), damaged);
    EXPECT_EQ(readAll(dir.filePath("winmail.dat")), QByteArray("not a wrapper"));
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains("is damaged") && errors[0].text.contains("ends early"))
        << errors[0].text.toStdString();
    EXPECT_TRUE(errors[0].text.contains("at line 210"));
}

#if defined(PW_HAVE_PSTWRITER)
// The real mail-store engine, on a store written for the purpose.
TEST(DownloadFromPst, WinmailDatOfAStoredMessageSavesAsItsContents) {
    using namespace tnefbuild;
    QTemporaryDir dir;
    QTemporaryDir out;
    const QByteArray tnef = stream(fileAttachment("plan.txt", "the plan") +
                                   messageAttachment("Forwarded", stream(fileAttachment("inner.txt", "inner"))));
    pstwriter::Store store("Mailbox");
    pstwriter::Message m;
    m.subject = "wrapped";
    auto wrapper = pstwriter::Attachment::file("winmail.dat", pstwriter::Content::bytes(tnef.toStdString()));
    wrapper.mimeType = "application/ms-tnef";
    m.attachments.push_back(std::move(wrapper));
    const std::uint32_t nid = store.root().addFolder("Inbox").addMessage(std::move(m));
    const QString path = dir.filePath("store.pst");
    store.write(path.toStdString());

    ScopedCreator creator([path](const QString &) { return pw::pst::createPstApplication({path}); });
    FakePorts fakes;
    MessageListModel list;
    QStringList texts(9);
    texts[1] = "Inbox";
    texts[8] = QString::fromStdString(store.entryId(nid));
    list.appendRow(texts);
    DownloadControls controls;
    controls.choiceText = [] { return QStringLiteral("All"); };
    controls.setPointer = [](int) {};
    fakes.dialogs.folderAnswers.push_back(out.path());
    OutlookDownload(fakes.dialogs, list, controls);
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"Forwarded.eml", "plan.txt"}));
    EXPECT_EQ(readAll(QDir(out.path()).filePath("plan.txt")), QByteArray("the plan"));
    EXPECT_TRUE(readAll(QDir(out.path()).filePath("Forwarded.eml")).contains("filename=\"inner.txt\""));
}
#endif
