// Lists 10,000 generated .eml files (a tenth with attachments) as the
// Outlook Express window does after a conversion, then saves the attachments
// of every listed message, and compares both with one pass of `cat` over the
// same files in the same run (cache warmed first, so all three read from
// memory). Files go to a work folder (default: <build>/bench-data) and are
// removed afterwards.
//
// Goal: listing at most 3 times the cat pass.

#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "download/emlsaveengine.h"
#include "express/emllist.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>

namespace {

constexpr int kMessages = 10000;

// The run must not stop for a box; failures are counted instead.
class CountingDialogs : public pw::Dialogs {
public:
    pw::MsgResult messageBox(const QString &text, pw::MsgButtons, pw::MsgIcon, const QString &title) override {
        if (title == QLatin1String("Application Error")) {
            ++failures;
            if (failures == 1)
                std::fprintf(stderr, "first failure: %s\n", qPrintable(text));
        }
        return pw::MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &defaultText) override { return defaultText; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return {}; }
    int failures = 0;
};

class NoEvents : public pw::EventPump {
public:
    void processEvents() override {}
};

QByteArray bodyText(int i, int lines) {
    QByteArray text;
    for (int l = 0; l < lines; ++l)
        text += "Line " + QByteArray::number(l) + " of message " + QByteArray::number(i)
                + ": the quick brown fox jumps over the lazy dog, again and again.\r\n";
    return text;
}

QByteArray message(int i) {
    QByteArray head = "From: Sender " + QByteArray::number(i) + " <s@bench.example>\r\nTo: You <you@bench.example>\r\n"
                      "Subject: Generated message " + QByteArray::number(i) + "\r\nDate: Tue, 1 Apr 2008 10:00:00 +0200\r\n"
                      "MIME-Version: 1.0\r\n";
    if (i % 10 != 0)
        return head + "Content-Type: text/plain\r\n\r\n" + bodyText(i, 40 + i % 80);
    QByteArray attachment;
    for (int b = 0; b < 30000 + (i % 7) * 1000; ++b)
        attachment += char((b * 31 + i) & 0xFF);
    QByteArray encoded = attachment.toBase64();
    QByteArray wrapped;
    for (qsizetype p = 0; p < encoded.size(); p += 76)
        wrapped += encoded.mid(p, 76) + "\r\n";
    return head + "Content-Type: multipart/mixed; boundary=\"BOUNDARY\"\r\n\r\n--BOUNDARY\r\nContent-Type: text/plain\r\n\r\n"
           + bodyText(i, 20) + "--BOUNDARY\r\nContent-Type: application/octet-stream; name=\"data" + QByteArray::number(i % 100)
           + ".bin\"\r\nContent-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n" + wrapped
           + "--BOUNDARY--\r\n";
}

double catPass(const QString &folder, const QStringList &names) {
    QElapsedTimer timer;
    timer.start();
    for (qsizetype start = 0; start < names.size(); start += 1000) {
        QStringList args;
        for (qsizetype i = start; i < std::min(start + 1000, names.size()); ++i)
            args.append(folder + QLatin1Char('/') + names.at(i));
        QProcess cat;
        cat.setStandardOutputFile(QProcess::nullDevice());
        cat.start(QStringLiteral("cat"), args);
        cat.waitForFinished(-1);
    }
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(BENCH_DEFAULT_DIR);
    const QString work = root + QStringLiteral("/emlsave-in");
    const QString target = root + QStringLiteral("/emlsave-out");
    QDir(work).removeRecursively();
    QDir(target).removeRecursively();
    if (!QDir().mkpath(work) || !QDir().mkpath(target)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(root));
        return 1;
    }

    QStringList names;
    qint64 bytes = 0;
    for (int i = 0; i < kMessages; ++i) {
        const QString name = QStringLiteral("%1.eml").arg(i, 5, 10, QLatin1Char('0'));
        QFile f(work + QLatin1Char('/') + name);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        const QByteArray m = message(i);
        bytes += m.size();
        f.write(m);
        names.append(name);
    }
    std::printf("%d .eml files, %.1f MB\n", kMessages, bytes / 1e6);

    catPass(work, names); // warm the cache
    const double cat = catPass(work, names);

    pw::MessageListModel list;
    QStringList emlFileNames;
    QElapsedTimer timer;
    timer.start();
    pw::Express1::ListEmlMessages(work, list, emlFileNames);
    const double listing = timer.nsecsElapsed() / 1e9;

    list.setAllChecked(true);
    CountingDialogs dialogs;
    NoEvents events;
    timer.restart();
    pw::saveEmlAttachments({dialogs, events, list, emlFileNames, work, [&] { return target; }, [](int) {}});
    const double saving = timer.nsecsElapsed() / 1e9;
    const int saved = static_cast<int>(QDir(target).entryList(QDir::Files).size());

    std::printf("cat pass:  %.3f s  (%.0f files/s)\n", cat, kMessages / cat);
    std::printf("listing:   %.3f s  (%.0f files/s), %d rows  -> %.2f x cat (goal <= 3)\n", listing,
                kMessages / listing, list.count(), listing / cat);
    std::printf("saving:    %.3f s  (%.0f messages/s), %d files saved, %d failures\n", saving,
                list.count() / saving, saved, dialogs.failures);

    QDir(work).removeRecursively();
    QDir(target).removeRecursively();
    return listing / cat <= 3.0 && dialogs.failures == 0 && saved == list.count() ? 0 : 2;
}
