// parcelwise-cli as scripts use it: any file name, whole lines from
// processes sharing a pipe, escaped plain output, items the rules pass
// over accounted for, cut attachments reported, dry runs that write
// nothing, nothing visible left after a kill.
#include "cli/clirun.h"
#include "cli/output.h"
#include "core/safefilewriter.h"
#include "platform/tnef/tnefbuilder.h"
#include "pstwriter/pstwriter.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pw::cli::test;

namespace {

void writeBytes(const QByteArray &path, const QByteArray &content) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path.toStdString();
    ASSERT_EQ(::write(fd, content.constData(), static_cast<size_t>(content.size())), content.size());
    ::close(fd);
}

QByteArray readBytes(const QByteArray &path) {
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return QByteArray("<missing>");
    QByteArray out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    ::close(fd);
    return out;
}

// Every entry of a folder, hidden ones too, as bytes.
QList<QByteArray> entriesOf(const QByteArray &folder) {
    QList<QByteArray> out;
    if (DIR *dir = ::opendir(folder.constData())) {
        while (const dirent *e = ::readdir(dir)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                out.append(name);
        }
        ::closedir(dir);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// An .eml message with one attachment; `lf` picks LF line ends.
QByteArray emlWith(const QByteArray &subject, const QByteArray &fileName, const QByteArray &base64, bool lf = false,
                   bool closed = true) {
    QByteArray text = "From: =?utf-8?B?SsO8cmdlbiBNw7xsbGVy?= <jm@example.org>\r\n"
                      "Subject: " + subject + "\r\n"
                      "Date: Tue, 5 Mar 2024 11:00:00 +0200\r\n"
                      "MIME-Version: 1.0\r\n"
                      "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
                      "--XX\r\nContent-Type: text/plain\r\n\r\nbody text\r\n"
                      "--XX\r\nContent-Type: application/octet-stream; name=\"" + fileName + "\"\r\n"
                      "Content-Transfer-Encoding: base64\r\n\r\n" + base64 + "\r\n";
    if (closed)
        text += "--XX--\r\n";
    if (lf)
        text.replace("\r\n", "\n");
    return text;
}

class CliScripts : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QByteArray at(const QByteArray &name) const { return QFile::encodeName(dir.path()) + '/' + name; }
    QTemporaryDir dir;
};

TEST_F(CliScripts, HeadersOfLfOnlyAndEncodedWordMessagesAreRead) {
    // Folded subject with an encoded word, LF line ends, an obsolete date
    // form (two-digit year, zone name) and one without any date.
    writeBytes(at("lf.eml"), emlWith("=?iso-8859-1?Q?Gr=FC=DFe?=\n and more", "a.bin", "YWJj", true));
    writeBytes(at("old.eml"), QByteArray("From: Old <old@example.org>\nSubject: old\nDate: 11 Apr 96 01:10:30 EST\n\nx\n"));
    writeBytes(at("nodate.eml"), QByteArray("From: bare@example.org\r\nSubject: none\r\n\r\nx\r\n"));
    const CliResult r = runCliBytes({"list", "--json", at("lf.eml"), at("old.eml"), at("nodate.eml")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.lines();
    ASSERT_EQ(lines.size(), 3);
    const QJsonObject lf = QJsonDocument::fromJson(lines.at(0).toUtf8()).object();
    EXPECT_EQ(lf.value("subject").toString(), QString::fromUtf8("Grüße and more"));
    EXPECT_EQ(lf.value("sender").toString(), QString::fromUtf8("Jürgen Müller"));
    EXPECT_EQ(lf.value("date").toString(), "2024-03-05T09:00:00Z");
    EXPECT_EQ(lf.value("attachments").toInt(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(lines.at(1).toUtf8()).object().value("date").toString(), "1996-04-11T06:10:30Z");
    const QJsonObject bare = QJsonDocument::fromJson(lines.at(2).toUtf8()).object();
    EXPECT_EQ(bare.value("date").toString(), "");
    EXPECT_EQ(bare.value("sender").toString(), "bare@example.org");

    // --search sees the decoded sender and the date as printed, in any
    // locale.
    QProcessEnvironment turkish = cliEnvironment();
    turkish.insert("LC_ALL", "tr_TR.UTF-8");
    EXPECT_EQ(runCliBytes({"list", at("lf.eml"), at("old.eml"), "--search", "MÜLLER"}, turkish).lines().size(), 1);
    EXPECT_EQ(runCliBytes({"list", at("lf.eml"), at("old.eml"), "--search", "1996-04-11T06"}).lines().size(), 1);
}

TEST_F(CliScripts, FileNamesThatAreNotUtf8WorkInEveryPosition) {
    const QByteArray folder = at("mail\xff");
    ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
    ASSERT_EQ(::mkdir((folder + "/sub\xfe").constData(), 0755), 0);
    const QByteArray source = folder + "/sub\xfe/msg\xe9.eml";
    writeBytes(source, emlWith("hello", "report.pdf", "JVBERi0="));

    // The file named directly, and found inside a folder when recursing.
    for (const QList<QByteArray> &args : {QList<QByteArray>{"list", source}, QList<QByteArray>{"list", "-r", folder}}) {
        const CliResult r = runCliBytes(args);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith(source + '\t')) << r.out.toStdString();
    }
    // A folder source without -r says nothing is there, rather than
    // skipping without a word.
    EXPECT_EQ(runCliBytes({"list", folder}).exitCode, 2);

    // JSON: text with U+FFFD plus the exact bytes.
    const CliResult json = runCliBytes({"list", "--json", source});
    const QJsonObject o = QJsonDocument::fromJson(json.out).object();
    EXPECT_TRUE(o.value("source").toString().contains(QChar::ReplacementCharacter));
    EXPECT_EQ(QByteArray::fromBase64(o.value("source_bytes").toString().toLatin1()), source);

    // --to: the folder of that very name is made and written into.
    const QByteArray target = at("out\xfd");
    const CliResult saved = runCliBytes({"save", source, "--to", target});
    ASSERT_EQ(saved.exitCode, 0) << saved.err.toStdString();
    EXPECT_EQ(saved.out, target + "/report.pdf\n");
    EXPECT_EQ(readBytes(target + "/report.pdf"), QByteArray("%PDF-"));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QString::fromUtf8("out\xef\xbf\xbd"))));
    const CliResult savedJson = runCliBytes({"save", "--json", source, "--to", target});
    const QJsonObject s = QJsonDocument::fromJson(savedJson.out).object();
    EXPECT_EQ(QByteArray::fromBase64(s.value("path_bytes").toString().toLatin1()), target + "/report_1.pdf");
    // A name that is UTF-8 gets no second field.
    const CliResult plain = runCliBytes({"save", "--json", source, "--to", at("plain")});
    EXPECT_FALSE(QJsonDocument::fromJson(plain.out).object().contains("path_bytes"));
}

