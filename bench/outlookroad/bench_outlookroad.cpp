// "Start Downloading" with "All" on written stores through the real engine:
// 2,000 attachments of 1 MB and 20 of 50 MB, each against cp of the same
// bytes in the same run (goal: at most 1.25 times cp), with the process's
// peak memory (goal: under 100 MB whatever the attachment size).
//
//   bench_outlookroad [work folder] [store.pst ...]
#include "app/core/messagelistmodel.h"
#include "download/outlookdownload.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"
#include "platform/shell/qtdialogs.h"

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

namespace {

long peakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Answers every box with OK and remembers the last; a run must show none.
struct BenchDialogs : Dialogs {
    MsgResult messageBox(const QString &text, MsgButtons, MsgIcon, const QString &) override {
        ++boxes;
        last = text;
        return MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &d) override { return d; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return folder; }
    int boxes = 0;
    QString last;
    QString folder;
};

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

    std::vector<double> downloads, copies;
    qint64 bytes = 0;
    int files = 0;
    for (int round = 0; round <= rounds; ++round) { // round 0 warms the cache
        const QString saved = work + QStringLiteral("/saved"), copied = work + QStringLiteral("/copied");
        QDir(saved).removeRecursively();
        QDir(copied).removeRecursively();
        QDir().mkpath(saved);
        QProcess::execute(QStringLiteral("sync"), {});
        dialogs.folder = saved;
        QElapsedTimer t;
        t.start();
        OutlookDownload(dialogs, list, dc);
        QProcess::execute(QStringLiteral("sync"), {});
        const double d = seconds(t);
        t.restart();
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), saved, copied});
        QProcess::execute(QStringLiteral("sync"), {});
        const double c = seconds(t);
        if (dialogs.boxes) {
            std::fprintf(stderr, "%s: the download showed a box: %s\n", qPrintable(store), qPrintable(dialogs.last));
            return false;
        }
        if (round > 0) {
            downloads.push_back(d);
            copies.push_back(c);
        }
        bytes = 0;
        const QFileInfoList written = QDir(saved).entryInfoList(QDir::Files);
        files = static_cast<int>(written.size());
        for (const QFileInfo &f : written)
            bytes += f.size();
    }
    QDir(work + QStringLiteral("/saved")).removeRecursively();
    QDir(work + QStringLiteral("/copied")).removeRecursively();
    const double d = median(downloads), c = median(copies);
    std::printf("%s: %d files, %.0f MB; download All %.3f s, cp %.3f s, ratio %.3f (goal <= 1.25); "
                "peak RSS %ld MB (goal < 100)\n",
                qPrintable(QFileInfo(store).fileName()), files, bytes / 1048576.0, d, c, d / c, peakRssMb());
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
        ok = run(store, work, 3) && ok;
    return ok ? 0 : 1;
}
