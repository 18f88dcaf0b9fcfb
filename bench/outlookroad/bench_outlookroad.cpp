// "Start Downloading" with "All" on written stores through the real engine:
// 2,000 attachments of 1 MB (goal: at most 1.25 times cp of the same bytes
// in the same run) and 20 of 50 MB (goal: at most 1.1 times cp), with the
// process's peak memory (goal: under 100 MB whatever the attachment size;
// give one store per run to read it for that store alone).
//
//   bench_outlookroad [work folder] [store.pst ...]
#include "benchsupport.h"
#include "core/messagelistmodel.h"
#include "download/outlookdownload.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"
#include "widgets/qtdialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

using namespace pw;

using pw::bench::median;
using BenchDialogs = pw::bench::QuietDialogs;

namespace {

long peakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

double seconds(const QElapsedTimer &t) {
    return t.nsecsElapsed() / 1e9;
}

bool run(const QString &store, const QString &work, int rounds) {
    BenchDialogs dialogs;
    QtEventPump events;
    MessageListModel list;
    ScanControls sc;
    sc.option1Selected = [] { return false; };
    sc.option2Selected = [] { return true; };
    sc.pstPath = [&] { return store; };
    sc.searchText = [] { return QString(); };
    sc.setPointer = [](int) {};
    sc.redrawList = [] {};
    OutlookScan scan(dialogs, events, list, sc);
    scan.PushButton1_Click();
    if (dialogs.boxes || list.count() == 0) {
        std::fprintf(stderr, "%s: the scan listed %d rows: %s\n", qPrintable(store), list.count(), qPrintable(dialogs.last));
        return false;
    }
    DownloadControls dc;
    dc.choiceText = [] { return QStringLiteral("All"); };
    dc.setPointer = [](int) {};
    dc.sourcePstPath = [&] { return scan.listSourcePstPath; };

    // The yardstick copies the same files (the output of an untimed first
    // download) with cp -r. Each timed side starts from a synced disk with
    // both outputs deleted, and the two alternate which goes first, so
    // neither pays alone for the write-back of what was deleted before it.
    std::vector<double> downloads, copies;
    qint64 bytes = 0;
    int files = 0;
    const QString reference = work + QStringLiteral("/reference");
    const QString saved = work + QStringLiteral("/saved"), copied = work + QStringLiteral("/copied");
    auto clear = [&] {
        QDir(saved).removeRecursively();
        QDir(copied).removeRecursively();
        QDir().mkpath(saved);
        QProcess::execute(QStringLiteral("sync"), {});
    };
    auto download = [&](const QString &into) {
        dialogs.folder = into;
        QElapsedTimer t;
        t.start();
        OutlookDownload(dialogs, list, dc);
        QProcess::execute(QStringLiteral("sync"), {});
        return seconds(t);
    };
    auto copy = [&] {
        QElapsedTimer t;
        t.start();
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), reference, copied});
        QProcess::execute(QStringLiteral("sync"), {});
        return seconds(t);
    };
    QDir(reference).removeRecursively();
    QDir().mkpath(reference);
    download(reference); // also warms the cache
    for (int round = 0; round < rounds; ++round) {
        double d = 0, c = 0;
        clear();
        if (round % 2 == 0) {
            d = download(saved);
            clear();
            c = copy();
        } else {
            c = copy();
            clear();
            d = download(saved);
        }
        if (dialogs.boxes) {
            std::fprintf(stderr, "%s: the download showed a box: %s\n", qPrintable(store), qPrintable(dialogs.last));
            return false;
        }
        downloads.push_back(d);
        copies.push_back(c);
    }
    const QFileInfoList written = QDir(saved).entryInfoList(QDir::Files);
    files = static_cast<int>(written.size());
    for (const QFileInfo &f : written)
        bytes += f.size();
    QDir(reference).removeRecursively();
    QDir(work + QStringLiteral("/saved")).removeRecursively();
    QDir(work + QStringLiteral("/copied")).removeRecursively();
    const double d = median(downloads), c = median(copies);
    // Many small files may cost more than cp's per-file work; few large
    // ones are a matter of moving bytes.
    const double goal = files >= 1000 ? 1.25 : 1.1;
    std::printf("%s: %d files, %.0f MB; download All %.3f s, cp %.3f s, ratio %.3f (goal <= %.2f); "
                "peak RSS %ld MB (goal < 100)\n",
                qPrintable(QFileInfo(store).fileName()), files, bytes / 1048576.0, d, c, d / c, goal, peakRssMb());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    pw::pst::installPstEngine();
    QTemporaryDir tmp;
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args.at(1) : tmp.path();
    QStringList stores = args.mid(2);
#if defined(PW_BENCH_STORE_2000X1MB) && defined(PW_BENCH_STORE_20X50MB)
    if (stores.isEmpty())
        stores = {QStringLiteral(PW_BENCH_STORE_2000X1MB), QStringLiteral(PW_BENCH_STORE_20X50MB)};
#endif
    if (stores.isEmpty()) {
        std::fprintf(stderr, "usage: bench_outlookroad [work folder] store.pst ...\n");
        return 2;
    }
    bool ok = true;
    for (const QString &store : stores)
        ok = run(store, work, 4) && ok;
    return ok ? 0 : 1;
}
