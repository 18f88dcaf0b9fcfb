// "Start Downloading" of the Outlook Express window, on .eml files made here.
#include "download/emlsaveengine.h"
#include "platform/mime/mimemessage.h"
#include "platform/tnef/tnefbuilder.h"
#include "support/fakeports.h"

#include <QCryptographicHash>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;

namespace {

QByteArray messageWith(const QList<QPair<QByteArray, QByteArray>> &attachments) {
    QByteArray text = "From: Ann\r\nTo: Bob\r\nSubject: files\r\nDate: Tue, 1 Apr 2008 10:00:00 +0200\r\n"
                      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
                      "--XX\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n";
    for (const auto &[name, content] : attachments) {
        text += "--XX\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment";
        if (!name.isNull())
            text += "; filename=\"" + name + "\"";
        text += "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + content.toBase64() + "\r\n";
    }
    return text + "--XX--\r\n";
}

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

class EmlSave : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        ASSERT_TRUE(target.isValid());
        location = target.path() + QLatin1Char('/');
        list.setColumns({QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Subject"),
                         QStringLiteral("Date Received")},
                        {1500, 1500, 2000, 1500});
    }

    // Adds a listed message, ticked unless told otherwise.
    void addMessage(const QString &name, const QByteArray &content, bool ticked = true) {
        QFile f(work.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        const int row = list.appendRow({QStringLiteral("Ann"), QStringLiteral("Bob"), name, QStringLiteral("d")});
        list.setChecked(row, ticked);
        names.append(name);
    }

    void run() {
        EmlSaveContext context{fakes.dialogs, fakes.events, list, names, work.path(),
                               [this] { ++locationReads; return location; },
                               [this](int kind) { pointers.append(kind); }};
        saveEmlAttachments(context);
    }

    QStringList boxTexts() const {
        QStringList texts;
        for (const auto &b : fakes.dialogs.boxes)
            texts.append(b.text);
        return texts;
    }

    QTemporaryDir work;
    QTemporaryDir target;
    QString location;
    int locationReads = 0;
    MessageListModel list;
    QStringList names;
    QList<int> pointers;
    test::FakePorts fakes;
};

TEST_F(EmlSave, EmptyListOrNoTickOnlySaysDone) {
    run();
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(fakes.dialogs.boxes.at(0).icon, MsgIcon::None);
    EXPECT_TRUE(fakes.dialogs.boxes.at(0).title.isEmpty());
    EXPECT_EQ(pointers, QList<int>{0});

    fakes.dialogs.boxes.clear();
    pointers.clear();
    addMessage(QStringLiteral("a.eml"), messageWith({{"report.pdf", "x"}}), false);
    location.clear(); // an empty Location does not matter when nothing is ticked
    run();
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(pointers, QList<int>{0});
    EXPECT_TRUE(entries(target.path()).isEmpty());
}

TEST_F(EmlSave, SameNameInThreeMessagesIsNumberedAndNothingIsWrittenOver) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"report.pdf", "first"}}));
    addMessage(QStringLiteral("b.eml"), messageWith({{"report.pdf", "second"}}));
    addMessage(QStringLiteral("c.eml"), messageWith({{"report.pdf", "third"}}));
    run();
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("report.pdf"), QStringLiteral("report_1.pdf"),
                                                   QStringLiteral("report_1_2.pdf")}));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("report.pdf"))), QByteArray("first"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("report_1.pdf"))), QByteArray("second"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("report_1_2.pdf"))), QByteArray("third"));
    // One per renaming step; the third copy goes on from the second's name.
    EXPECT_EQ(fakes.events.calls, 2);
    EXPECT_EQ(pointers.first(), 11);
    EXPECT_EQ(pointers.last(), 0);

    // A second run writes new numbered files and changes none of the first.
    run();
    EXPECT_EQ(entries(target.path()).size(), 6);
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("report.pdf"))), QByteArray("first"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("report_1_2_3.pdf"))), QByteArray("first"));
}

