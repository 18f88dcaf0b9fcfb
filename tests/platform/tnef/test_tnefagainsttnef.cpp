// Our reader against the independent `tnef` program on wrappers built here,
// sound and with the damage both read past: the same files, byte for byte.
#include "platform/tnef/tnefbuilder.h"
#include "platform/tnef/tnefreader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tnefbuild;

namespace {

QMap<QString, QByteArray> ours(QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QMap<QString, QByteArray> files;
    for (const auto &a : pw::tnef::read(buffer).attachments) {
        QByteArray data;
        pw::tnef::copySpan(buffer, a.data, [&](const char *d, qint64 n) { data.append(d, n); });
        files.insert(a.name(), data);
    }
    return files;
}

QMap<QString, QByteArray> theirs(const QString &program, const QByteArray &bytes) {
    QTemporaryDir dir;
    QFile in(dir.filePath(QStringLiteral("winmail.dat")));
    in.open(QIODevice::WriteOnly);
    in.write(bytes);
    in.close();
    const QString out = dir.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    QProcess tnef;
    // Its tolerant settings: a checksum or stray bytes warn only.
    tnef.start(program, {QStringLiteral("--ignore-checksum"), QStringLiteral("--ignore-cruft"), QStringLiteral("--number-backups"),
                         QStringLiteral("-C"), out, QStringLiteral("-f"), in.fileName()});
    tnef.waitForFinished(30000);
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(out).entryList(QDir::Files)) {
        QFile f(QDir(out).filePath(name));
        f.open(QIODevice::ReadOnly);
        files.insert(name, f.readAll());
    }
    return files;
}

} // namespace

TEST(TnefAgainstTnef, BothReadersFindTheSameFiles) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tnef"));
    if (program.isEmpty())
        GTEST_SKIP() << "the tnef program is not installed (scripts/install-deps.sh --test)";
    QByteArray binary;
    for (int i = 0; i < 3000; ++i)
        binary.append(char(i * 7 + 3));
    const QByteArray files = fileAttachment(QStringLiteral("report.pdf"), binary) +
                             fileAttachment(QStringLiteral("notes \u00e9t\u00e9.txt"), "summer notes") +
                             fileAttachment(QStringLiteral("empty.bin"), QByteArray(""));
    struct Case {
        const char *what;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"sound", stream(files)},
        {"NUL padding after the end", stream(files) + QByteArray(100, '\0')},
        {"a stray byte after the end", stream(files) + "x"},
        {"a bad checksum", stream(files + rendering() + attribute(kAttachment, 0x0006800F, "checked", 3) +
                                  attribute(kAttachment, 0x00069005, Props().string(0x3707, "sum.txt", true).bytes()))},
    };
    for (const Case &c : cases) {
        const auto mine = ours(c.bytes);
        const auto other = theirs(program, c.bytes);
        EXPECT_GE(mine.size(), 3) << c.what;
        // Where the other reader gives a file, it is the same file.
        for (auto it = other.cbegin(); it != other.cend(); ++it) {
            ASSERT_TRUE(mine.contains(it.key())) << c.what << ": " << it.key().toStdString();
            EXPECT_EQ(mine.value(it.key()), it.value()) << c.what << ": " << it.key().toStdString();
        }
        // And it finds every file we find that has content.
        for (auto it = mine.cbegin(); it != mine.cend(); ++it) {
            if (!it.value().isEmpty()) {
                EXPECT_TRUE(other.contains(it.key())) << c.what << ": " << it.key().toStdString();
            }
        }
    }
}
