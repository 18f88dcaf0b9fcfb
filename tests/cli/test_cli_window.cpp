// parcelwise-cli against the main window's scan of the same store, .dbx
// folders read in memory, and two processes saving into one folder.
#include "cli/clirun.h"
#include "dbxfixture.h"
#include "outlook/outlookscan.h"
#include "platform/pst/corpus.h"
#include "platform/pst/pstengine.h"
#include "support/fakeports.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw;
using namespace pw::cli::test;
namespace corpus = pw::pst::test;

namespace {

// The main window's scan of one PST file, over the real engine.
class WindowScan {
public:
    explicit WindowScan(const QString &pst) : m_pst(pst) {
        ScanControls c;
        c.option1Selected = [] { return false; };
        c.option2Selected = [] { return true; };
        c.pstPath = [this] { return m_pst; };
        c.searchText = [this] { return search; };
        c.setPointer = [](int) {};
        c.redrawList = [] {};
        m_scan = std::make_unique<OutlookScan>(m_fakes.dialogs, m_fakes.events, list, c);
    }
    void withAttachments() { m_scan->PushButton4_Click(); }
    void all() { m_scan->PushButton1_Click(); }
    void find(const QString &text) {
        search = text;
        m_scan->PushButton2_Click();
    }
    // The ids the download takes for a folder name: its "Folder" or
    // "Subfolder" column reads the name.
    QStringList ids(const QString &folderName = QString()) const {
        QStringList out;
        for (int r = 0; r < list.count(); ++r)
            if (folderName.isNull() || list.text(r, 1) == folderName || list.text(r, 2) == folderName)
                out.append(list.text(r, 8));
        return out;
    }
    int errorBoxes() const { return static_cast<int>(m_fakes.dialogs.errorBoxes().size()); }