TEST_F(CliScripts, TwoProcessesSharingAPipeNeverBreakALine) {
    // Long lines: before, output went out in 4 KiB pieces that interleaved.
    const QByteArray folder = at("many");
    ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
    for (int i = 0; i < 150; ++i)
        writeBytes(folder + "/m" + QByteArray::number(i) + ".eml",
                   emlWith("subject " + QByteArray::number(i) + ' ' + QByteArray(900 + i * 7, 'x'), "a.txt", "YWJj"));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const qint64 first = startCliBytes({"list", "--json", folder}, cliEnvironment(), fds[1], -1);
    const qint64 second = startCliBytes({"list", "--json", folder}, cliEnvironment(), fds[1], -1);
    ::close(fds[1]);
    QByteArray all;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        all.append(buffer, n);
    ::close(fds[0]);
    EXPECT_EQ(waitCli(first), 0);
    EXPECT_EQ(waitCli(second), 0);
    const QList<QByteArray> lines = all.split('\n');
    ASSERT_EQ(lines.size(), 301); // and an empty piece after the last line end
    int broken = 0;
    for (const QByteArray &line : lines.mid(0, 300)) {
        QJsonParseError error{};
        QJsonDocument::fromJson(line, &error);
        broken += error.error != QJsonParseError::NoError;
    }
    EXPECT_EQ(broken, 0);
}