TEST_F(EmlSave, HugeHiddenAndDisguisedNamesAreSavedUnderPlainOnes) {
    // A name of megabytes used to freeze the run in the shortening.
    const QByteArray huge = QByteArray(2 * 1024 * 1024, 'n') + ".pdf";
    addMessage(QStringLiteral("a.eml"), messageWith({{huge, "big"},
                                                     {".profile", "dot"},
                                                     {"invoice\xE2\x80\xAE" "fdp.exe", "rlo"},
                                                     {" . ", "blank"}}));
    run();
    EXPECT_EQ(boxTexts(), QStringList{QStringLiteral("Done.")});
    const QString shortened = QString(251, QLatin1Char('n')) + QStringLiteral(".pdf");
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("attachment.pdf"), QStringLiteral("invoice_fdp.exe"),
                                                   shortened, QStringLiteral("profile")}));
    EXPECT_EQ(readAll(target.filePath(shortened)), QByteArray("big"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("attachment.pdf"))), QByteArray("blank"));
}

TEST_F(EmlSave, HiddenNamesAreShownAndAFolderOfTheNameIsNotTouched) {
    QFile hidden(target.filePath(QStringLiteral(".hidden.pdf")));
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly));
    hidden.write("keep");
    hidden.close();
    ASSERT_TRUE(QDir(target.path()).mkdir(QStringLiteral("report.pdf")));
    addMessage(QStringLiteral("a.eml"), messageWith({{".hidden.pdf", "new"}, {"report.pdf", "new"}}));
    run();
    // The dot is dropped, so the attachment is saved where it can be seen;
    // the folder causes no suffix and its save is refused.
    EXPECT_EQ(fakes.events.calls, 0);
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("Form2.PushButton7_Click at line 148")));
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("exists already")));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral(".hidden.pdf"))), QByteArray("keep"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("hidden.pdf"))), QByteArray("new"));
    EXPECT_TRUE(QFileInfo(target.filePath(QStringLiteral("report.pdf"))).isDir());
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

TEST_F(EmlSave, LocationWithoutClosingSlashAndReadAfreshPerAttachment) {
    QTemporaryDir second;
    ASSERT_TRUE(second.isValid());
    addMessage(QStringLiteral("a.eml"), messageWith({{"one.pdf", "1"}, {"two.pdf", "2"}}));
    location = target.path(); // no closing "/"
    fakes.dialogs.onBox = nullptr;
    int saves = 0;
    // Each read of the Location after the first names the second folder.
    EmlSaveContext context{fakes.dialogs, fakes.events, list, names, work.path(),
                           [&] { return saves++ < 2 ? target.path() : second.path(); },
                           [](int) {}};
    saveEmlAttachments(context);
    EXPECT_EQ(entries(target.path()), QStringList{QStringLiteral("one.pdf")});
    EXPECT_EQ(entries(second.path()), QStringList{QStringLiteral("two.pdf")});
}

TEST_F(EmlSave, RemovedMessageIsReportedOnceAndTheRunGoesOn) {
    addMessage(QStringLiteral("gone.eml"), messageWith({{"a.pdf", "a"}}));
    addMessage(QStringLiteral("here.eml"), messageWith({{"b.pdf", "b"}}));
    QFile::remove(work.filePath(QStringLiteral("gone.eml")));
    run();
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("gone.eml")));
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("at line 116")));
    EXPECT_EQ(entries(target.path()), QStringList{QStringLiteral("b.pdf")});
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

// A message cut short inside an attachment: what there is is saved, and the
// step fails through the error box instead of passing for complete.
TEST_F(EmlSave, ACutAttachmentIsKeptAndReportedAsAFailedStep) {
    addMessage(QStringLiteral("cut.eml"),
               "Subject: cut\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
               "--b\r\nContent-Type: application/pdf; name=\"cut.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
               "JVBERi0xLjQK\r\nJVBE\r\n");
    addMessage(QStringLiteral("here.eml"), messageWith({{"b.pdf", "b"}}));
    run();
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("incomplete"))) << errors[0].text.toStdString();
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("b.pdf"), QStringLiteral("cut.pdf")}));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("cut.pdf"))), QByteArray("%PDF-1.4\n%PD"));
}

