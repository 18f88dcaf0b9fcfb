// parcelwise-cli, whole process, on written stores of 5,000 messages:
// - `save` of one store against the window's scan and "Start Downloading"
//   ("All") of the same store in this process (goal: at most 1.1 times the
//   download);
// - eight stores saved by two processes at once against one process at a
//   time (goal: at least 1.7 times the throughput).
// The two sides alternate round by round; medians are printed. Clearing
// the target folders and flushing the disk happen between timings.
//
//   bench_cli [work folder] [rounds] [store.pst]
#include "benchsupport.h"
#include "core/messagelistmodel.h"
#include "download/outlookdownload.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace pw;

using pw::bench::median;
using QuietDialogs = pw::bench::QuietDialogs;

namespace {

struct NoEvents : EventPump {
    void processEvents() override {}
};

void freshFolder(const QString &path) {
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    QProcess::execute(QStringLiteral("sync"), {});
}

int fileCount(const QString &folder) {
    return static_cast<int>(QDir(folder).entryList(QDir::Files).size());
}

// The window: scan the PST file, then download "All" into `target`.
// Answers {scan seconds, download seconds}.
std::pair<double, double> windowRun(const QString &store, const QString &target) {
    QuietDialogs dialogs;
    NoEvents events;
    MessageListModel list;
    ScanControls sc;
    sc.option1Selected = [] { return false; };
    sc.option2Selected = [] { return true; };
    sc.pstPath = [&] { return store; };
    sc.searchText = [] { return QString(); };
    sc.setPointer = [](int) {};
    sc.redrawList = [] {};
    OutlookScan scan(dialogs, events, list, sc);
    QElapsedTimer t;
    t.start();
    scan.PushButton1_Click();
    const double scanned = t.nsecsElapsed() / 1e9;
    DownloadControls dc;
    dc.choiceText = [] { return QStringLiteral("All"); };
    dc.setPointer = [](int) {};
    dc.sourcePstPath = [&] { return scan.listSourcePstPath; };
    dialogs.folder = target;
    t.restart();
    OutlookDownload(dialogs, list, dc);
    const double downloaded = t.nsecsElapsed() / 1e9;
    if (dialogs.boxes)
        std::fprintf(stderr, "the window showed a box: %s\n", qPrintable(dialogs.last));
    return {scanned, downloaded};
}

// Runs `parcelwise-cli save` over `stores`, `processes` at a time, each
// into its own folder below `target`. Answers the wall time.
double cliRun(const QStringList &stores, const QString &target, int processes) {
    QElapsedTimer t;
    t.start();
    qsizetype next = 0;
    std::vector<std::unique_ptr<QProcess>> running;
    while (next < stores.size() || !running.empty()) {
        while (static_cast<int>(running.size()) < processes && next < stores.size()) {
            auto p = std::make_unique<QProcess>();
            p->setStandardOutputFile(QProcess::nullDevice());
            p->start(QStringLiteral(PW_BENCH_CLI),
                     {QStringLiteral("save"), stores.at(next), QStringLiteral("--to"),
                      target + QStringLiteral("/%1").arg(next)});
            p->waitForStarted();
            running.push_back(std::move(p));
            ++next;
        }
        running.front()->waitForFinished(-1);
        if (running.front()->exitCode() != 0)
            std::fprintf(stderr, "parcelwise-cli failed: %s\n", running.front()->readAllStandardError().constData());
        running.erase(running.begin());
        // Whichever finished first frees a slot.
        for (auto it = running.begin(); it != running.end();) {
            if ((*it)->state() == QProcess::NotRunning) {
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
    return t.nsecsElapsed() / 1e9;
}

int countBelow(const QString &folder) {
    int n = 0;
    for (const QString &sub : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        n += fileCount(folder + QLatin1Char('/') + sub);
    return n;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    pst::installPstEngine();
    const QStringList args = app.arguments();
    QTemporaryDir tmp;
    const QString work = args.size() > 1 ? args.at(1) : tmp.path();
    const int rounds = args.size() > 2 ? args.at(2).toInt() : 3;
    const QString store = args.size() > 3 ? args.at(3) : QStringLiteral(PW_BENCH_STORE_5K);
    if (!QFile::exists(store)) {
        std::fprintf(stderr, "no store at %s\n", qPrintable(store));
        return 2;
    }
    QStringList stores;
    QDir().mkpath(work + QStringLiteral("/stores"));
    for (int i = 1; i <= 8; ++i) {
        const QString copy = work + QStringLiteral("/stores/store%1.pst").arg(i);
        if (!QFile::exists(copy))
            QFile::copy(store, copy);
        stores.append(copy);
    }

    std::vector<double> scans, downloads, clis, ones, twos;
    int windowFiles = 0, cliFiles = 0, oneFiles = 0, twoFiles = 0;
    for (int round = 0; round <= rounds; ++round) { // round 0 warms the cache
        const QString w = work + QStringLiteral("/window"), c = work + QStringLiteral("/cli");
        freshFolder(w);
        const auto [scan, download] = windowRun(stores.first(), w);
        windowFiles = fileCount(w);
        freshFolder(c);
        const double cli = cliRun({stores.first()}, c, 1);
        cliFiles = countBelow(c);
        freshFolder(c);
        const double one = cliRun(stores, c, 1);
        oneFiles = countBelow(c);
        freshFolder(c);
        const double two = cliRun(stores, c, 2);
        twoFiles = countBelow(c);
        if (round == 0)
            continue;
        scans.push_back(scan);
        downloads.push_back(download);
        clis.push_back(cli);
        ones.push_back(one);
        twos.push_back(two);
    }
    QDir(work + QStringLiteral("/window")).removeRecursively();
    QDir(work + QStringLiteral("/cli")).removeRecursively();

    const double scan = median(scans), download = median(downloads), cli = median(clis);
    const double one = median(ones), two = median(twos);
    std::printf("one store (%d / %d files): parcelwise-cli save %.3f s (whole process); window scan %.3f s, "
                "download %.3f s; cli / download %.3f (goal <= 1.1), cli / (scan + download) %.3f\n",
                cliFiles, windowFiles, cli, scan, download, cli / download, cli / (scan + download));
    std::printf("eight stores (%d / %d files): one process at a time %.3f s, two at once %.3f s; "
                "throughput ratio %.3f (goal >= 1.7)\n",
                oneFiles, twoFiles, one, two, one / two);
    return 0;
}
