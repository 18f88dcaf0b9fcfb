// The Outlook Express window as a tool for long work: resizing, long paths,
// the status line and Cancel in the conversion and the saving.
#include "core/settingsstore.h"
#include "widgets/look.h"
#include "widgets/statusline.h"
#include "express/window/expresswindow.h"
#include "support/fakeports.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeView>
#include <QHeaderView>
#include <QTreeView>
#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakePorts;

namespace {

QByteArray message(const QString &subject, const QString &attachmentName, const QByteArray &body) {
    return "From: Ann <ann@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: " + subject.toUtf8()
           + "\r\nDate: Tue, 5 Mar 2002 10:00:00 +0100\r\nMIME-Version: 1.0\r\n"
             "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain\r\n\r\nHello\r\n"
             "--b1\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\""
           + attachmentName.toUtf8() + "\"\r\n\r\n" + body + "\r\n--b1--\r\n";
}

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
}

class Form2Work : public ::testing::Test {
protected:
    void SetUp() override {
        test::clearSettings();
        ports = fakes.ports();
        fakes.launcher.pollsBeforeExit = 0;
    }
    // A stand-in converter that writes `perFile` messages for each .dbx.
    void convertsInto(int perFile, int sleepMs = 0) {
        fakes.launcher.onStart = [perFile, sleepMs](const QString &, const QStringList &args) {
            const QString base = QFileInfo(args.value(0)).completeBaseName();
            for (int i = 1; i <= perFile; ++i)
                writeFile(QStringLiteral("%1/%2-%3.eml").arg(args.value(1), base).arg(i),
                          message(base + QString::number(i), QStringLiteral("%1-%2.txt").arg(base).arg(i), "data"));
            QThread::msleep(sleepMs);
            return 0;
        };
    }
    void addDbx(Form2 &form, const QStringList &names) {
        for (const QString &name : names) {
            writeFile(mail.filePath(name), "x");
            fakes.dialogs.fileAnswers.push_back({mail.filePath(name)});
            form.PushButton1->click();
        }
        form.PushButton5->click();
    }
    FakePorts fakes;
    Ports ports;
    QTemporaryDir work, mail, out;
};

} // namespace

TEST_F(Form2Work, TheListsShareTheRoomOfALargerWindow) {
    Form2 form(ports);
    form.Form_Load();
    form.show();
    const QRect files = form.ListView1->geometry(), messages = form.ListView2->geometry(),
                extract = form.PushButton2->geometry(), start = form.PushButton7->geometry(),
                browse = form.PushButton8->geometry();
    EXPECT_EQ(form.height(), twipsToPixels(7980, &form) + form.statusLine().height());
    form.resize(form.width() + 200, form.height() + 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.ListView1->geometry(), files.adjusted(0, 0, 200, 150));
    EXPECT_EQ(form.ListView2->geometry(), messages.translated(0, 150).adjusted(0, 0, 200, 150));
    EXPECT_EQ(form.PushButton2->geometry(), extract.translated(0, 150).adjusted(0, 0, 200, 0));
    EXPECT_EQ(form.PushButton7->geometry(), start.translated(0, 300).adjusted(0, 0, 200, 0));
    EXPECT_EQ(form.PushButton8->geometry(), browse.translated(200, 0));
}

TEST_F(Form2Work, LongDbxPathsLoseTheirMiddleAndShowWholeAsTip) {
    Form2 form(ports);
    form.Form_Load();
    form.show();
    const QString deep = QStringLiteral("/home/someone/.wine/drive_c/users/someone/Local Settings/Application Data/"
                                        "Identities/{11111111-2222-4333-8444-555555555555}/Microsoft/Outlook Express/");
    fakes.dialogs.fileAnswers.push_back({deep + "Inbox.dbx", deep + "Sent Items.dbx"});
    form.PushButton1->click();
    form.fileList().showPendingRows();
    EXPECT_EQ(form.ListView1->textElideMode(), Qt::ElideMiddle);
    EXPECT_GE(form.ListView1->header()->sectionSize(0), form.ListView1->viewport()->width())
        << "the one column takes the list's width";
    const QModelIndex second = form.fileList().index(1, 0);
    EXPECT_EQ(second.data(Qt::ToolTipRole).toString(), deep + "Sent Items.dbx");
}

