// The no-overwrite writer. The same tests run again with a preloaded shim
// that refuses unnamed files, hard links and no-replace renames (see
// tests/CMakeLists.txt), so the fallback for FAT and network shares keeps
// every promise the normal way keeps.
#include "core/safefilewriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pw;

namespace {

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

// Everything in the folder, hidden entries included.
QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

class Writer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString at(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(Writer, ShimIsInForceWhenAsked) {
    const QStringList refused = qEnvironmentVariable("PW_SHIM_REFUSE").split(QLatin1Char(','));
    if (!qEnvironmentVariableIsSet("PW_SHIM_REFUSE"))
        GTEST_SKIP() << "runs only with the preloaded shim";
    // Without this the fallback runs would test the normal way again.
    if (refused.contains(QStringLiteral("tmpfile"))) {
        const int fd = ::open(QFile::encodeName(dir.path()).constData(), O_TMPFILE | O_RDWR, 0600);
        EXPECT_LT(fd, 0);
        if (fd >= 0)
            ::close(fd);
    }
    if (refused.contains(QStringLiteral("link"))) {
        writeFile(at(QStringLiteral("a")), "a");
        EXPECT_NE(::link(QFile::encodeName(at(QStringLiteral("a"))).constData(),
                         QFile::encodeName(at(QStringLiteral("b"))).constData()),
                  0);
    }
}

TEST_F(Writer, WritesTheWholeFileAndNothingElse) {
    QByteArray content;
    for (int i = 0; i < 300000; ++i)
        content += char(i * 7);
    {
        SafeFileWriter out(at(QStringLiteral("data.bin")), QStringLiteral("the attachment"));
        out.write(content.constData(), 100000);
        out.write(content.constData() + 100000, content.size() - 100000);
        out.commit();
    }
    EXPECT_EQ(readAll(at(QStringLiteral("data.bin"))), content);
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("data.bin")});
    // The permissions a plainly created file gets.
    writeFile(at(QStringLiteral("plain")), "x");
    EXPECT_EQ(QFile::permissions(at(QStringLiteral("data.bin"))), QFile::permissions(at(QStringLiteral("plain"))));
}

TEST_F(Writer, NeverWritesOverAndLeavesNothingOnFailure) {
    writeFile(at(QStringLiteral("taken.txt")), "old");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    const QStringList before = entries(dir.path());
    auto save = [](const QString &path) {
        SafeFileWriter out(path, QStringLiteral("the attachment"));
        out.write("new", 3);
        out.commit();
    };
    EXPECT_THROW(save(at(QStringLiteral("taken.txt"))), NameTakenError);
    EXPECT_THROW(save(at(QStringLiteral("folder"))), NameTakenError);
    EXPECT_THROW(save(at(QStringLiteral("folder/"))), Error);
    try {
        save(at(QStringLiteral("missing/a.txt")));
        ADD_FAILURE() << "a missing folder was written to";
    } catch (const NameTakenError &) {
        ADD_FAILURE() << "a missing folder is not a taken name";
    } catch (const Error &e) {
        EXPECT_TRUE(e.text().contains(at(QStringLiteral("missing/a.txt")))) << e.text().toStdString();
    }
    {
        SafeFileWriter abandoned(at(QStringLiteral("half.txt")));
        abandoned.write("half", 4);
    }
    EXPECT_EQ(readAll(at(QStringLiteral("taken.txt"))), QByteArray("old"));
    EXPECT_EQ(entries(dir.path()), before);
}

TEST_F(Writer, ANameTakenWhileWritingKeepsTheOtherFile) {
    const QString path = at(QStringLiteral("report.pdf"));
    SafeFileWriter ours(path);
    ours.write("ours", 4);
    // Another program writes the name meanwhile, the careless way.
    writeFile(path, "theirs");
    EXPECT_THROW(ours.commit(), NameTakenError);
    EXPECT_EQ(readAll(path), QByteArray("theirs"));
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("report.pdf")});
}

TEST_F(Writer, TwoWritersOfOneNameNeverMix) {
    const QString path = at(QStringLiteral("a.txt"));
    int saved = 0;
    int refused = 0;
    auto attempt = [&](auto &&step) {
        try {
            step();
            return true;
        } catch (const NameTakenError &) {
            ++refused;
            return false;
        }
    };
    std::unique_ptr<SafeFileWriter> first, second;
    attempt([&] { first = std::make_unique<SafeFileWriter>(path); });
    ASSERT_TRUE(first);
    first->write("first", 5);
    if (attempt([&] { second = std::make_unique<SafeFileWriter>(path); })) {
        second->write("second", 6);
        saved += attempt([&] { second->commit(); });
    }
    saved += attempt([&] { first->commit(); });
    first.reset();
    second.reset();
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(refused, 1);
    const QByteArray content = readAll(path);
    EXPECT_TRUE(content == "first" || content == "second") << content.toStdString();
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("a.txt")});
}

TEST_F(Writer, AFullDiskNamesTheTargetAndLeavesNothing) {
    // A file size limit fails writes the way a full disk does.
    struct rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString path = at(QStringLiteral("big.bin"));
    QString text;
    try {
        SafeFileWriter out(path, QStringLiteral("the attachment"));
        const QByteArray chunk(10000, 'b');
        out.write(chunk.constData(), chunk.size());
        out.commit();
    } catch (const Error &e) {
        text = e.text();
    }
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Cannot save the attachment to ") + path)) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral(".part"))) << text.toStdString();
    EXPECT_TRUE(entries(dir.path()).isEmpty()) << entries(dir.path()).join(QLatin1Char(' ')).toStdString();
}

} // namespace
