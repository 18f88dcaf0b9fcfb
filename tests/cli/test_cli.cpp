// parcelwise-cli end to end: listing against the corpus manifests, saving
// byte for byte, exit statuses.
#include "cli/clirun.h"
#include "platform/pst/corpus.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using namespace pw::cli::test;
namespace corpus = pw::pst::test;

namespace {

bool isMail(const QString &messageClass) {
    return messageClass.isEmpty() || messageClass.compare("IPM.Note", Qt::CaseInsensitive) == 0
           || messageClass.startsWith("IPM.Note.", Qt::CaseInsensitive);
}

// Walks the manifest's folders as the main window lists them: children
// before their parent's messages, the top of the store left out.
void forEachListed(const QJsonObject &m, const std::function<void(const QStringList &, const QJsonObject &)> &visit) {
    QList<QPair<QStringList, QJsonObject>> folders;
    for (const QJsonValue &v : m.value("folders").toArray()) {
        QStringList path;
        for (const QJsonValue &p : v.toObject().value("path").toArray())
            path.append(p.toString());
        folders.append({path, v.toObject()});
    }
    std::function<void(const QStringList &)> walk = [&](const QStringList &path) {
        for (const auto &f : folders)
            if (f.first.size() == path.size() + 1 && f.first.mid(0, path.size()) == path)
                walk(f.first);
        if (path.isEmpty())
            return;
        if (path.first() == "Internet Newsgroups" || path.first() == "All Public Folders")
            return;
        for (const auto &f : folders) {
            if (f.first != path)
                continue;
            for (const QJsonValue &mv : f.second.value("messages").toArray())
                if (isMail(mv.toObject().value("message_class").toString()))
                    visit(path, mv.toObject());
        }
    };
    walk({});
}

// The tab-separated line `list` must print for a manifest message, dates
// left out where the store has no delivery time (another date stands in).
QString expectedLine(const QString &source, const QStringList &path, const QJsonObject &msg) {
    return QStringList{source, path.join('/'), msg.value("delivery_time_utc").toString().replace("Z", "Z"),
                       msg.value("sender_name").toString(), msg.value("subject").toString(),
                       QString::number(msg.value("attachment_count").toInt()), msg.value("entry_id").toString()}
        .join('\t');
}

TEST(CliList, StoresAgreeWithManifests) {
    PW_REQUIRE_CORPUS();
    int compared = 0;
    for (const QString &sample : corpus::pstSamples()) {
        const QString path = corpus::corpusDir() + "/" + sample;
        const QJsonObject m = corpus::manifest(sample);
        QStringList expected;
        QList<bool> hasDate;
        forEachListed(m, [&](const QStringList &folder, const QJsonObject &msg) {
            expected.append(expectedLine(path, folder, msg));
            hasDate.append(!msg.value("delivery_time_utc").isNull());
        });
        const CliResult r = runCli({"list", path});
        ASSERT_EQ(r.exitCode, 0) << sample.toStdString() << r.err.toStdString();
        QStringList got = r.lines();
        ASSERT_EQ(got.size(), expected.size()) << sample.toStdString();
        for (qsizetype i = 0; i < got.size(); ++i) {
            QStringList fields = got[i].split('\t');
            QStringList want = expected[i].split('\t');
            ASSERT_EQ(fields.size(), 7) << got[i].toStdString();
            // Subjects and senders stand on one line: line breaks become spaces.
            want[3].replace('\n', ' ').replace('\r', ' ').replace('\t', ' ');
            want[4].replace('\n', ' ').replace('\r', ' ').replace('\t', ' ');
            if (!hasDate[i])
                fields[2] = want[2];
            EXPECT_EQ(fields, want) << sample.toStdString();
            ++compared;
        }
    }
    EXPECT_GT(compared, 400);
}

TEST(CliList, OstAgreesWithManifest) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString ost = corpus::unpackOst(dir);
    if (ost.isEmpty())
        GTEST_SKIP() << "xz could not unpack the .ost";
    const QJsonObject m = corpus::manifest("ost/pstextractortestpdf_outlook.com.ost.xz");
    QStringList ids;
    forEachListed(m, [&](const QStringList &, const QJsonObject &msg) { ids.append(msg.value("entry_id").toString()); });
    const CliResult r = runCli({"list", "--json", ost});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList got;
    for (const QString &line : r.lines())
        got.append(QJsonDocument::fromJson(line.toUtf8()).object().value("id").toString());
    EXPECT_EQ(got, ids);
}

