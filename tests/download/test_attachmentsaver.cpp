// The attachment saver shared by both windows and the command line, on
// winmail.dat wrappers made here: what stays in the folder for each kind of
// wrapper, damaged ones included, on both ways a wrapper reaches it.
#include "download/attachmentsaver.h"
#include "platform/tnef/tnefbuilder.h"

#include "core/safefilewriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;
using namespace tnefbuild;

namespace {

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A writer for `bytes` the way the message readers write an attachment.
AttachmentSaver::WriteTo writerOf(const QByteArray &bytes) {
    return [bytes](const QString &target) {
        SafeFileWriter out(target, QStringLiteral("the attachment"));
        out.write(bytes.constData(), bytes.size());
        out.commit();
    };
}

AttachmentSaver::WriteContent contentOf(const QByteArray &bytes) {
    return [bytes](const tnef::Sink &sink) { sink(bytes.constData(), bytes.size()); };
}

struct Outcome {
    QStringList entries;
    QString error; // empty when the save reported nothing
    int reported = -1; // files the save told of, by answer or by PartlySaved
};

// Saves `bytes` as winmail.dat into a new folder, the wrapper handed over by
// path (`unnamed` false) or as content.
Outcome saveWrapper(const QByteArray &bytes, bool unnamed, QTemporaryDir &dir) {
    AttachmentSaver saver(dir.path());
    Outcome o;
    try {
        if (unnamed) {
            const QString target = saver.pickName(dir.path(), QStringLiteral("winmail.dat"), QString());
            o.reported = int(saver.saveAt(dir.path(), target, QStringLiteral("winmail.dat"), QString(), writerOf("unused"),
                                          contentOf(bytes))
                                 .size());
        } else {
            o.reported = int(saver.save(QStringLiteral("winmail.dat"), QString(), writerOf(bytes)).size());
        }
    } catch (const PartlySaved &e) {
        o.error = e.text();
        o.reported = int(e.files.size());
    } catch (const Error &e) {
        o.error = e.text();
    }
    o.entries = entries(dir.path());
    return o;
}

} // namespace

TEST(AttachmentSaver, EachKindOfWrapperLeavesWhatItShould) {
    const QByteArray sound = stream(fileAttachment("a.txt", "alpha") + fileAttachment("b.txt", "bravo"));
    struct Case {
        const char *what;
        QByteArray bytes;
        QStringList entries;
        const char *error; // a piece of the report; "" for none
        int reported;
    };
    const Case cases[] = {
        {"sound", sound, {"a.txt", "b.txt"}, "", 2},
        {"stray bytes after the end", sound + "xyz", {"a.txt", "b.txt"}, "", 2},
        {"no TNEF data", "just bytes", {"winmail.dat"}, "", 1},
        {"TNEF with no file", stream(QByteArray()), {"winmail.dat"}, "", 1},
        {"cut in its only file", stream(fileAttachment("a.txt", "alpha")).chopped(5), {"winmail.dat"}, "saved as it is", -1},
        {"cut in its second file", sound.chopped(5), {"a.txt", "winmail.dat"}, "is damaged", 2},
        {"a bad checksum", stream(fileAttachment("a.txt", "alpha") + rendering() + attribute(kAttachment, 0x0006800F, "x", 1)),
         {"a.txt", "attachment", "winmail.dat"}, "checksum", 3},
    };
    for (bool unnamed : {false, true}) {
        for (const Case &c : cases) {
            QTemporaryDir dir;
            ASSERT_TRUE(dir.isValid());
            const Outcome o = saveWrapper(c.bytes, unnamed, dir);
            const std::string what = std::string(c.what) + (unnamed ? " (content)" : " (path)");
            // No hidden leftovers, and the wrapper only where it must stay.
            EXPECT_EQ(o.entries, c.entries) << what;
            if (*c.error) {
                EXPECT_TRUE(o.error.contains(QLatin1String(c.error))) << what << ": " << o.error.toStdString();
            } else {
                EXPECT_TRUE(o.error.isEmpty()) << what << ": " << o.error.toStdString();
            }
            EXPECT_EQ(o.reported, c.reported) << what;
            if (c.entries.contains(QStringLiteral("winmail.dat"))) {
                EXPECT_EQ(readAll(dir.filePath(QStringLiteral("winmail.dat"))), c.bytes) << what;
            }
            if (c.entries.contains(QStringLiteral("a.txt"))) {
                EXPECT_EQ(readAll(dir.filePath(QStringLiteral("a.txt"))), QByteArray("alpha")) << what;
            }
        }
    }
}

TEST(AttachmentSaver, ThousandsOfOneNameInsideAWrapperCostWhatDistinctNamesCost) {
    constexpr int kFiles = 3000;
    const QByteArray wrapper = stream(fileAttachment("image001.jpg", "j").repeated(kFiles));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The same name outside the wrapper first: the run's namer goes on
    // from there.
    AttachmentSaver saver(dir.path());
    qint64 tests = 0;
    saver.setTakenTest([&](const QString &path) {
        ++tests;
        return AttachmentSaver::anythingAt(path);
    });
    saver.save(QStringLiteral("image001.jpg"), QString(), writerOf("outside"));
    const auto saved = saver.save(QStringLiteral("winmail.dat"), QString(), writerOf(wrapper));
    EXPECT_EQ(saved.size(), kFiles);
    EXPECT_EQ(entries(dir.path()).size(), kFiles + 1);
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("image001.jpg"))), QByteArray("outside"));
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("image001_1.jpg"))), QByteArray("j"));
    // A namer of its own per file would test every earlier name again:
    // about 4.5 million tests here.
    EXPECT_LT(tests, 4 * kFiles);
}

TEST(AttachmentSaver, StopBetweenTheFilesOfAWrapperKeepsTheWrapper) {
    constexpr int kFiles = 3000;
    const QByteArray wrapper = stream(fileAttachment("f.txt", "f").repeated(kFiles));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    AttachmentSaver saver(dir.path());
    int told = 0;
    int asked = 0;
    saver.setOnFile([&](const AttachmentSaver::Saved &) { ++told; });
    // Cancel is pressed while the tenth file is written.
    saver.setStopRequested([&] { return ++asked > 10; });
    try {
        saver.save(QStringLiteral("winmail.dat"), QString(), writerOf(wrapper));
        FAIL() << "a stopped unpacking must say so";
    } catch (const PartlySaved &e) {
        EXPECT_TRUE(e.stopped);
        EXPECT_TRUE(e.text().contains(QLatin1String("Stopped after 10 of the 3000 files"))) << e.text().toStdString();
        EXPECT_EQ(e.files.size(), 11);
    }
    EXPECT_EQ(asked, 11);
    EXPECT_EQ(told, 11); // ten files and the wrapper
    EXPECT_EQ(entries(dir.path()).size(), 11);
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("winmail.dat"))), wrapper);
}