TEST_F(EmlSave, EmptyOrRelativeLocationIsRefusedBeforeWriting) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"a.pdf", "a"}}));
    const QString cwdBefore = QDir::currentPath();
    QTemporaryDir cwd;
    ASSERT_TRUE(QDir::setCurrent(cwd.path()));
    for (const QString &bad : {QString(), QStringLiteral("  "), QStringLiteral("Downloads")}) {
        location = bad;
        fakes.dialogs.boxes.clear();
        run();
        ASSERT_EQ(fakes.dialogs.boxes.size(), 1) << bad.toStdString();
        EXPECT_EQ(fakes.dialogs.boxes[0].icon, MsgIcon::Exclamation);
        EXPECT_TRUE(fakes.dialogs.boxes[0].text.contains(QStringLiteral("Save Attachment(s) To This Folder")));
    }
    EXPECT_TRUE(entries(cwd.path()).isEmpty());
    QDir::setCurrent(cwdBefore);
}

TEST_F(EmlSave, UnsafeAndEmptyNamesStayInsideTheFolder) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"../../escape.pdf", "1"}, {"/etc/passwd", "2"}, {QByteArray(), "3"},
                                                     {"..", "4"}}));
    run();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("attachment.pdf"), QStringLiteral("attachment_1.pdf"),
                                                   QStringLiteral("escape.pdf"), QStringLiteral("passwd")}));
    EXPECT_FALSE(QFile::exists(QFileInfo(target.path()).dir().filePath(QStringLiteral("escape.pdf"))));
}

TEST_F(EmlSave, MissingFolderReportsEachAttachmentAndGoesOn) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"a.pdf", "a"}, {"b.pdf", "b"}}));
    location = target.filePath(QStringLiteral("not/there"));
    run();
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[1].text.contains(QStringLiteral("at line 148")));
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
    EXPECT_TRUE(entries(target.path()).isEmpty());
}

TEST_F(EmlSave, MoreRowsThanA16BitCounterHolds) {
    const int rows = 40000;
    for (int i = 0; i < rows; ++i) {
        list.appendRow({QString(), QString(), QString(), QString()});
        names.append(QStringLiteral("none.eml"));
    }
    addMessage(QStringLiteral("last.eml"), messageWith({{"last.pdf", "L"}}));
    run();
    EXPECT_EQ(entries(target.path()), QStringList{QStringLiteral("last.pdf")});
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
}

TEST_F(EmlSave, ListEmptiedWhileRenamingDoesNotCrash) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"r.pdf", "1"}, {"r.pdf", "2"}}));
    addMessage(QStringLiteral("b.eml"), messageWith({{"s.pdf", "3"}}));
    // A conversion started meanwhile empties the list and EmlFileNames.
    fakes.events.onProcess = [&] {
        list.clear();
        names.clear();
    };
    run();
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("r.pdf"), QStringLiteral("r_1.pdf")}));
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

QByteArray withWinmailDat(const QByteArray &tnef, const QByteArray &name = "winmail.dat") {
    return "From: Ann\r\nSubject: wrapped\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
           "--XX\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n"
           "--XX\r\nContent-Type: application/ms-tnef; name=\"" + name + "\"\r\nContent-Disposition: attachment; filename=\"" +
           name + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + tnef.toBase64() + "\r\n--XX--\r\n";
}

QByteArray sha256(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The attachments of a saved .eml file, by name, with their content.
QMap<QString, QByteArray> attachmentsOf(const QString &emlPath, const QString &scratch) {
    MimeMessage message;
    message.load(emlPath);
    QMap<QString, QByteArray> out;
    int n = 0;
    for (const MimeAttachment &a : message.attachments()) {
        const QString path = scratch + QStringLiteral("/part%1").arg(n++);
        a.saveToFile(path);
        out.insert(a.fileName(), readAll(path));
        QFile::remove(path);
    }
    return out;
}

TEST_F(EmlSave, RichTextCorpusSavesTheFilesInsideItsWinmailDat) {
    const QString corpus = QStringLiteral(PW_CORPUS_DIR "/eml/rich-text.eml");
    if (!QFile::exists(corpus))
        GTEST_SKIP() << "sample corpus not found at " << PW_CORPUS_DIR;
    addMessage(QStringLiteral("rich-text.eml"), readAll(corpus));
    run();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    const QString kitten = QStringLiteral("kitten-playing-with-a-christmas-tree.jpg");
    // The two parts without a file name are an Outlook task and an
    // appointment attached as messages; the appointment has the picture too.
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("Build a train table.eml"),
                                                   QStringLiteral("Christmas Celebration!.eml"), kitten}));
    const QByteArray picture = readAll(target.filePath(kitten));
    EXPECT_EQ(picture.size(), 375081);
    EXPECT_EQ(sha256(picture), QByteArray("f79d79bf20d19d17f4bbc92bc59485be362df93deaa92b71cc0d490d3b7ac935"));

    const QByteArray task = readAll(target.filePath(QStringLiteral("Build a train table.eml")));
    EXPECT_TRUE(task.contains("Subject: Build a train table\r\n"));
    EXPECT_TRUE(task.contains(QByteArray("Build my nephew an HO-scale train table").toBase64().left(40)));
    EXPECT_TRUE(attachmentsOf(target.filePath(QStringLiteral("Build a train table.eml")), work.path()).isEmpty());
    const auto inAppointment = attachmentsOf(target.filePath(QStringLiteral("Christmas Celebration!.eml")), work.path());
    ASSERT_EQ(inAppointment.keys(), QStringList{kitten});
    EXPECT_EQ(inAppointment.value(kitten), picture);
}

