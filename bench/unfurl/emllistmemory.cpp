// Peak memory of listing converted messages (the step after unfurl): lists a
// folder holding one small message, then one holding a big message (by
// default 215 MB: a text part and a base64 attachment), each in a fresh
// child process, and prints both peaks. Files are generated into a work
// folder (default: <build>/bench-data) and removed afterwards.
//
//   bench_emllist_memory [--mb N] [WORK-FOLDER]
//
// Goal: the big message's peak within a few MB of the small one's.

#include "core/messagelistmodel.h"
#include "express/emllist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Writes a message with an attachment of about `megabytes` MB, streamed in
// chunks so the generator itself stays small.
bool writeMessage(const QString &path, qint64 megabytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("From: Sender <sender@bench.example>\r\nTo: You <you@bench.example>\r\n"
               "Subject: A big attachment\r\nDate: Tue, 1 Apr 2008 10:00:00 +0200\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"BOUNDARY\"\r\n\r\n"
               "--BOUNDARY\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n"
               "--BOUNDARY\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
               "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    // 76 base64 characters and CR LF per line.
    QByteArray line(76, 'A');
    for (int i = 0; i < 76; ++i)
        line[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 7) % 64];
    line += "\r\n";
    QByteArray chunk;
    while (chunk.size() < (1 << 20))
        chunk += line;
    const qint64 target = megabytes * 1000 * 1000;
    qint64 written = 0;
    while (written < target) {
        if (file.write(chunk) != chunk.size())
            return false;
        written += chunk.size();
    }
    file.write("--BOUNDARY--\r\n");
    return file.error() == QFileDevice::NoError;
}

struct Listed {
    long peakKib = 0;
    int rows = -1;
};

// Lists `folder` in a child process and returns its peak resident memory.
Listed listInChild(const QString &folder) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        int argc = 1;
        char name[] = "bench_emllist_memory";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv); // the list model batches rows on a timer
        pw::MessageListModel list;
        QStringList names;
        int rows = -1;
        try {
            pw::Express1::ListEmlMessages(folder, list, names);
            rows = list.count();
        } catch (...) {
        }
        if (::write(pipeFds[1], &rows, sizeof rows) != sizeof rows)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    Listed result;
    if (::read(pipeFds[0], &result.rows, sizeof result.rows) != sizeof result.rows)
        result.rows = -1;
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.peakKib = usage.ru_maxrss;
    return result;
}

} // namespace

int main(int argc, char **argv) {
    QString root = QStringLiteral(BENCH_DEFAULT_DIR);
    qint64 megabytes = 215;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mb" && i + 1 < argc)
            megabytes = std::atoll(argv[++i]);
        else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "usage: bench_emllist_memory [--mb N] [WORK-FOLDER]\n");
            return 2;
        } else
            root = QString::fromLocal8Bit(argv[i]);
    }
    const QString small = root + QStringLiteral("/emllist-small");
    const QString big = root + QStringLiteral("/emllist-big");
    for (const QString &folder : {small, big}) {
        QDir(folder).removeRecursively();
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
            return 1;
        }
    }
    if (!writeMessage(small + QStringLiteral("/small.eml"), 0) ||
        !writeMessage(big + QStringLiteral("/big.eml"), megabytes)) {
        std::fprintf(stderr, "cannot write the messages into %s\n", qPrintable(root));
        return 1;
    }
    const Listed s = listInChild(small);
    const Listed b = listInChild(big);
    std::printf("listing one small message: peak %ld KiB, %d row(s)\n", s.peakKib, s.rows);
    std::printf("listing one %lld MB message: peak %ld KiB, %d row(s)\n", static_cast<long long>(megabytes),
                b.peakKib, b.rows);
    const bool flat = b.peakKib <= s.peakKib + 8 * 1024;
    std::printf("goal: peak memory independent of message size: %s\n", flat ? "met" : "NOT met");
    QDir(small).removeRecursively();
    QDir(big).removeRecursively();
    return s.rows == 1 && b.rows == 1 ? 0 : 1;
}