TEST_F(CliScripts, PlainOutputEscapesControlsAndFolderTakesWhatListPrints) {
    const QByteArray pst = at("ctl.pst");
    {
        pstwriter::Store store("Ctl");
        pstwriter::Folder &odd = store.root().addFolder("Tab\there");
        pstwriter::Folder &sub = odd.addFolder("Sub");
        pstwriter::Message m;
        m.subject = "evil \x1b]0;title\x07 line\nbreak \\ back \xc2\x9b";
        m.senderName = "S";
        m.attachments.push_back(pstwriter::Attachment::file("a.txt", pstwriter::Content::bytes("abc")));
        sub.addMessage(std::move(m));
        store.write(pst.toStdString());
    }
    const CliResult r = runCliBytes({"list", pst});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(r.lines().size(), 1);
    EXPECT_FALSE(r.out.contains('\x1b'));
    EXPECT_FALSE(r.out.contains('\x07'));
    EXPECT_FALSE(r.out.contains("\xc2\x9b"));
    const QList<QByteArray> fields = r.out.trimmed().split('\t');
    ASSERT_EQ(fields.size(), 7);
    EXPECT_EQ(fields.at(1), "Tab\\there/Sub");
    EXPECT_EQ(fields.at(4), "evil \\x1b]0;title\\x07 line\\nbreak \\\\ back \\x9b");

    // JSON keeps the text as it is, and the folder path as an array.
    const QJsonObject o = QJsonDocument::fromJson(runCliBytes({"list", "--json", pst}).out).object();
    EXPECT_EQ(o.value("folder").toArray(), QJsonArray({"Tab\there", "Sub"}));
    EXPECT_EQ(o.value("subject").toString(), QString::fromUtf8("evil \x1b]0;title\x07 line\nbreak \\ back \xc2\x9b"));

    // The folder column, copied as printed, selects the message; so do the
    // top-level folder's printed name and the holding folder's.
    for (const QByteArray &name : {fields.at(1), QByteArray("Tab\\there"), QByteArray("Sub")})
        EXPECT_EQ(runCliBytes({"list", pst, "--folder", name}).lines().size(), 1) << name.toStdString();
    EXPECT_EQ(runCliBytes({"list", pst, "--folder", "Tab"}).lines().size(), 0);

    // The escapes undo exactly.
    for (const QString &text : {QString::fromUtf8("a\tb\nc\\d\x1b\x7f\xc2\x85 é"), QStringLiteral("\\x4"), QStringLiteral("x\\")})
        EXPECT_EQ(pw::cli::unescapeText(QString::fromUtf8(pw::cli::escapeText(text))), text) << text.toStdString();
}

TEST_F(CliScripts, ItemsTheRulesPassOverAreCountedAndAllItemsTakesThem) {
    const QByteArray pst = at("gaps.pst");
    {
        pstwriter::Store store("Gaps");
        pstwriter::Folder &inbox = store.root().addFolder("Inbox");
        pstwriter::Folder &calendar = store.root().addFolder("Calendar");
        const auto with = [](const char *cls, const char *name) {
            pstwriter::Message m;
            m.messageClass = std::string(cls);
            m.subject = std::string(name);
            m.attachments.push_back(pstwriter::Attachment::file(std::string(name) + ".txt", pstwriter::Content::bytes(name)));
            return m;
        };
        pstwriter::Message mail = with("IPM.Note", "mail");
        mail.deliveryTime = pstwriter::utc(2024, 3, 1, 9, 30);
        inbox.addMessage(std::move(mail));
        calendar.addMessage(with("IPM.Appointment", "meeting"));
        inbox.addMessage(with("REPORT.IPM.Note.NDR", "report"));
        store.root().addMessage(with("IPM.Note", "loose"));
        // Without attachments: nothing to save, so not counted.
        pstwriter::Message bare;
        bare.messageClass = std::string("IPM.Contact");
        bare.subject = std::string("contact");
        calendar.addMessage(std::move(bare));
        store.write(pst.toStdString());
    }
    const CliResult listed = runCliBytes({"list", pst});
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.lines().size(), 1);
    EXPECT_TRUE(listed.err.contains("3 items with attachments not listed: 1 in a store's top folder, 2 not mail; "
                                    "--all-items includes them"))
        << listed.err.toStdString();

    // Every item, the contact without attachments too.
    const CliResult all = runCliBytes({"list", "--all-items", pst});
    EXPECT_EQ(all.lines().size(), 5) << all.out.toStdString();
    EXPECT_FALSE(all.err.contains("not listed"));
    // --search sees the date as list prints it.
    EXPECT_TRUE(listed.out.contains("\t2024-03-01T09:30:00Z\t")) << listed.out.toStdString();
    EXPECT_EQ(runCliBytes({"list", pst, "--search", "2024-03-01T09:30"}).lines().size(), 1);
    // A filter narrows what is counted too.
    EXPECT_FALSE(runCliBytes({"list", pst, "--folder", "Inbox"}).err.contains("2 not mail"));

    const QByteArray out = at("out");
    const CliResult saved = runCliBytes({"save", "--all-items", pst, "--to", out});
    ASSERT_EQ(saved.exitCode, 0) << saved.err.toStdString();
    EXPECT_EQ(entriesOf(out), (QList<QByteArray>{"loose.txt", "mail.txt", "meeting.txt", "report.txt"}));
}