TEST_F(EmlSave, UkrCorpusWinmailDatHoldsNoFileAndIsSavedAsItIs) {
    const QString corpus = QStringLiteral(PW_CORPUS_DIR "/eml/ukr.eml");
    if (!QFile::exists(corpus))
        GTEST_SKIP() << "sample corpus not found at " << PW_CORPUS_DIR;
    addMessage(QStringLiteral("ukr.eml"), readAll(corpus));
    run();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(entries(target.path()), QStringList{QStringLiteral("winmail.dat")});
    const QByteArray saved = readAll(target.filePath(QStringLiteral("winmail.dat")));
    EXPECT_EQ(saved.size(), 9566);
    EXPECT_TRUE(saved.startsWith(QByteArray::fromHex("789f3e22")));
}

TEST_F(EmlSave, FilesInsideAWrapperAreNamedAndNumberedLikeAnyAttachment) {
    using namespace tnefbuild;
    const QByteArray inner = stream(attribute(kMessage, 0x00018004, "Inner\0") +
                                    fileAttachment("inner file.txt", "inner data"));
    const QByteArray tnef = stream(fileAttachment("same.txt", "first") + fileAttachment("same.txt", "second") +
                                   fileAttachment("..\\..\\dir/../evil.txt", "third") +
                                   messageAttachment("Attached note", inner));
    addMessage(QStringLiteral("a.eml"), messageWith({{"same.txt", "outside"}}));
    addMessage(QStringLiteral("b.eml"), withWinmailDat(tnef));
    run();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("Attached note.eml"), QStringLiteral("evil.txt"),
                                                   QStringLiteral("same.txt"), QStringLiteral("same_1.txt"),
                                                   QStringLiteral("same_1_2.txt")}));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("same.txt"))), QByteArray("outside"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("same_1.txt"))), QByteArray("first"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("same_1_2.txt"))), QByteArray("second"));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("evil.txt"))), QByteArray("third"));
    const auto inNote = attachmentsOf(target.filePath(QStringLiteral("Attached note.eml")), work.path());
    EXPECT_EQ(inNote.value(QStringLiteral("inner file.txt")), QByteArray("inner data"));
    EXPECT_EQ(inNote.size(), 1);
}

TEST_F(EmlSave, DamagedWrapperIsSavedAsItIsWithAReport) {
    using namespace tnefbuild;
    const QByteArray whole = stream(fileAttachment("a.txt", "some data"));
    const QByteArray truncated = whole.left(whole.size() - 7);
    const QByteArray badChecksum = stream(rendering() + attribute(kAttachment, 0x0006800F, "data", 1));
    addMessage(QStringLiteral("a.eml"), withWinmailDat(truncated));
    addMessage(QStringLiteral("b.eml"), withWinmailDat(badChecksum, "WINMAIL.DAT"));
    run();
    // The file behind the bad checksum is saved too (it has no name), and
    // the wrapper beside it.
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("WINMAIL.DAT"), QStringLiteral("attachment"),
                                                   QStringLiteral("winmail.dat")}));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("winmail.dat"))), truncated);
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("WINMAIL.DAT"))), badChecksum);
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("attachment"))), QByteArray("data"));
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].text.contains(QStringLiteral("saved as it is")) && errors[0].text.contains(QStringLiteral("ends early")))
        << errors[0].text.toStdString();
    EXPECT_TRUE(errors[1].text.contains(QStringLiteral("checksum")));
    EXPECT_TRUE(errors[1].text.contains(QStringLiteral("at line 148")));
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