TEST(CliList, EmlHeadersAndCountsAgreeWithManifests) {
    PW_REQUIRE_CORPUS();
    const QDir emlDir(corpus::corpusDir() + "/eml");
    int compared = 0;
    int dated = 0;
    const CliResult r = runCli({"list", "--json", emlDir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.lines();
    ASSERT_EQ(lines.size(), emlDir.entryList({"*.eml"}, QDir::Files).size());
    for (const QString &line : lines) {
        const QJsonObject got = QJsonDocument::fromJson(line.toUtf8()).object();
        const QString name = QFileInfo(got.value("source").toString()).fileName();
        const QJsonObject m = corpus::manifest("eml/" + name);
        ASSERT_FALSE(m.isEmpty()) << name.toStdString();
        EXPECT_EQ(got.value("id").toString(), name);
        EXPECT_EQ(got.value("folder").toArray(), QJsonArray());
        // Where another careful reader may see the file differently, the
        // count is not compared.
        if (m.value("investigate").toArray().isEmpty()) {
            EXPECT_EQ(got.value("attachments").toInt(), m.value("attachment_count").toInt()) << name.toStdString();
        }
        // The subject line as the file has it, unfolded (one character per
        // byte; UTF-8 where valid), whatever its line ends.
        QFile file(emlDir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString rawSubject;
        bool inSubject = false;
        for (QByteArray line : file.readAll().split('\n')) {
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.isEmpty())
                break;
            const bool continued = line.startsWith(' ') || line.startsWith('\t');
            if (inSubject && continued) {
                rawSubject += QString::fromUtf8(line);
                continue;
            }
            inSubject = line.toLower().startsWith("subject:");
            if (inSubject)
                rawSubject = QString::fromUtf8(line.mid(8));
        }
        const QString subject = got.value("subject").toString();
        if (rawSubject.contains("=?") && rawSubject.contains("?=")) {
            // Encoded words come out decoded.
            EXPECT_FALSE(subject.contains("=?")) << name.toStdString() << ": " << subject.toStdString();
            EXPECT_FALSE(subject.isEmpty()) << name.toStdString();
        } else if (!rawSubject.contains(QChar::ReplacementCharacter)) {
            EXPECT_EQ(subject.simplified(), rawSubject.simplified()) << name.toStdString();
        }
        // Dates are UTC, or absent.
        const QString date = got.value("date").toString();
        EXPECT_TRUE(date.isEmpty() || (date.endsWith('Z') && QDateTime::fromString(date, Qt::ISODate).isValid()))
            << name.toStdString() << ": " << date.toStdString();
        if (!date.isEmpty())
            ++dated;
        ++compared;
    }
    EXPECT_EQ(compared, 43);
    // Every file with a Date line has its date, LF-only ones too.
    EXPECT_EQ(dated, 31);
}

TEST(CliSave, StoreAttachmentsByteForByte) {
    PW_REQUIRE_CORPUS();
    for (const QString sample : {"pst/2003_no-encryption_quickquick.pst", "pst/outlook.pst",
                                 "pst/2003_high-encryption_quickquick.pst", "pst/user1@test.lab.pst"}) {
        const QJsonObject m = corpus::manifest(sample);
        QStringList expected;
        int items = 0;
        forEachListed(m, [&](const QStringList &, const QJsonObject &msg) {
            for (const QJsonValue &a : msg.value("attachments").toArray()) {
                if (a.toObject().value("type").toString() == "data")
                    expected.append(a.toObject().value("sha256").toString());
                else
                    ++items;
            }
        });
        expected.sort();
        QTemporaryDir out;
        const CliResult r = runCli({"save", corpus::corpusDir() + "/" + sample, "--to", out.path()});
        ASSERT_EQ(r.exitCode, 0) << sample.toStdString() << r.err.toStdString();
        // Attached items are saved as .eml messages, written by us: counted, not hashed.
        QStringList got;
        int emls = 0;
        for (const QFileInfo &f : QDir(out.path()).entryInfoList(QDir::Files | QDir::Hidden)) {
            if (f.suffix() == "eml" && items > 0)
                ++emls;
            else
                got.append(fileDigest(f.filePath()));
        }
        got.sort();
        EXPECT_EQ(got, expected) << sample.toStdString();
        EXPECT_EQ(emls, items) << sample.toStdString();
        EXPECT_EQ(r.lines().size(), expected.size() + items);
    }
}

TEST(CliSave, EmlDuplicateNamesAreNumberedNeverOverwritten) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir out;
    QFile existing(out.filePath("one.gif"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("mine");
    existing.close();
    const QString eml = corpus::corpusDir() + "/eml/dup-names.eml";
    const CliResult r = runCli({"save", eml, "--to", out.path(), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList names;
    for (const QString &line : r.lines()) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        names.append(QFileInfo(o.value("path").toString()).fileName());
        EXPECT_EQ(o.value("size").toInt(), QFileInfo(o.value("path").toString()).size());
        EXPECT_EQ(o.value("id").toString(), "dup-names.eml");
    }
    EXPECT_EQ(names, QStringList({"one_1.gif", "one_1_2.gif", "two.nice.gif", "two.nice_1.gif", "two.nice_1_2.gif"}));
    QFile again(out.filePath("one.gif"));
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), QByteArray("mine"));
    QStringList want;
    for (const QJsonValue &a : corpus::manifest("eml/dup-names.eml").value("attachments").toArray())
        want.append(a.toObject().value("sha256").toString());
    want.append(fileDigest(out.filePath("one.gif")));
    want.sort();
    EXPECT_EQ(folderDigests(out.path()), want);
}

TEST(CliSave, DryRunWritesNothingAndNamesWhatWouldBeWritten) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir out;
    const QString eml = corpus::corpusDir() + "/eml/dup-names.eml";
    const CliResult dry = runCli({"save", eml, "--to", out.path(), "--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.err.toStdString();
    EXPECT_TRUE(QDir(out.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    const CliResult real = runCli({"save", eml, "--to", out.path()});
    EXPECT_EQ(dry.lines(), real.lines());
}

TEST(CliExit, MissingDamagedAndPartlyUsableSources) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("absent.pst");
    CliResult r = runCli({"list", missing});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.startsWith("parcelwise-cli: " + missing.toUtf8() + ": ")) << r.err.toStdString();
    EXPECT_EQ(r.err.count('\n'), 1);

    QFile damaged(dir.filePath("damaged.pst"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray("!BDN") + QByteArray(4000, '\x5a'));
    damaged.close();
    r = runCli({"save", damaged.fileName(), "--to", dir.filePath("out")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains(damaged.fileName().toUtf8())) << r.err.toStdString();

    QFile notDbx(dir.filePath("folders.dbx"));
    ASSERT_TRUE(notDbx.open(QIODevice::WriteOnly));
    notDbx.write(QByteArray(64, '\0'));
    notDbx.close();
    r = runCli({"list", notDbx.fileName()});
    EXPECT_EQ(r.exitCode, 2);

    if (!corpus::pstSamples().isEmpty()) {
        // One good source among bad ones: its messages, and status 1.
        r = runCli({"list", corpus::corpusDir() + "/pst/sample1.pst", missing});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.lines().size(), 1);
    }
}

TEST(CliExit, UsageErrorsHelpAndVersion) {
    EXPECT_EQ(runCli({}).exitCode, 2);
    EXPECT_EQ(runCli({"frob"}).exitCode, 2);
    EXPECT_EQ(runCli({"save", "x.eml"}).exitCode, 2);            // no --to
    EXPECT_EQ(runCli({"list", "--to", "/tmp"}).exitCode, 2);     // --to is for save
    EXPECT_EQ(runCli({"list", "--search"}).exitCode, 2);         // value missing
    EXPECT_EQ(runCli({"list", "--json=yes"}).exitCode, 2);
    const CliResult help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: parcelwise-cli "));
    const CliResult version = runCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("parcelwise-cli (Parcelwise) "));
    // No source and an empty profile: nothing usable.
    const CliResult none = runCli({"list"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.contains("profile"));
}

TEST(CliExit, UnwritableTargetFolder) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString eml = corpus::corpusDir() + "/eml/attachment_pdf.eml";
    // Below a plain file no folder can be made, whoever runs the test.
    QFile file(dir.filePath("plain"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    CliResult r = runCli({"save", eml, "--to", dir.filePath("plain/sub")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("plain/sub")) << r.err.toStdString();
    if (::geteuid() != 0) {
        const QString locked = dir.filePath("locked");
        ASSERT_TRUE(QDir().mkdir(locked));
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        r = runCli({"save", eml, "--to", locked});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(QDir(locked).isEmpty());
    }
    // A missing folder is made.
    r = runCli({"save", eml, "--to", dir.filePath("new/deeper")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QDir(dir.filePath("new/deeper")).entryList(QDir::Files).size(), 1);
}

TEST(CliExit, FullDiskNamesEachFailureAndLeavesNothingPartial) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir out;
    QProcessEnvironment env = cliEnvironment();
    env.insert("LD_PRELOAD", PW_FULLDISK_SHIM);
    env.insert("PW_SHIM_FULL_AFTER", "600"); // room for one of the small gifs only
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
    const CliResult r = runCli({"save", corpus::corpusDir() + "/eml/dup-names.eml", "--to", out.path()}, env);
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    const QList<QByteArray> errors = r.err.trimmed().split('\n');
    // Four attachments failed, each on a line of its own, then the summary.
    int failed = 0;
    for (const QByteArray &e : errors)
        failed += e.contains("No space left on device") ? 1 : 0;
    EXPECT_EQ(failed, 4) << r.err.toStdString();
    // What was saved is whole; nothing else is in the folder.
    const QStringList files = QDir(out.path()).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_EQ(fileDigest(out.filePath(files.first())), "de136334ea0d8b5652b8bc54c20377606ba54c1ebc550f5cbb478b3f68712b50");
}

} // namespace
