// Damaged copies of real samples (cut short, bytes flipped) must give
// clear errors and never crash, hang or leave partial files. Run these
// under the sanitizers too.
#include "corpus.h"

#include "core/error.h"
#include "outlook/outlookmodel.h"
#include "platform/pst/pstengine.h"
#include "platform/pst/messaging/messaging.h"

#include <libpst/libpst.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace pw::outlook;
using namespace pw::pst;
using namespace pw::pst::test;

namespace {

struct Outcome {
    int calls = 0;
    int failures = 0;
    int saved = 0;
};

// Runs one member call; only pw::Error may come out of it.
template <class F>
bool attempt(Outcome &outcome, F &&call) {
    ++outcome.calls;
    try {
        call();
        return true;
    } catch (const pw::Error &error) {
        ++outcome.failures;
        EXPECT_FALSE(error.text().isEmpty());
        return false;
    }
}

// Reads every member of everything reachable, saving each attachment.
void walkAll(const FolderPtr &folder, const QString &out, Outcome &outcome, int depth) {
    if (depth > 20)
        return;
    attempt(outcome, [&] { folder->name(); });
    ItemsPtr items;
    int count = 0;
    if (attempt(outcome, [&] { items = folder->Items(); count = items->count(); })) {
        for (int i = 1; i <= std::min(count, 500); ++i) {
            ItemPtr item;
            if (!attempt(outcome, [&] { item = items->Item(i); }))
                continue;
            attempt(outcome, [&] { item->Class(); });
            attempt(outcome, [&] { item->Subject(); });
            attempt(outcome, [&] { item->SenderName(); });
            attempt(outcome, [&] { item->SenderEmailAddress(); });
            attempt(outcome, [&] { item->SenderEmailType(); });
            attempt(outcome, [&] { item->ReceivedTime(); });
            attempt(outcome, [&] { item->Body(); });
            attempt(outcome, [&] { item->EntryID(); });
            AttachmentsPtr attachments;
            int attachmentCount = 0;
            if (!attempt(outcome, [&] { attachments = item->Attachments(); attachmentCount = attachments->count(); }))
                continue;
            for (int a = 1; a <= std::min(attachmentCount, 100); ++a) {
                AttachmentPtr attachment;
                if (!attempt(outcome, [&] { attachment = attachments->Item(a); }))
                    continue;
                attempt(outcome, [&] { attachment->fileName(); });
                const QString target = QDir(out).filePath(QStringLiteral("saved-%1").arg(outcome.calls));
                if (attempt(outcome, [&] { attachment->SaveAsFile(target); }))
                    ++outcome.saved;
                else
                    EXPECT_FALSE(QFile::exists(target)) << "a failed save left a file";
            }
        }
    }
    FoldersPtr children;
    int childCount = 0;
    if (attempt(outcome, [&] { children = folder->Folders(); childCount = children->count(); })) {
        for (int i = 1; i <= std::min(childCount, 200); ++i) {
            FolderPtr child;
            if (attempt(outcome, [&] { child = children->Item(i); }))
                walkAll(child, out, outcome, depth + 1);
        }
    }
}

// Opens `bytes` as a mail file and reads everything in it.
Outcome openAndWalk(const QByteArray &bytes, const QTemporaryDir &dir) {
    const QString path = dir.filePath(QStringLiteral("damaged.pst"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    const QString out = dir.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    QDir().mkpath(out);

    Outcome outcome;
    NamespacePtr ns;
    attempt(outcome, [&] { ns = createPstApplication(QStringList{})->GetNamespace(QStringLiteral("MAPI")); });
    if (!attempt(outcome, [&] { ns->AddStore(path); }))
        return outcome;
    walkAll(ns->Folders()->GetLast(), out, outcome, 0);
    // Nothing but complete files in the output folder.
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), outcome.saved);
    return outcome;
}

QByteArray readSample(const char *name) {
    QFile file(corpusDir() + QStringLiteral("/pst/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(PstDamaged, TruncatedCopiesFailCleanly) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    for (const char *name : {"msgInMsg.pst", "2003_no-encryption_quickquick.pst", "97_outlook_pass12345.pst"}) {
        const QByteArray whole = readSample(name);
        ASSERT_FALSE(whole.isEmpty());
        for (qsizetype size : {qsizetype(0), qsizetype(100), qsizetype(512), qsizetype(4096), whole.size() / 3,
                               whole.size() / 2, whole.size() - 4096, whole.size() - 1}) {
            SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(size));
            const Outcome outcome = openAndWalk(whole.left(size), dir);
            if (size <= 4096) {
                EXPECT_GE(outcome.failures, 1) << "a file this short cannot open";
            }
        }
    }
}

TEST(PstDamaged, ByteFlippedCopiesFailCleanly) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    std::mt19937 random(20261208);
    int failures = 0;
    for (const char *name : {"msgInMsg.pst", "2003_high-encryption_quickquick.pst", "97_outlook_pass12345.pst",
                             "DFRWS2009-Outlook-Email.pst"}) {
        const QByteArray whole = readSample(name);
        ASSERT_FALSE(whole.isEmpty());
        for (int round = 0; round < 12; ++round) {
            QByteArray copy = whole;
            // Few flips in early rounds (the file mostly opens and damage shows
            // deep inside), many later; the header is spared in some rounds so
            // the tree itself gets read.
            const int flips = round < 6 ? 8 : 400;
            const qsizetype from = round % 2 == 0 ? 512 : 0;
            std::uniform_int_distribution<qsizetype> where(from, copy.size() - 1);
            for (int f = 0; f < flips; ++f)
                copy[where(random)] ^= static_cast<char>(1 + random() % 255);
            SCOPED_TRACE(std::string(name) + " round " + std::to_string(round));
            failures += openAndWalk(copy, dir).failures;
        }
    }
    EXPECT_GT(failures, 0) << "the damage was never noticed";
}