// A status line whose Cancel is pressed after a number of looks at it.
struct ScriptedStatus : WorkStatus {
    void started(const QString &) override {}
    void progress(const QString &) override { ++progressCalls; }
    void finished(const QString &text, const QString &) override { closing = text; }
    bool cancelRequested() const override { return ++looks > cancelAfter; }
    int cancelAfter = 0;
    mutable int looks = 0;
    int progressCalls = 0;
    QString closing;
};

TEST_F(EmlSave, CancelInsideAWrapperStopsBeforeTheNextFileInside) {
    using namespace tnefbuild;
    constexpr int kFiles = 3000;
    const QByteArray tnef = stream(fileAttachment("image001.jpg", "j").repeated(kFiles));
    addMessage(QStringLiteral("a.eml"), withWinmailDat(tnef));
    addMessage(QStringLiteral("b.eml"), messageWith({{"later.pdf", "never"}}));
    ScriptedStatus status;
    // One look before the message, then one before each file inside: the
    // press comes while the 25th file is written.
    status.cancelAfter = 26;
    EmlSaveContext context{fakes.dialogs, fakes.events, list, names, work.path(), [this] { return location; },
                           [](int) {}, &status};
    saveEmlAttachments(context);
    QStringList saved = entries(target.path());
    EXPECT_EQ(saved.size(), 26) << saved.join(' ').toStdString(); // 25 files and the wrapper
    EXPECT_TRUE(saved.contains(QStringLiteral("winmail.dat")));
    EXPECT_FALSE(saved.contains(QStringLiteral("later.pdf")));
    EXPECT_EQ(readAll(target.filePath(QStringLiteral("winmail.dat"))), tnef);
    EXPECT_TRUE(status.closing.startsWith(QLatin1String("Stopped after"))) << status.closing.toStdString();
    EXPECT_TRUE(status.closing.contains(QLatin1String("26 attachments"))) << status.closing.toStdString();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_FALSE(boxTexts().contains(QStringLiteral("Done.")));
}

TEST_F(EmlSave, CancelInsideALargeAttachmentLeavesNothingOfIt) {
    addMessage(QStringLiteral("a.eml"), messageWith({{"small.pdf", "first"}, {"big.bin", QByteArray(5 << 20, 'b')}}));
    addMessage(QStringLiteral("b.eml"), messageWith({{"later.pdf", "never"}}));
    ScriptedStatus status;
    // One look before the message, then one after each MiB of big.bin: the
    // press comes after its second MiB.
    status.cancelAfter = 2;
    EmlSaveContext context{fakes.dialogs, fakes.events, list, names, work.path(), [this] { return location; },
                           [](int) {}, &status};
    saveEmlAttachments(context);
    EXPECT_EQ(entries(target.path()), QStringList{QStringLiteral("small.pdf")});
    EXPECT_EQ(status.looks, 3);
    EXPECT_TRUE(status.closing.startsWith(QLatin1String("Stopped after"))) << status.closing.toStdString();
    EXPECT_TRUE(fakes.dialogs.errorBoxes().isEmpty());
    EXPECT_FALSE(boxTexts().contains(QStringLiteral("Done.")));
}

TEST_F(EmlSave, ADamagedWrapperKeepsTheFilesReadBeforeTheDamage) {
    using namespace tnefbuild;
    const QByteArray whole = stream(fileAttachment("first.txt", "one") + fileAttachment("second.txt", "two"));
    addMessage(QStringLiteral("a.eml"), withWinmailDat(whole.chopped(3)));
    addMessage(QStringLiteral("b.eml"), withWinmailDat(whole + QByteArray(3, '\0')));
    run();
    EXPECT_EQ(entries(target.path()), (QStringList{QStringLiteral("first.txt"), QStringLiteral("first_1.txt"),
                                                   QStringLiteral("second.txt"), QStringLiteral("winmail.dat")}));
    const auto errors = fakes.dialogs.errorBoxes();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].text.contains(QLatin1String("is damaged")) && errors[0].text.contains(QLatin1String("ends early")))
        << errors[0].text.toStdString();
    EXPECT_EQ(boxTexts().last(), QStringLiteral("Done."));
}

} // namespace
