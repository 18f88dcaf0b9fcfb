// What the status line costs: a scan of the 100,000-message store and a
// download of 2,000 attachments, each run with and without progress (the
// paced updates, Cancel checks and, for the download, window events once
// per attachment), alternating in the same run. Goal: at most 2 %.
//
//   bench_progress [rounds] [100k store] [2000-attachment store] [work folder]
#include "benchsupport.h"
#include "core/messagelistmodel.h"
#include "core/workstatus.h"
#include "download/outlookdownload.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"
#include "widgets/qtdialogs.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace pw;

using pw::bench::median;
using QuietDialogs = pw::bench::QuietDialogs;

namespace {

// Stands for the status line: keeps the text as the widget would.
struct RecordingStatus : WorkStatus {
    void started(const QString &t) override { text = t; }
    void progress(const QString &t) override {
        text = t;
        ++updates;
    }
    void finished(const QString &t, const QString &) override { text = t; }
    bool cancelRequested() const override { return false; }
    QString text;
    int updates = 0;
};

ScanControls pstSource(const QString &store) {
    ScanControls sc;
    sc.option1Selected = [] { return false; };
    sc.option2Selected = [] { return true; };
    sc.pstPath = [store] { return store; };
    sc.searchText = [] { return QString(); };
    sc.setPointer = [](int) {};
    sc.redrawList = [] {};
    return sc;
}

double g_scanSeconds = 0;
double g_downloadSeconds = 0;

void report(const char *what, const std::vector<double> &without, const std::vector<double> &with, int updates) {
    const double a = median(without), b = median(with);
    std::printf("%s: without progress %.3f s, with progress %.3f s (%d updates), cost %+.2f %% (goal <= 2 %%)\n", what,
                a, b, updates, (b / a - 1.0) * 100.0);
}

// The same cost measured directly, free of the machine's noise: what the
// progress adds per item (a pace check for every message; for the download
// also window events per attachment), done as often as the runs do it.
void directCost() {
    RecordingStatus status;
    ProgressPace pace;
    QElapsedTimer t;
    t.start();
    int due = 0;
    for (int i = 0; i < 100000; ++i) {
        if (status.cancelRequested())
            break;
        if (pace.due())
            ++due;
    }
    const double checks = t.nsecsElapsed() / 1e9;
    QtEventPump events;
    t.restart();
    for (int i = 0; i < 2000; ++i) {
        events.processEvents();
        if (!status.cancelRequested() && pace.due())
            ++due;
    }
    const double pumps = t.nsecsElapsed() / 1e9;
    std::printf("direct: 100,000 pace and Cancel checks %.2f ms = %.3f %% of the scan; 2,000 event runs %.2f ms "
                "= %.3f %% of the download\n",
                checks * 1e3, checks / g_scanSeconds * 100.0, pumps * 1e3, pumps / g_downloadSeconds * 100.0);
}

bool scanBench(const QString &store, int rounds) {
    QuietDialogs dialogs;
    QtEventPump events;
    std::vector<double> without, with;
    int updates = 0;
    for (int round = 0; round <= rounds; ++round) { // round 0 warms the cache
        for (const bool progress : {round % 2 == 0, round % 2 != 0}) {
            MessageListModel list;
            RecordingStatus status;
            ScanControls sc = pstSource(store);
            if (progress)
                sc.status = &status;
            OutlookScan scan(dialogs, events, list, sc);
            QElapsedTimer t;
            t.start();
            scan.PushButton1_Click();
            const double s = t.nsecsElapsed() / 1e9;
            if (dialogs.boxes || list.count() == 0) {
                std::fprintf(stderr, "the scan listed %d rows: %s\n", list.count(), qPrintable(dialogs.last));
                return false;
            }
            if (round == 0)
                continue;
            (progress ? with : without).push_back(s);
            if (progress)
                updates = status.updates;
        }
    }
    report("scan of the 100,000-message store", without, with, updates);
    g_scanSeconds = median(without);
    return true;
}

bool downloadBench(const QString &store, const QString &work, int rounds) {
    QuietDialogs dialogs;
    QtEventPump events;
    MessageListModel list;
    OutlookScan scan(dialogs, events, list, pstSource(store));
    scan.PushButton1_Click();
    if (dialogs.boxes || list.count() == 0) {
        std::fprintf(stderr, "the scan listed %d rows: %s\n", list.count(), qPrintable(dialogs.last));
        return false;
    }
    std::vector<double> without, with;
    int updates = 0;
    for (int round = 0; round <= rounds; ++round) {
        for (const bool progress : {round % 2 == 0, round % 2 != 0}) {
            const QString saved = work + QStringLiteral("/saved");
            QDir(saved).removeRecursively();
            QDir().mkpath(saved);
            dialogs.folder = saved;
            // The last run's 2 GB must not be written back during this one.
            QProcess::execute(QStringLiteral("sync"), {});
            RecordingStatus status;
            DownloadControls dc;
            dc.choiceText = [] { return QStringLiteral("All"); };
            dc.setPointer = [](int) {};
            dc.sourcePstPath = [&] { return scan.listSourcePstPath; };
            if (progress) {
                dc.events = &events;
                dc.status = &status;
            }
            QElapsedTimer t;
            t.start();
            OutlookDownload(dialogs, list, dc);
            const double s = t.nsecsElapsed() / 1e9;
            if (dialogs.boxes) {
                std::fprintf(stderr, "the download showed a box: %s\n", qPrintable(dialogs.last));
                return false;
            }
            if (round == 0)
                continue;
            (progress ? with : without).push_back(s);
            if (progress)
                updates = status.updates;
        }
    }
    QDir(work + QStringLiteral("/saved")).removeRecursively();
    report("download of 2,000 attachments", without, with, updates);
    g_downloadSeconds = median(without);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A widget application, as the program is: its event dispatch is what
    // the per-attachment events cost.
    QApplication app(argc, argv);
    pw::pst::installPstEngine();
    const QStringList args = app.arguments();
    const int rounds = args.size() > 1 ? args.at(1).toInt() : 3;
    QString big, attachments;
#if defined(PW_BENCH_STORE_100K) && defined(PW_BENCH_STORE_2000X1MB)
    big = QStringLiteral(PW_BENCH_STORE_100K);
    attachments = QStringLiteral(PW_BENCH_STORE_2000X1MB);
#endif
    if (args.size() > 3) {
        big = args.at(2);
        attachments = args.at(3);
    }
    QTemporaryDir tmp;
    const QString work = args.size() > 4 ? args.at(4) : tmp.path();
    if (big.isEmpty() || attachments.isEmpty()) {
        std::fprintf(stderr, "usage: bench_progress [rounds] [100k store] [2000-attachment store] [work folder]\n");
        return 2;
    }
    bool ok = scanBench(big, rounds);
    ok = downloadBench(attachments, work, rounds) && ok;
    if (ok)
        directCost();
    return ok ? 0 : 1;
}