// Inputs that once crashed the open-and-walk fuzz target (inside libpst,
// before the engine checked what libpst trusts): each must now open or
// fail with an error, and be walked without a crash.
TEST(PstDamaged, FuzzRegressionsFailCleanly) {
    QTemporaryDir dir;
    const QDir regressions(QStringLiteral(PW_TEST_DATA_DIR "/fuzz-regressions/pstwalk"));
    const QStringList inputs = regressions.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(inputs.isEmpty());
    for (const QString &name : inputs) {
        SCOPED_TRACE(name.toStdString());
        QFile file(regressions.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const Outcome outcome = openAndWalk(file.readAll(), dir);
        EXPECT_GT(outcome.calls, 1);
    }
}

// Every sound sample's map of named properties is read whole: as many
// entries as libpst finds in it.
TEST(PstDamaged, SoundStoresKeepTheirNamedPropertyMap) {
    PW_REQUIRE_CORPUS();
    auto entries = [](const pst_file &file) {
        int count = 0;
        for (const pst_x_attrib_ll *entry = file.x_head; entry; entry = entry->next)
            ++count;
        return count;
    };
    int mapped = 0;
    for (const QString &sample : pstSamples()) {
        SCOPED_TRACE(sample.toStdString());
        const QString path = corpusDir() + QLatin1Char('/') + sample;
        const auto store = messaging::Store::open(path);
        // libpst alone, as its own tools open a file.
        pst_file bare{};
        const QByteArray name = QFile::encodeName(path);
        ASSERT_EQ(pst_open(&bare, name.constData(), nullptr), 0);
        pst_load_index(&bare);
        pst_load_extended_attributes(&bare);
        EXPECT_EQ(static_cast<int>(store->namedCount()), entries(bare)) << "a sound map was not read whole";
        mapped += entries(bare) > 0;
        pst_close(&bare);
    }
    EXPECT_GT(mapped, 0);
}
