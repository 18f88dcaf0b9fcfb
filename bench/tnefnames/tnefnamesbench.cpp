// One message whose winmail.dat holds 10,000 files that all carry one name
// (image001.jpg) against one whose 10,000 files have distinct names of the
// same length, saved:
//  - on the Outlook Express window's road ("Start Downloading" over the
//    .eml file, with a status line);
//  - by parcelwise-cli (`save`), the whole program.
// Goal: one name at most 1.5 times distinct names. Every file must be saved
// under a name of its own, and nothing reported.
//
//   bench_tnefnames [work folder]
#include "benchsupport.h"
#include "core/messagelistmodel.h"
#include "core/workstatus.h"
#include "download/emlsaveengine.h"
#include "platform/tnef/tnefbuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <vector>

using namespace pw;

namespace {

constexpr int kFiles = 10000;
constexpr int kRounds = 3;

QString fileName(bool same, int i) {
    return same ? QStringLiteral("image001.jpg") : QStringLiteral("i%1.jpg").arg(i, 7, 10, QLatin1Char('0'));
}

QByteArray emlWithWrapper(bool same) {
    QByteArray inside;
    for (int i = 0; i < kFiles; ++i)
        inside += tnefbuild::fileAttachment(fileName(same, i), QByteArray(2048, char('a' + i % 26)));
    const QByteArray encoded = tnefbuild::stream(inside).toBase64();
    QByteArray wrapped;
    for (qsizetype p = 0; p < encoded.size(); p += 76)
        wrapped += encoded.mid(p, 76) + "\r\n";
    return "From: s@bench.example\r\nSubject: Wrapped\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
           "--B\r\nContent-Type: application/ms-tnef; name=\"winmail.dat\"\r\nContent-Disposition: attachment\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           wrapped + "--B--\r\n";
}

struct NoEvents : EventPump {
    void processEvents() override {}
};

struct QuietStatus : WorkStatus {
    void started(const QString &) override {}
    void progress(const QString &) override { ++updates; }
    void finished(const QString &, const QString &) override {}
    bool cancelRequested() const override { return false; }
    int updates = 0;
};

int countFiles(const QString &folder) {
    return static_cast<int>(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
}

struct Outcome {
    double seconds = 0;
    int files = 0;
    bool clean = true;
};

Outcome windowRoad(const QString &input, const QString &eml, const QString &out) {
    MessageListModel list;
    list.setChecked(list.appendRow(QStringList(4)), true);
    const QStringList names{eml};
    bench::QuietDialogs dialogs;
    NoEvents events;
    QuietStatus status;
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QElapsedTimer timer;
    timer.start();
    saveEmlAttachments({dialogs, events, list, names, input, [&] { return out; }, [](int) {}, &status});
    Outcome o{timer.nsecsElapsed() / 1e9, countFiles(out), dialogs.boxes == 1 && dialogs.last == QLatin1String("Done.")};
    QDir(out).removeRecursively();
    return o;
}

Outcome cliRoad(const QString &emlPath, const QString &out) {
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QProcess cli;
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(BENCH_CLI), {QStringLiteral("save"), emlPath, QStringLiteral("--to"), out});
    cli.waitForFinished(-1);
    Outcome o{timer.nsecsElapsed() / 1e9, countFiles(out), cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0};
    QDir(out).removeRecursively();
    return o;
}

bool report(const char *road, const std::vector<double> &same, const std::vector<double> &distinct) {
    const double ratio = bench::median(same) / bench::median(distinct);
    std::printf("%s: one name %.3f s, distinct names %.3f s (medians of %d) -> %.2f x (goal <= 1.5)\n", road,
                bench::median(same), bench::median(distinct), kRounds, ratio);
    return ratio <= 1.5;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QString root = (argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(BENCH_DEFAULT_DIR)) +
                         QStringLiteral("/tnefnames");
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    const QString emlNames[2] = {QStringLiteral("distinct.eml"), QStringLiteral("same.eml")};
    for (int variant = 0; variant < 2; ++variant) {
        QFile f(root + QLatin1Char('/') + emlNames[variant]);
        if (!f.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write into %s\n", qPrintable(root));
            return 1;
        }
        f.write(emlWithWrapper(variant == 1));
    }
    const QString out = root + QStringLiteral("/out");
    std::vector<double> window[2], cli[2];
    bool ok = true;
    for (int round = 0; round < kRounds; ++round) {
        for (int variant = 0; variant < 2; ++variant) {
            const Outcome w = windowRoad(root, emlNames[variant], out);
            const Outcome c = cliRoad(root + QLatin1Char('/') + emlNames[variant], out);
            window[variant].push_back(w.seconds);
            cli[variant].push_back(c.seconds);
            for (const Outcome &o : {w, c}) {
                if (o.files != kFiles || !o.clean) {
                    std::fprintf(stderr, "round %d, %s names: %d files saved, %s\n", round, variant ? "one" : "distinct",
                                 o.files, o.clean ? "no report" : "a report or a failure");
                    ok = false;
                }
            }
        }
    }
    ok = report("Outlook Express window", window[1], window[0]) && ok;
    ok = report("parcelwise-cli", cli[1], cli[0]) && ok;
    QDir(root).removeRecursively();
    return ok ? 0 : 1;
}