TEST_F(CliScripts, AMessageCutShortKeepsWhatItHasAndFails) {
    // 12 bytes of base64 then the file ends, closing boundary missing; and
    // one whose base64 stops mid-quantum although the boundary closes.
    writeBytes(at("cut.eml"), emlWith("cut", "a.pdf", "QUJDREVGR0hJ\r\nSktM", false, false));
    writeBytes(at("quantum.eml"), emlWith("quantum", "b.pdf", "QUJDREVGR0hJSk", false, true));
    writeBytes(at("whole.eml"), emlWith("whole", "c.pdf", "QUJD", false, true));
    for (const char *name : {"cut.eml", "quantum.eml"}) {
        const QByteArray out = at(QByteArray("out-") + name);
        const CliResult r = runCliBytes({"save", at(name), "--to", out});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_TRUE(r.err.contains("incomplete")) << r.err.toStdString();
        const QList<QByteArray> files = entriesOf(out);
        ASSERT_EQ(files.size(), 1) << name;
        EXPECT_TRUE(readBytes(out + '/' + files.first()).startsWith("ABCDEFGHI")) << name;
    }
    EXPECT_EQ(runCliBytes({"save", at("whole.eml"), "--to", at("out-whole")}).exitCode, 0);
    EXPECT_EQ(readBytes(at("out-whole") + "/c.pdf"), QByteArray("ABC"));
}

TEST_F(CliScripts, DryRunWritesNothingAndNamesWhatWouldBeWritten) {
    writeBytes(at("m.eml"), emlWith("x", "r.pdf", "QUJD"));
    writeBytes(at("n.eml"), emlWith("y", "r.pdf", "REVG"));
    const QByteArray target = at("never/made");
    const CliResult r = runCliBytes({"save", "--dry-run", at("m.eml"), at("n.eml"), "--to", target});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, target + "/r.pdf\n" + target + "/r_1.pdf\n");
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("never")));
    EXPECT_TRUE(r.err.contains("would save 2 files from 2 messages")) << r.err.toStdString();
    // The real run writes the names the dry run showed.
    const CliResult real = runCliBytes({"save", at("m.eml"), at("n.eml"), "--to", target});
    EXPECT_EQ(real.out, r.out);
    EXPECT_TRUE(real.err.contains("Saved 2 attachments (6 bytes)")) << real.err.toStdString();

    // A winmail.dat shows the files inside it, as the real run writes them;
    // the look inside leaves nothing in the temporary folder.
    using namespace tnefbuild;
    const QByteArray tnef = stream(fileAttachment("plan.txt", "the plan") + fileAttachment("r.pdf", "pdf"));
    writeBytes(at("w.eml"), emlWith("w", "winmail.dat", tnef.toBase64()));
    const QByteArray tmp = at("tmp");
    ASSERT_EQ(::mkdir(tmp.constData(), 0755), 0);
    QProcessEnvironment env = cliEnvironment();
    env.insert("TMPDIR", QString::fromUtf8(tmp));
    const CliResult planned = runCliBytes({"save", "-n", at("w.eml"), "--to", target}, env);
    ASSERT_EQ(planned.exitCode, 0) << planned.err.toStdString();
    EXPECT_EQ(planned.out, target + "/plan.txt\n" + target + "/r_1_2.pdf\n");
    EXPECT_TRUE(entriesOf(tmp).isEmpty());
    EXPECT_EQ(runCliBytes({"save", at("w.eml"), "--to", target}, env).out, planned.out);
}

