// parcelwise-cli end to end: choosing messages and attachments, what a
// save keeps, its layout and output, and the sources besides stores.
#include "cli/clirun.h"
#include "platform/pst/corpus.h"
#include "platform/tnef/tnefbuilder.h"
#include "pstwriter/pstwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw::cli::test;
namespace corpus = pw::pst::test;

namespace {

struct Part {
    Part(QString n, QByteArray b, QString t = QStringLiteral("application/octet-stream"), QString id = QString())
        : name(std::move(n)), bytes(std::move(b)), type(std::move(t)), contentId(std::move(id)) {}
    QString name;
    QByteArray bytes;
    QString type;
    QString contentId;
};

// A multipart message with an HTML body and the parts as attachments; no
// Date header when `date` is empty.
QByteArray emlText(const QString &from, const QString &subject, const QString &date, const QString &html,
                   const QList<Part> &parts) {
    QByteArray out = "From: " + from.toUtf8() + "\nTo: x@example.org\nSubject: " + subject.toUtf8() + "\n";
    if (!date.isEmpty())
        out += "Date: " + date.toUtf8() + "\n";
    out += "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b0\"\n\n--b0\n"
           "Content-Type: text/html; charset=utf-8\n\n" + html.toUtf8() + "\n";
    for (const Part &p : parts) {
        out += "--b0\nContent-Type: " + p.type.toUtf8() + "; name=\"" + p.name.toUtf8() + "\"\n";
        if (!p.contentId.isEmpty())
            out += "Content-ID: <" + p.contentId.toUtf8() + ">\n";
        out += "Content-Disposition: attachment; filename=\"" + p.name.toUtf8() + "\"\n"
               "Content-Transfer-Encoding: base64\n\n" + p.bytes.toBase64() + "\n";
    }
    out += "--b0--\n";
    // CRLF, as mail goes over the wire.
    return out.replace("\n", "\r\n");
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Every file below `folder`, hidden ones too, as paths relative to it.
QStringList filesBelow(const QString &folder) {
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(folder).relativeFilePath(it.next()));
    out.sort();
    return out;
}

QStringList jsonField(const CliResult &r, const char *field) {
    QStringList out;
    for (const QString &line : r.lines())
    {
        // A folder is an array of names: its path, joined as list prints it.
        const QJsonValue value = QJsonDocument::fromJson(line.toUtf8()).object().value(QLatin1String(field));
        QStringList names;
        for (const QJsonValue &name : value.toArray())
            names.append(name.toString());
        out.append(value.isArray() ? names.join(QLatin1Char('/')) : value.toString());
    }
    out.sort();
    return out;
}

CliResult runWithInput(const QStringList &arguments, const QByteArray &input) {
    QProcess process;
    process.setProcessEnvironment(cliEnvironment());
    process.start(cliPath(), arguments);
    CliResult result;
    if (!process.waitForStarted(10000))
        return result;
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(600000);
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

// Four messages to choose from, one file each.
class MessageChoice : public ::testing::Test {
protected:
    void SetUp() override {
        const QList<Part> none;
        writeFile(dir.filePath("mail/a.eml"), emlText("Ann Example <ann@example.org>", "Budget 2024",
                                                      "Thu, 29 Feb 2024 23:30:00 +0000", "<p>a</p>", {{"a.txt", "A"}}));
        writeFile(dir.filePath("mail/b.eml"), emlText("Bob <bob@example.org>", "Minutes",
                                                      "Fri, 1 Mar 2024 02:00:00 +0200", "<p>b</p>", {{"b.txt", "B"}}));
        writeFile(dir.filePath("mail/c.eml"), emlText("ann@example.org", "budget draft",
                                                      "Sun, 31 Mar 2024 23:59:00 +0000", "<p>c</p>", {{"c.txt", "C"}}));
        writeFile(dir.filePath("mail/d.eml"), emlText("Dora <dora@example.org>", "BUDGET, undated", QString(),
                                                      "<p>d</p>", {{"d.txt", "D"}}));
    }
    QTemporaryDir dir;
};

TEST_F(MessageChoice, ByDateSenderSubjectAndId) {
    struct Case {
        QStringList options;
        QStringList ids;
    };
    const QList<Case> cases = {
        {{}, {"a.eml", "b.eml", "c.eml", "d.eml"}},
        // b is 00:00 UTC on 1 March: the lower bound takes it in.
        {{"--since", "2024-03-01"}, {"b.eml", "c.eml"}},
        {{"--until", "2024-02-29"}, {"a.eml"}},
        {{"--until", "2024-02-29T23:29"}, {}},
        {{"--until", "2024-02-29T23:30"}, {"a.eml"}},
        {{"--since", "2024-03-01T01:00+01:00", "--until", "2024-03-31"}, {"b.eml", "c.eml"}},
        {{"--from", "ANN"}, {"a.eml", "c.eml"}},
        {{"--subject", "budget"}, {"a.eml", "c.eml", "d.eml"}},
        {{"--subject", "budget", "--from", "dora"}, {"d.eml"}},
        {{"--id", "b.eml", "--id", "d.eml"}, {"b.eml", "d.eml"}},
        {{"--id", "b.eml", "--subject", "budget"}, {}},
    };
    for (const Case &c : cases) {
        const CliResult r = runCli(QStringList{"list", "--json", dir.filePath("mail")} + c.options);
        EXPECT_EQ(r.exitCode, 0) << c.options.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(jsonField(r, "id"), c.ids) << c.options.join(' ').toStdString();
    }
}

TEST_F(MessageChoice, SavesWhatAListNamed) {
    // list --json into a file, then two of its lines back by --ids-from.
    const CliResult listed = runCli({"list", "--json", dir.filePath("mail")});
    ASSERT_EQ(listed.exitCode, 0);
    QByteArray chosen;
    for (const QString &line : listed.lines()) {
        const QString id = QJsonDocument::fromJson(line.toUtf8()).object().value("id").toString();
        if (id == "a.eml" || id == "c.eml")
            chosen += line.toUtf8() + "\n";
    }
    writeFile(dir.filePath("ids.jsonl"), chosen);
    CliResult r = runCli({"save", dir.filePath("mail"), "--to", dir.filePath("out1"), "--ids-from", dir.filePath("ids.jsonl")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out1")), QStringList({"a.txt", "c.txt"}));

    // Plain list lines through standard input.
    const CliResult plain = runCli({"list", dir.filePath("mail"), "--from", "bob"});
    ASSERT_EQ(plain.lines().size(), 1);
    r = runWithInput({"save", dir.filePath("mail"), "--to", dir.filePath("out2"), "--ids-from", "-"}, plain.out);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out2")), QStringList({"b.txt"}));
    EXPECT_EQ(readFile(dir.filePath("out2/b.txt")), "B");
}

TEST(AttachmentChoice, ByNameAndSizeOfTheFilesSaved) {
    QTemporaryDir dir;
    const QByteArray wrapper = tnefbuild::stream(tnefbuild::fileAttachment("inside.pdf", QByteArray(3000, 'p'))
                                                 + tnefbuild::fileAttachment("inside.txt", "tiny"));
    writeFile(dir.filePath("m.eml"),
              emlText("a@example.org", "files", "Fri, 1 Mar 2024 10:00:00 +0000", "<p>x</p>",
                      {{"report.PDF", QByteArray(100, 'r'), "application/pdf"},
                       {"notes.txt", QByteArray(2000, 'n'), "text/plain"},
                       {"photo.jpg", QByteArray(5000, 'j'), "image/jpeg"},
                       {"data.bin", "abc"},
                       {"winmail.dat", wrapper, "application/ms-tnef"}}));
    struct Case {
        QStringList options;
        QStringList files;
    };
    const QList<Case> cases = {
        {{"--name", "*.pdf"}, {"inside.pdf", "report.PDF"}},
        {{"--name", "*.pdf", "--name", "*.TXT"}, {"inside.pdf", "inside.txt", "notes.txt", "report.PDF"}},
        {{"--exclude", "*.jpg", "--exclude", "inside.*"}, {"data.bin", "notes.txt", "report.PDF"}},
        {{"--min-size", "1k"}, {"inside.pdf", "notes.txt", "photo.jpg"}},
        {{"--max-size", "2000"}, {"data.bin", "inside.txt", "notes.txt", "report.PDF"}},
        {{"--min-size", "1k", "--max-size", "4k", "--exclude", "*.pdf"}, {"notes.txt"}},
        {{"--keep-tnef", "--name", "*.dat"}, {"winmail.dat"}},
    };
    int run = 0;
    for (const Case &c : cases) {
        const QString out = dir.filePath(QStringLiteral("out%1").arg(run++));
        const CliResult r = runCli(QStringList{"save", dir.filePath("m.eml"), "--to", out} + c.options);
        EXPECT_EQ(r.exitCode, 0) << c.options.join(' ').toStdString() << r.err.toStdString();
        // Nothing else is left in the folder, hidden or not.
        EXPECT_EQ(filesBelow(out), c.files) << c.options.join(' ').toStdString();
        EXPECT_EQ(r.lines().size(), c.files.size()) << r.out.toStdString();
    }
}

TEST(AttachmentChoice, SkipInlineLeavesOutPicturesTheBodyShows) {
    QTemporaryDir dir;
    // An .eml from the corpus: two pictures shown through "cid:", one text file.
    if (QFileInfo::exists(corpus::corpusDir() + "/eml/nodemailer.eml")) {
        const CliResult r = runCli({"save", corpus::corpusDir() + "/eml/nodemailer.eml", "--to", dir.filePath("eml"), "--skip-inline"});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(filesBelow(dir.filePath("eml")), QStringList({"notes.txt"}));
    }
    // A generated one: shown by content id; a picture with its own id the
    // body does not show stays, as does a document the body links to.
    writeFile(dir.filePath("gen.eml"),
              emlText("a@example.org", "sig", QString(),
                      "<p>Hi <img src=\"cid:sig.logo@corp\"> <a href=\"cid:terms@corp\">terms</a></p>",
                      {{"logo.gif", "GIF", "image/gif", "sig.logo@corp"},
                       {"holiday.jpg", "JPG", "image/jpeg", "sig.logo@corp.other"},
                       {"terms.pdf", "PDF", "application/pdf", "terms@corp"}}));
    CliResult gen = runCli({"save", dir.filePath("gen.eml"), "--to", dir.filePath("gen"), "--skip-inline"});
    EXPECT_EQ(gen.exitCode, 0) << gen.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("gen")), QStringList({"holiday.jpg", "terms.pdf"}));

    // A store: the content id is the attachment's own property.
    pstwriter::Store store("Mailbox");
    pstwriter::Message m;
    m.subject = "Signed";
    m.htmlBody = "<html><body>Hi<img src=\"cid:logo001@corp\"></body></html>";
    pstwriter::Attachment logo = pstwriter::Attachment::file("logo.png", pstwriter::Content::bytes("PNGDATA"));
    logo.mimeType = "image/png";
    logo.extraProperties.push_back(pstwriter::Property::unicode(0x3712, "<logo001@corp>"));
    m.attachments.push_back(logo);
    pstwriter::Attachment chart = pstwriter::Attachment::file("chart.png", pstwriter::Content::bytes("CHART"));
    chart.extraProperties.push_back(pstwriter::Property::unicode(0x3712, "chart@corp"));
    m.attachments.push_back(chart); // has a content id, but the body does not show it
    m.attachments.push_back(pstwriter::Attachment::file("report.pdf", pstwriter::Content::bytes("PDF")));
    store.root().addFolder("Inbox").addMessage(std::move(m));
    const QString pst = dir.filePath("signed.pst");
    store.write(pst.toStdString());
    CliResult r = runCli({"save", pst, "--to", dir.filePath("pst"), "--skip-inline"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("pst")), QStringList({"chart.png", "report.pdf"}));
    r = runCli({"save", pst, "--to", dir.filePath("pst-all")});
    EXPECT_EQ(filesBelow(dir.filePath("pst-all")), QStringList({"chart.png", "logo.png", "report.pdf"}));
}

// A store where one logo is in every message, and two different files
// share a name.
QString writeRepeatingStore(const QString &path, int messages) {
    pstwriter::Store store("Mailbox");
    pstwriter::Folder &inbox = store.root().addFolder("Inbox");
    for (int i = 0; i < messages; ++i) {
        pstwriter::Message m;
        m.subject = "Newsletter " + std::to_string(i);
        m.attachments.push_back(pstwriter::Attachment::file("logo.png", pstwriter::Content::generated(4096, 99)));
        m.attachments.push_back(pstwriter::Attachment::file(
            "report.pdf", pstwriter::Content::generated(1000 + static_cast<std::uint64_t>(i % 3), 7)));
        inbox.addMessage(std::move(m));
    }
    pstwriter::Message copy;
    copy.subject = "Renamed";
    copy.attachments.push_back(pstwriter::Attachment::file("company.png", pstwriter::Content::generated(4096, 99)));
    store.root().addFolder("Other").addMessage(std::move(copy));
    store.write(path.toStdString());
    return path;
}

TEST(SaveKeeps, SkipExistingRerunAddsNothing) {
    QTemporaryDir dir;
    const QString pst = writeRepeatingStore(dir.filePath("news.pst"), 12);
    for (const QStringList &layout : {QStringList(), QStringList{"--tree"}}) {
        const QString out = dir.filePath(layout.isEmpty() ? "flat" : "tree");
        // The first run saves as a plain save does.
        CliResult first = runCli(QStringList{"save", pst, "--to", out, "--skip-existing"} + layout);
        ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
        const QStringList saved = filesBelow(out);
        QStringList digests;
        for (const QString &f : saved)
            digests.append(fileDigest(out + "/" + f));
        // Every name's bytes are there once: 1 logo, 3 reports, 1 company logo.
        EXPECT_EQ(saved.size(), 5) << saved.join(' ').toStdString();
        for (int run = 0; run < 2; ++run) {
            const CliResult again = runCli(QStringList{"save", pst, "--to", out, "--skip-existing"} + layout);
            EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
            EXPECT_TRUE(again.out.isEmpty()) << again.out.toStdString();
            EXPECT_TRUE(again.err.contains("25 already in the folder")) << again.err.toStdString();
            EXPECT_EQ(filesBelow(out), saved);
        }
        QStringList after;
        for (const QString &f : filesBelow(out))
            after.append(fileDigest(out + "/" + f));
        EXPECT_EQ(after, digests);
    }
    // Without the option a rerun doubles the folder, so the test above tells.
    const CliResult plain = runCli({"save", pst, "--to", dir.filePath("flat")});
    EXPECT_EQ(plain.lines().size(), 25);
}

TEST(SaveKeeps, SkipExistingStillSavesNewBytesUnderATakenName) {
    QTemporaryDir dir;
    writeFile(dir.filePath("out/a.txt"), "old");
    writeFile(dir.filePath("m.eml"), emlText("x@example.org", "s", QString(), "<p/>", {{"a.txt", "new"}, {"a.txt", "old"}}));
    const CliResult r = runCli({"save", dir.filePath("m.eml"), "--to", dir.filePath("out"), "--skip-existing"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out")), QStringList({"a.txt", "a_1.txt"}));
    EXPECT_EQ(readFile(dir.filePath("out/a_1.txt")), "new");
    EXPECT_EQ(readFile(dir.filePath("out/a.txt")), "old");
}

TEST(SaveKeeps, DedupeSavesRepeatedBytesOnce) {
    QTemporaryDir dir;
    const QString pst = writeRepeatingStore(dir.filePath("news.pst"), 30);
    const CliResult r = runCli({"save", pst, "--to", dir.filePath("out"), "--dedupe", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    // One logo (company.png has its bytes too) and three distinct reports.
    const QStringList files = filesBelow(dir.filePath("out"));
    EXPECT_EQ(files, QStringList({"logo.png", "report.pdf", "report_1.pdf", "report_1_2.pdf"}));
    EXPECT_EQ(r.lines().size(), 4);
    EXPECT_TRUE(r.err.contains("57 duplicates not saved")) << r.err.toStdString();
    QStringList digests;
    for (const QString &f : files)
        digests.append(fileDigest(dir.filePath("out/" + f)));
    digests.removeDuplicates();
    EXPECT_EQ(digests.size(), 4);
}

TEST(SaveLayout, TreeFollowsStoreAndFoldersWithSafeNames) {
    QTemporaryDir dir;
    pstwriter::Store store("Mailbox");
    pstwriter::Folder &inbox = store.root().addFolder("Inbox");
    const auto one = [](const std::string &name, const std::string &bytes) {
        pstwriter::Message m;
        m.subject = name;
        m.attachments.push_back(pstwriter::Attachment::file(name, pstwriter::Content::bytes(bytes)));
        return m;
    };
    inbox.addMessage(one("a.txt", "A"));
    inbox.addFolder("Projects/2024").addMessage(one("b.txt", "B"));
    store.root().addFolder("..").addMessage(one("c.txt", "C"));
    const QString pst = dir.filePath("Archive.pst");
    store.write(pst.toStdString());
    writeFile(dir.filePath("loose.eml"), emlText("x@example.org", "s", QString(), "<p/>", {{"d.txt", "D"}}));
    const CliResult r = runCli({"save", pst, dir.filePath("loose.eml"), "--to", dir.filePath("out"), "--tree"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out")),
              QStringList({"Archive/Inbox/Projects_2024/b.txt", "Archive/Inbox/a.txt", "Archive/_./c.txt", "d.txt"}));
    EXPECT_EQ(readFile(dir.filePath("out/Archive/Inbox/Projects_2024/b.txt")), "B");
    // A dry run names the same paths and makes no folder.
    const CliResult dry = runCli({"save", pst, "--to", dir.filePath("dry"), "--tree", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(dry.lines().size(), 3);
    EXPECT_TRUE(dry.lines().contains(dir.filePath("dry/Archive/Inbox/Projects_2024/b.txt"))) << dry.out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("dry/Archive")));
}

TEST(SaveOutput, NulEndedQuietAndVerbose) {
    QTemporaryDir dir;
    writeFile(dir.filePath("m.eml"), emlText("x@example.org", "s", QString(), "<p/>",
                                             {{"one\nline.txt", "1"}, {"two.txt", "2"}, {"skip.jpg", "3"}}));
    CliResult r = runCli({"save", dir.filePath("m.eml"), "--to", dir.filePath("a"), "-0", "--exclude", "*.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<QByteArray> paths = r.out.split('\0');
    ASSERT_EQ(paths.size(), 3) << r.out.toStdString();
    EXPECT_TRUE(paths.last().isEmpty());
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(QFileInfo::exists(QString::fromUtf8(paths[i]))) << paths[i].toStdString();

    r = runCli({"save", dir.filePath("m.eml"), "--to", dir.filePath("b"), "-q"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("b")).size(), 3);

    r = runCli({"save", dir.filePath("m.eml"), "--to", dir.filePath("c"), "-v", "--exclude", "*.jpg"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("left out \"skip.jpg\"")) << r.err.toStdString();
}

TEST(MoreSources, MboxMessagesAreFoundAgainByTheirIds) {
    QTemporaryDir dir;
    QByteArray mbox;
    QList<qint64> offsets;
    const QList<QByteArray> bodies = {
        emlText("Ann <ann@example.org>", "first", "Fri, 1 Mar 2024 10:00:00 +0000", "<p>a</p>", {{"one.bin", "ONE"}}),
        emlText("Bob <bob@example.org>", "second", "Sat, 2 Mar 2024 10:00:00 +0000", "<p>b</p>",
                {{"two.bin", QByteArray(70000, 't')}}),
        "From: Cid <cid@example.org>\nSubject: plain\n\nno attachment\n>From here on, a quoted line\n",
    };
    for (const QByteArray &body : bodies) {
        offsets.append(mbox.size());
        mbox += "From someone@example.org Fri Mar  1 10:00:00 2024\n" + body + "\n";
    }
    writeFile(dir.filePath("Saved.mbox"), mbox);
    CliResult r = runCli({"list", "--json", dir.filePath("Saved.mbox")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList want;
    for (qint64 o : offsets)
        want.append(QStringLiteral("Saved.mbox:%1").arg(o));
    want.sort();
    EXPECT_EQ(jsonField(r, "id"), want);
    EXPECT_EQ(jsonField(r, "folder"), QStringList({"Saved", "Saved", "Saved"}));

    r = runCli({"save", dir.filePath("Saved.mbox"), "--to", dir.filePath("out"), "--id",
                QStringLiteral("Saved.mbox:%1").arg(offsets[1])});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out")), QStringList({"two.bin"}));
    EXPECT_EQ(readFile(dir.filePath("out/two.bin")), QByteArray(70000, 't'));

    // Thunderbird's files have no extension; Apple Mail's are "X.mbox/mbox".
    writeFile(dir.filePath("tb/Inbox"), mbox);
    writeFile(dir.filePath("apple/Work.mbox/mbox"), mbox);
    r = runCli({"list", "--json", dir.filePath("tb/Inbox")});
    EXPECT_EQ(r.lines().size(), 3) << r.err.toStdString();
    r = runCli({"list", "--json", "-r", dir.filePath("apple")});
    EXPECT_EQ(r.lines().size(), 3) << r.err.toStdString();
    EXPECT_EQ(jsonField(r, "folder").value(0), "Work");
}

TEST(MoreSources, BareWinmailDatAndStandardInput) {
    QTemporaryDir dir;
    const QByteArray wrapper = tnefbuild::stream(tnefbuild::fileAttachment("budget.xlsx", "XLSX")
                                                 + tnefbuild::fileAttachment("plan.doc", QByteArray(5000, 'd')));
    writeFile(dir.filePath("winmail.dat"), wrapper);
    writeFile(dir.filePath("attachment.bin"), wrapper); // known by its content only
    CliResult r = runCli({"list", "--json", dir.filePath("winmail.dat")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(r.lines().size(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(r.out).object().value("attachments").toInt(), 2);
    r = runCli({"save", dir.filePath("winmail.dat"), "--to", dir.filePath("out")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("out")), QStringList({"budget.xlsx", "plan.doc"}));
    EXPECT_EQ(readFile(dir.filePath("out/plan.doc")), QByteArray(5000, 'd'));
    r = runCli({"save", dir.filePath("attachment.bin"), "--to", dir.filePath("kept"), "--keep-tnef"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dir.filePath("kept")), QStringList({"attachment.bin"}));
    EXPECT_EQ(readFile(dir.filePath("kept/attachment.bin")), wrapper);

    const QByteArray eml = emlText("Ann <ann@example.org>", "piped", "Fri, 1 Mar 2024 10:00:00 +0000", "<p/>",
                                   {{"piped.bin", QByteArray(300000, 'p')}});
    r = runWithInput({"list", "--json", "-"}, eml);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(jsonField(r, "source"), QStringList({"-"}));
    EXPECT_EQ(jsonField(r, "subject"), QStringList({"piped"}));
    r = runWithInput({"save", "-", "--to", dir.filePath("piped")}, eml);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(dir.filePath("piped/piped.bin")), QByteArray(300000, 'p'));
}

TEST(ChoiceUsage, BadValuesAndClashesExit2WithAReason) {
    struct Case {
        QStringList arguments;
        const char *says;
    };
    const QList<Case> cases = {
        {{"list", "x.eml", "--since", "01/03/2024"}, "not an ISO 8601 date"},
        {{"list", "x.eml", "--until"}, "needs a value"},
        {{"save", "x.eml", "--to", "/tmp/x", "--min-size", "lots"}, "not a size"},
        {{"save", "x.eml", "--to", "/tmp/x", "--min-size", "2M", "--max-size", "1M"}, "larger than"},
        {{"list", "x.eml", "--since", "2024-03-02", "--until", "2024-03-01"}, "later than"},
        {{"list", "x.eml", "--name", "*.pdf"}, "for save only"},
        {{"list", "x.eml", "--dedupe"}, "for save only"},
        {{"list", "x.eml", "-0"}, "-0"},
        {{"save", "x.eml", "--to", "/tmp/x", "-0", "--json"}, "-0"},
        {{"save", "x.eml", "--to", "/tmp/x", "-q", "-v"}, "together"},
        {{"save", "x.eml", "--to", "/tmp/x", "--tree=yes"}, "takes no value"},
        {{"save", "-", "--to", "/tmp/x", "--ids-from", "-"}, "standard input"},
        {{"list", "x.eml", "--ids-from", "/nonexistent/ids"}, "--ids-from"},
        {{"list", "x.eml", "--id", ""}, "--id"},
    };
    for (const Case &c : cases) {
        const CliResult r = runCli(c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << c.arguments.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

} // namespace