TEST_F(Form2Work, CancelDuringTheListingStopsBeforeTheNextMessage) {
    convertsInto(5, 150);
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    addDbx(form, {"Inbox.dbx"});
    // Events run for the file's row, once in the converter's wait, then
    // every 100 ms of the listing: the first time there, the listing is held
    // up a little; the second time, the user presses Esc.
    int calls = 0;
    fakes.events.onProcess = [&] {
        if (++calls == 3)
            QThread::msleep(120);
        else if (calls == 4)
            form.statusLine().requestCancel();
    };
    form.PushButton2->click();
    EXPECT_EQ(form.messageList().count(), 1) << "the listing stopped at a message";
    EXPECT_EQ(form.EmlFileNames, QStringList{"Inbox-1.eml"});
    EXPECT_TRUE(form.statusLine().text().startsWith(
        QStringLiteral("Stopped after converting 0 of 1 .dbx file: 1 message with attachments listed, in ")))
        << form.statusLine().text().toStdString();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "a stopped run shows no \"Done.\"";
}

TEST_F(Form2Work, CancelWhileTheConverterRunsEndsItAndConvertsNoMore) {
    convertsInto(2);
    fakes.launcher.pollsBeforeExit = 5;
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    addDbx(form, {"Inbox.dbx", "Sent.dbx"});
    QStringList during;
    fakes.events.onProcess = [&] {
        during.append(form.statusLine().text());
        if (fakes.launcher.started.size() == 1 && fakes.launcher.stopped.isEmpty())
            form.statusLine().cancelButton()->click();
    };
    form.PushButton2->click();
    EXPECT_EQ(fakes.launcher.started.size(), 1) << "the second file was converted after the stop";
    EXPECT_EQ(fakes.launcher.stopped, QList<qint64>{1});
    EXPECT_EQ(form.messageList().count(), 0);
    EXPECT_TRUE(during.contains(QStringLiteral("Converting Inbox.dbx (1 of 2); 0 messages with attachments listed")))
        << during.join(" | ").toStdString();
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Stopped after converting 0 of 2 .dbx files")));

    // The stop belongs to that run: the next one converts both files.
    fakes.events.onProcess = nullptr;
    form.PushButton2->click();
    EXPECT_EQ(form.messageList().count(), 4);
    EXPECT_TRUE(form.statusLine().text().startsWith(
        QStringLiteral("Converted 2 .dbx files: 4 messages with attachments listed, in ")))
        << form.statusLine().text().toStdString();
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));
}

TEST_F(Form2Work, SavingSaysWhatItSavedAndCancelStopsBeforeTheNextMessage) {
    convertsInto(3);
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    form.Text3->setText(out.path());
    addDbx(form, {"Inbox.dbx"});
    form.PushButton2->click();
    ASSERT_EQ(form.messageList().count(), 3);
    form.PushButton4->click();

    const int before = fakes.events.calls;
    fakes.events.onProcess = [&] {
        if (fakes.events.calls == before + 1)
            form.statusLine().requestCancel();
    };
    fakes.dialogs.boxes.clear();
    form.PushButton7->click();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files), QStringList{"Inbox-1.txt"});
    EXPECT_TRUE(form.statusLine().text().startsWith(
        QStringLiteral("Stopped after 1 message: Saved 1 attachment (4 bytes) to ") + out.path()))
        << form.statusLine().text().toStdString();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << "a stopped run shows no \"Done.\"";

    fakes.events.onProcess = nullptr;
    QDir(out.path()).removeRecursively();
    QDir().mkpath(out.path());
    form.PushButton7->click();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(form.statusLine().text().startsWith(QStringLiteral("Saved 3 attachments (12 bytes) to ") + out.path()));
    EXPECT_EQ(form.statusLine().folder(), out.path());
    EXPECT_EQ(fakes.dialogs.boxes.last().text, QStringLiteral("Done."));
}

// After a conversion, at the given size, every column of a message shows and
// Subject takes the room left; a larger window gives Subject the spare width.
// The window can be maximised, as a dialog's frame would not allow by default.
TEST_F(Form2Work, AfterAConversionEveryColumnShowsAndTheWindowCanBeMaximised) {
    convertsInto(3);
    Form2 form(ports);
    form.workingFolder = work.path();
    form.Form_Load();
    form.show();
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    addDbx(form, {"Inbox.dbx"});
    form.PushButton2->click();
    ASSERT_EQ(form.messageList().count(), 3);
    const QTreeView &list = *form.ListView2;
    const auto inView = [&list](int c) {
        const int left = list.header()->sectionViewportPosition(c);
        return left >= 0 && left + list.header()->sectionSize(c) <= list.viewport()->width();
    };
    for (int c = 0; c < 4; ++c)
        EXPECT_TRUE(inView(c)) << "column " << c;
    EXPECT_GE(list.header()->sectionSize(3), list.fontMetrics().horizontalAdvance(form.messageList().text(0, 3)));
    form.resize(1280, 800);
    QCoreApplication::processEvents();
    EXPECT_EQ(list.header()->length(), list.viewport()->width());
    EXPECT_GT(list.header()->sectionSize(2), list.header()->sectionSize(0));
}