    MessageListModel list;
    QString search;

private:
    outlook::ScopedCreator m_engine{[](const QString &) { return pst::createPstApplication(QStringList()); }};
    QString m_pst;
    test::FakePorts m_fakes;
    std::unique_ptr<OutlookScan> m_scan;
};

QStringList cliIds(const QStringList &arguments) {
    const CliResult r = runCli(arguments);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList out;
    for (const QString &line : r.lines())
        out.append(line.section('\t', 6, 6));
    return out;
}

TEST(CliFilters, SameRowsAsTheWindowsScan) {
    PW_REQUIRE_CORPUS();
    int folderChecks = 0;
    bool searchNarrowed = false;
    for (const QString sample : {"pst/test_sample.pst", "pst/DFRWS2009-Outlook-Email.pst",
                                 "pst/passwordprotectedPST.pst", "pst/97_outlook_pass12345.pst"}) {
        const QString path = corpus::corpusDir() + "/" + sample;
        WindowScan window(path);
        window.all();
        ASSERT_EQ(window.errorBoxes(), 0);
        EXPECT_EQ(cliIds({"list", path}), window.ids()) << sample.toStdString();

        // Every folder name the list shows, as "User-specified Folder".
        QSet<QString> names;
        for (int r = 0; r < window.list.count(); ++r)
            names << window.list.text(r, 1) << window.list.text(r, 2);
        names.remove(QString());
        for (const QString &name : names) {
            EXPECT_EQ(cliIds({"list", path, "--folder", name}), window.ids(name)) << name.toStdString();
            ++folderChecks;
        }
        EXPECT_TRUE(cliIds({"list", path, "--folder", "inbox"}).isEmpty() || !names.contains("inbox"));

        window.withAttachments();
        EXPECT_EQ(cliIds({"list", path, "--with-attachments"}), window.ids()) << sample.toStdString();

        for (const QString text : {"ASPOSE", "e", "lorem", "Microsoft", "no such text anywhere"}) {
            window.find(text);
            const QStringList found = cliIds({"list", path, "--search", text});
            EXPECT_EQ(found, window.ids()) << sample.toStdString() << " / " << text.toStdString();
            window.all();
            searchNarrowed = searchNarrowed || (!found.isEmpty() && found.size() < window.list.count());
        }
    }
    EXPECT_GT(folderChecks, 5);
    EXPECT_TRUE(searchNarrowed);
}

std::string messageWithAttachment(const std::string &subject, const std::string &name, const std::string &base64) {
    return "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: " + subject
           + "\r\nDate: Mon, 4 Mar 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
             "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
             "--b\r\nContent-Type: application/octet-stream; name=\""
           + name + "\"\r\nContent-Disposition: attachment; filename=\"" + name
           + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64 + "\r\n--b--\r\n";
}

TEST(CliDbx, ReadInMemoryListedAndSavedWithoutEmlFiles) {
    QTemporaryDir dir;
    const QString dbx = dir.filePath("Inbox.dbx");
    std::vector<unfurl::fixture::FixtureMessage> messages(3);
    messages[0].number = 1;
    messages[0].text = messageWithAttachment("First", "a.txt", "YWxwaGE=");                // "alpha"
    messages[1].number = 2;
    messages[1].text = "From: Carl <carl@example.org>\r\nSubject: Plain\r\nDate: Tue, 5 Mar 2024 11:00:00 +0000\r\n\r\nno files\r\n";
    messages[2].number = 3;
    messages[2].text = messageWithAttachment("Third", "a.txt", "YmV0YQ==");                // "beta"
    unfurl::fixture::writeDbx(dbx.toStdString(), messages);

    QProcessEnvironment env = cliEnvironment();
    const QString cache = dir.filePath("cache");
    env.insert("XDG_CACHE_HOME", cache);
    env.insert("TMPDIR", dir.filePath("tmp"));
    QDir().mkpath(dir.filePath("tmp"));

    CliResult r = runCli({"list", dbx}, env);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(r.lines().size(), 3);
    EXPECT_EQ(r.lines().at(0), dbx + "\tInbox\t2024-03-04T10:00:00Z\tAnn\tFirst\t1\t1");
    EXPECT_EQ(r.lines().at(1).section('\t', 4), "Plain\t0\t2");

    EXPECT_EQ(runCli({"list", dbx, "--with-attachments"}, env).lines().size(), 2);
    EXPECT_EQ(runCli({"list", dbx, "--folder", "Inbox", "--search", "CARL"}, env).lines().size(), 1);
    EXPECT_EQ(runCli({"list", dbx, "--folder", "Outbox"}, env).lines().size(), 0);

    const QString out = dir.filePath("out");
    r = runCli({"save", dbx, "--to", out}, env);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.lines(), QStringList({out + "/a.txt", out + "/a_1.txt"}));
    QFile first(out + "/a.txt"), second(out + "/a_1.txt");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll(), QByteArray("alpha"));
    EXPECT_EQ(second.readAll(), QByteArray("beta"));
    // No message file was written anywhere we can see.
    QDirIterator it(dir.path(), {"*.eml"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    EXPECT_FALSE(it.hasNext()) << it.next().toStdString();
}

TEST(CliSave, TwoProcessesIntoOneFolderLoseAndOverwriteNothing) {
    PW_REQUIRE_CORPUS();
    const QString sample = "pst/2003_no-encryption_quickquick.pst";
    QStringList once;
    for (const QJsonValue &f : corpus::manifest(sample).value("folders").toArray())
        for (const QJsonValue &m : f.toObject().value("messages").toArray())
            for (const QJsonValue &a : m.toObject().value("attachments").toArray())
                once.append(a.toObject().value("sha256").toString());
    ASSERT_GT(once.size(), 100);
    QStringList twice = once + once;
    twice.sort();

    for (int round = 0; round < 3; ++round) {
        QTemporaryDir out;
        QProcess a, b;
        for (QProcess *p : {&a, &b}) {
            p->setProcessEnvironment(cliEnvironment());
            p->start(cliPath(), {"save", corpus::corpusDir() + "/" + sample, "--to", out.path()});
        }
        ASSERT_TRUE(a.waitForFinished(120000) && b.waitForFinished(120000));
        EXPECT_EQ(a.exitCode(), 0) << a.readAllStandardError().toStdString();
        EXPECT_EQ(b.exitCode(), 0) << b.readAllStandardError().toStdString();
        const QStringList printed = QString::fromUtf8(a.readAllStandardOutput() + b.readAllStandardOutput())
                                        .split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(QSet<QString>(printed.begin(), printed.end()).size(), twice.size()); // no path printed twice
        EXPECT_EQ(folderDigests(out.path()), twice);
    }
}

} // namespace
