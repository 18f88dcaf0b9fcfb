// Several parcelwise-cli processes saving messages with a winmail.dat into
// one folder at once, one of them held in the middle of its wrapper: no
// process sees a name taken by another's wrapper, and nothing is lost.
#include "clirun.h"
#include "platform/tnef/tnefbuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace pw::cli::test;
using namespace tnefbuild;

namespace {

constexpr int kFiles = 1500;

QByteArray fileContent(int i) {
    return QByteArray::number(i).leftJustified(2048, '.');
}

QByteArray messageWithWrapper() {
    QByteArray inside;
    for (int i = 0; i < kFiles; ++i)
        inside += fileAttachment(QStringLiteral("part.bin"), fileContent(i));
    const QByteArray tnef = stream(inside);
    return "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: parts\r\n"
           "Date: Tue, 1 Apr 2008 10:00:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n--XX\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n"
           "--XX\r\nContent-Type: application/ms-tnef; name=\"winmail.dat\"\r\n"
           "Content-Disposition: attachment; filename=\"winmail.dat\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           tnef.toBase64() + "\r\n--XX--\r\n";
}

QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

void start(QProcess &p, const QString &eml, const QString &to) {
    p.setProcessEnvironment(cliEnvironment());
    p.start(cliPath(), {QStringLiteral("save"), eml, QStringLiteral("--to"), to});
    ASSERT_TRUE(p.waitForStarted());
}

} // namespace

TEST(CliTnef, ProcessesSavingWrappersIntoOneFolderLoseNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString eml = dir.filePath(QStringLiteral("parts.eml"));
    {
        QFile f(eml);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(messageWithWrapper());
    }
    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));

    // The first process is held as soon as its first file inside the
    // wrapper shows.
    QProcess held;
    start(held, eml, out);
    QElapsedTimer waited;
    waited.start();
    bool stopped = false;
    while (held.state() == QProcess::Running && waited.elapsed() < 60000) {
        if (!QDir(out).entryList({QStringLiteral("part*")}, QDir::Files).isEmpty()) {
            stopped = ::kill(pid_t(held.processId()), SIGSTOP) == 0;
            break;
        }
        QThread::usleep(200);
    }
    if (stopped) {
        // Held mid-wrapper: its wrapper has no name, visible or hidden.
        for (const QString &name : entries(out))
            EXPECT_TRUE(name.startsWith(QLatin1String("part"))) << name.toStdString();
    }

    QProcess second, third;
    start(second, eml, out);
    start(third, eml, out);
    ASSERT_TRUE(second.waitForFinished(120000));
    ASSERT_TRUE(third.waitForFinished(120000));
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_EQ(third.exitCode(), 0) << third.readAllStandardError().toStdString();
    if (stopped)
        ::kill(pid_t(held.processId()), SIGCONT);
    ASSERT_TRUE(held.waitForFinished(120000));
    EXPECT_EQ(held.exitCode(), 0) << held.readAllStandardError().toStdString();

    // Every file of every process, once each; no wrapper, nothing hidden.
    const QStringList names = entries(out);
    EXPECT_EQ(names.size(), 3 * kFiles);
    QHash<QByteArray, int> copies;
    for (const QString &name : names) {
        EXPECT_TRUE(name.startsWith(QLatin1String("part")) && name.endsWith(QLatin1String(".bin"))) << name.toStdString();
        QFile f(QDir(out).filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        ++copies[f.readAll()];
    }
    for (int i = 0; i < kFiles; ++i)
        EXPECT_EQ(copies.value(fileContent(i)), 3) << i;
    EXPECT_TRUE(stopped) << "the first process ended before it could be held; the folder was checked all the same";
}