TEST_F(CliScripts, NumberingIsAsTheHelpTellsAndKeptWrappersAreNotFailures) {
    // Three attachments of one name: the help's own example.
    const QByteArray pdf = "--XX\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
                           "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n";
    writeBytes(at("three.eml"), "Subject: three\r\nMIME-Version: 1.0\r\n"
                                "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n" + pdf + pdf + pdf + "--XX--\r\n");
    const CliResult help = runCliBytes({"--help"});
    EXPECT_TRUE(help.out.simplified().contains("(report.pdf, report_1.pdf, report_1_2.pdf, ...)")) << help.out.toStdString();
    const QByteArray out = at("out");
    const CliResult r = runCliBytes({"save", at("three.eml"), "--to", out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(entriesOf(out), (QList<QByteArray>{"report.pdf", "report_1.pdf", "report_1_2.pdf"}));

    // A winmail.dat that starts like one but cannot be read is kept as it
    // is: saved, named, and not a failure.
    writeBytes(at("tnef.eml"), emlWith("w", "winmail.dat", QByteArray("\x78\x9f\x3e\x22\x01\x00garbage").toBase64()));
    const CliResult kept = runCliBytes({"save", at("tnef.eml"), "--to", at("kept")});
    EXPECT_EQ(kept.exitCode, 0) << kept.err.toStdString();
    EXPECT_EQ(kept.out, at("kept") + "/winmail.dat\n");
    EXPECT_TRUE(kept.err.contains("1 winmail.dat wrapper kept as it is")) << kept.err.toStdString();
    EXPECT_FALSE(kept.err.contains("could not be saved")) << kept.err.toStdString();
}

TEST_F(CliScripts, StaleHiddenFilesAreToldFromLiveOnes) {
    // A writer that is gone (no such process, or another boot) and this
    // very process, which is alive.
    ASSERT_EQ(::mkdir(at("t").constData(), 0755), 0);
    const QByteArray dead = ".parcelwise-" + QByteArray("0") + "-999999999-1-abc.part";
    QFile self(QStringLiteral("/proc/self/stat"));
    ASSERT_TRUE(self.open(QIODevice::ReadOnly));
    const QByteArray stat = self.readAll();
    const QByteArray start = stat.mid(stat.lastIndexOf(')') + 2).split(' ').at(19);
    QFile boot(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    ASSERT_TRUE(boot.open(QIODevice::ReadOnly));
    const QByteArray bootTag = boot.readAll().left(8);
    const QByteArray live = ".parcelwise-" + bootTag + '-' + QByteArray::number(::getpid()) + '-' + start + "-x.part";
    const QByteArray otherBoot = ".parcelwise-ffffffff-" + QByteArray::number(::getpid()) + '-' + start + "-y.part";
    for (const QByteArray &name : {dead, live, otherBoot, QByteArray(".parcelwise-foreign.part"), QByteArray("keep.txt")})
        writeBytes(at("t/") + name, "x");
    EXPECT_EQ(pw::SafeFileWriter::removeStaleParts(dir.filePath("t")), bootTag == "ffffffff" ? 1 : 2);
    EXPECT_TRUE(entriesOf(at("t")).contains(live));
    EXPECT_FALSE(entriesOf(at("t")).contains(dead));
    EXPECT_TRUE(entriesOf(at("t")).contains(".parcelwise-foreign.part"));
    EXPECT_TRUE(entriesOf(at("t")).contains("keep.txt"));
}

// On a target without unnamed files, links or no-replace renames, a kill in
// the middle of a large attachment leaves at most a hidden file, never one
// under the final name, and the next run into the folder removes it.
TEST_F(CliScripts, AKillMidSaveWithoutLinksLeavesNothingVisible) {
    const QByteArray pst = at("large.pst");
    {
        pstwriter::Store store("Large");
        pstwriter::Folder &inbox = store.root().addFolder("Inbox");
        pstwriter::Message big;
        big.subject = "Video";
        big.attachments.push_back(pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(200LL << 20, 7)));
        inbox.addMessage(std::move(big));
        store.write(pst.toStdString());
    }
    const QByteArray out = at("out");
    ASSERT_EQ(::mkdir(out.constData(), 0755), 0);
    QProcessEnvironment env = cliEnvironment();
    env.insert("LD_PRELOAD", PW_NOLINKS_SHIM);
    env.insert("PW_SHIM_REFUSE", "tmpfile,link,renameat2");
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
    const qint64 pid = startCliBytes({"save", pst, "--to", out}, env, -1, -1);
    bool writing = false;
    for (int i = 0; i < 6000 && !writing; ++i) {
        for (const QByteArray &name : entriesOf(out)) {
            struct stat st {};
            if (name.endsWith(".part") && ::stat((out + '/' + name).constData(), &st) == 0 && st.st_size > 0)
                writing = true;
        }
        if (!writing)
            QThread::msleep(5);
    }
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_EQ(waitCli(pid), -1);
    ASSERT_TRUE(writing) << "the attachment was never seen being written";
    const QList<QByteArray> left = entriesOf(out);
    ASSERT_EQ(left.size(), 1);
    EXPECT_TRUE(left.first().startsWith(".parcelwise-")) << left.first().toStdString();

    // The next run into the folder removes it (its writer is gone).
    writeBytes(at("n.eml"), emlWith("n", "n.txt", "YWJj"));
    EXPECT_EQ(runCliBytes({"save", at("n.eml"), "--to", out}, env).exitCode, 0);
    EXPECT_EQ(entriesOf(out), QList<QByteArray>{"n.txt"});
}

// An attached message is put together through spooled attachment data; a
// kill while that happens leaves nothing in the temporary folder.
TEST_F(CliScripts, AKillWhileAnAttachedMessageIsBuiltLeavesNoSpool) {
    const QByteArray pst = at("nested.pst");
    {
        pstwriter::Store store("Nested");
        pstwriter::Folder &inbox = store.root().addFolder("Inbox");
        pstwriter::Message inner;
        inner.subject = "Inner";
        inner.attachments.push_back(pstwriter::Attachment::file("big.bin", pstwriter::Content::generated(300LL << 20, 3)));
        pstwriter::Message outer;
        outer.subject = "Outer";
        outer.attachments.push_back(pstwriter::Attachment::embedded(std::move(inner), "Inner"));
        inbox.addMessage(std::move(outer));
        store.write(pst.toStdString());
    }
    const QByteArray tmp = at("tmp");
    ASSERT_EQ(::mkdir(tmp.constData(), 0755), 0);
    QProcessEnvironment env = cliEnvironment();
    env.insert("TMPDIR", QString::fromUtf8(tmp));
    const qint64 pid = startCliBytes({"save", pst, "--to", at("out")}, env, -1, -1);
    // Caught while it writes the message out, its spooled data open.
    bool spooling = false;
    for (int i = 0; i < 6000 && !spooling; ++i) {
        const QByteArray fds = "/proc/" + QByteArray::number(pid) + "/fd";
        bool inTmp = false;
        bool inOut = false;
        for (const QByteArray &fd : entriesOf(fds)) {
            char target[4096];
            const ssize_t n = ::readlink((fds + '/' + fd).constData(), target, sizeof target);
            inTmp = inTmp || (n > 0 && QByteArray(target, n).startsWith(tmp + '/'));
            inOut = inOut || (n > 0 && QByteArray(target, n).startsWith(at("out") + '/'));
        }
        spooling = inTmp && inOut;
        if (!spooling)
            QThread::msleep(2);
    }
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    waitCli(pid);
    if (!spooling)
        GTEST_SKIP() << "the attached message was built too fast to be caught";
    EXPECT_TRUE(entriesOf(tmp).isEmpty()) << entriesOf(tmp).join(' ').toStdString();
}

} // namespace
