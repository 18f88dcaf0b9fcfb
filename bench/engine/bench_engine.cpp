// Walks every folder and item of a mail file the way the scan does (folder
// names and counts; each item's class; for mail its attachment count,
// received time, sender name, type and address, subject and EntryID), once
// through the engine and once with bare libpst calls reading the same
// properties (bare_libpst_walk.c), alternating, and prints both times and
// their ratio.
//
//   bench_engine [file.pst|file.ost] [rounds]
//   bench_engine scan file.pst     one scan into the list, then the process's
//                                  memory; for whole-process timings against
//                                  the bare_libpst_walk program
//   bench_engine reopen file.pst   GetItemFromID for every mail of the file
//
// Without a path it walks the largest .pst of the sample corpus and the
// 100,000-message store of bench/data when that was built; any other file
// (a generated store, a real mailbox) can be passed instead.
#include "core/messagelistmodel.h"
#include "outlook/outlookmodel.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"
#include "widgets/qtdialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "bare_libpst_walk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace pw::outlook;
using Clock = std::chrono::steady_clock;

namespace {

struct Counts {
    QStringList entryIds; // of the mail, for the reopen timing
    long folders = 0;
    long items = 0;
    long mails = 0;
    std::size_t bytes = 0; // keeps the reads from being optimised away
};

// ---- through the engine --------------------------------------------------

void engineFolder(const FolderPtr &folder, Counts &counts) {
    ++counts.folders;
    counts.bytes += static_cast<std::size_t>(folder->name().size());
    auto children = folder->Folders();
    const int childCount = children->count();
    for (int i = 1; i <= childCount; ++i)
        engineFolder(children->Item(i), counts);
    auto items = folder->Items();
    const int itemCount = items->count();
    for (int i = 1; i <= itemCount; ++i) {
        auto item = items->Item(i);
        ++counts.items;
        if (item->Class() != olMail)
            continue;
        ++counts.mails;
        counts.bytes += static_cast<std::size_t>(item->Attachments()->count());
        counts.bytes += static_cast<std::size_t>(item->ReceivedTime().toSecsSinceEpoch() & 1);
        counts.bytes += static_cast<std::size_t>(item->SenderName().size());
        if (item->SenderEmailType() == QLatin1String("SMTP"))
            counts.bytes += static_cast<std::size_t>(item->SenderEmailAddress().size());
        counts.bytes += static_cast<std::size_t>(item->Subject().size());
        const QString id = item->EntryID();
        counts.bytes += static_cast<std::size_t>(id.size());
        counts.entryIds.append(id);
    }
}

Counts engineWalk(const QString &path) {
    Counts counts;
    auto application = pw::pst::createPstApplication({path});
    auto roots = application->GetNamespace(QStringLiteral("MAPI"))->Folders();
    for (int i = 1; i <= roots->count(); ++i)
        engineFolder(roots->Item(i), counts);
    return counts;
}

// ---- bare libpst (bare_libpst_walk.c) --------------------------------------

Counts bareWalk(const QString &path) {
    Counts counts;
    bare_counts bare{};
    const QByteArray name = QFile::encodeName(path);
    if (bare_libpst_walk(name.constData(), &bare)) {
        counts.folders = bare.folders;
        counts.items = bare.items;
        counts.mails = bare.mails;
        counts.bytes = bare.bytes;
    }
    return counts;
}

// ---- the program's own scan: walk, rows, events ----------------------------

// Answers every box with OK; a benchmark run must show none.
struct CountingDialogs : pw::Dialogs {
    pw::MsgResult messageBox(const QString &, pw::MsgButtons, pw::MsgIcon, const QString &) override {
        ++boxes;
        return pw::MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &d) override { return d; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return {}; }
    int boxes = 0;
};

// "Get All Emails From Outlook" (or "Find" with `search`) on the file as the
// PST source; answers the rows listed, or -1 when a box was shown.
int scanIntoList(const QString &path, const QString &search, pw::MessageListModel &list) {
    CountingDialogs dialogs;
    pw::QtEventPump events;
    pw::ScanControls controls;
    controls.option1Selected = [] { return false; };
    controls.option2Selected = [] { return true; };
    controls.pstPath = [&] { return path; };
    controls.searchText = [&] { return search; };
    controls.setPointer = [](int) {};
    controls.redrawList = [] {};
    pw::OutlookScan scan(dialogs, events, list, controls);
    ScopedCreator engine([](const QString &) { return pw::pst::createPstApplication(QStringList()); });
    if (search.isNull())
        scan.PushButton1_Click();
    else
        scan.PushButton2_Click();
    return dialogs.boxes ? -1 : list.count();
}

int scanIntoList(const QString &path, const QString &search) {
    pw::MessageListModel list;
    return scanIntoList(path, search, list);
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in MB.
double statusMb(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// One scan into the list, as the window runs it, and the memory the process
// holds with the list still filled.
int scanOnce(const QString &path) {
    pw::MessageListModel list;
    const auto start = Clock::now();
    const int rows = scanIntoList(path, QString(), list);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("scan: %d rows in %.2f ms; with the list filled: resident %.1f MB, peak %.1f MB\n", rows, ms,
                statusMb("VmRSS"), statusMb("VmHWM"));
    return rows > 0 ? 0 : 1;
}

// GetItemFromID for every mail of the file, in one session opened first
// (its opening timed on its own).
int reopenAll(const QString &path) {
    const Counts counts = engineWalk(path);
    const auto start = Clock::now();
    auto ns = pw::pst::createPstApplication({path})->GetNamespace(QStringLiteral("MAPI"));
    (void)ns->Folders()->count();
    const auto opened = Clock::now();
    long reopened = 0;
    for (const QString &id : counts.entryIds)
        reopened += ns->GetItemFromID(id)->EntryID() == id;
    const auto end = Clock::now();
    std::printf("reopen: session opened in %.2f ms; %ld of %lld mail by EntryID in %.2f ms (goal < 1000 ms)\n",
                std::chrono::duration<double, std::milli>(opened - start).count(), reopened,
                static_cast<long long>(counts.entryIds.size()),
                std::chrono::duration<double, std::milli>(end - opened).count());
    return reopened == counts.entryIds.size() ? 0 : 1;
}

QString largestCorpusPst() {
    QFileInfo largest;
    const QDir dir(QStringLiteral(PW_CORPUS_DIR "/pst"));
    for (const QFileInfo &info : dir.entryInfoList({QStringLiteral("*.pst")}, QDir::Files)) {
        if (info.size() > largest.size())
            largest = info;
    }
    return largest.filePath();
}

double medianMs(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Times both walks over `path`, alternating; false when they disagree.
bool compare(const QString &path, int rounds) {
    std::vector<double> engineTimes;
    std::vector<double> bareTimes;
    Counts engineCounts;
    Counts bareCounts;
    // One of each first, untimed, so both find the file in the page cache.
    engineWalk(path);
    bareWalk(path);
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        engineCounts = engineWalk(path);
        const auto middle = Clock::now();
        bareCounts = bareWalk(path);
        const auto end = Clock::now();
        engineTimes.push_back(std::chrono::duration<double, std::milli>(middle - start).count());
        bareTimes.push_back(std::chrono::duration<double, std::milli>(end - middle).count());
    }
    const double engine = medianMs(engineTimes);
    const double bare = medianMs(bareTimes);
    std::printf("file:   %s (%lld bytes)\n", qPrintable(QDir::toNativeSeparators(path)),
                static_cast<long long>(QFileInfo(path).size()));
    std::printf("walked: %ld folders, %ld items, %ld mail (engine) / %ld folders, %ld items, %ld mail (bare)\n",
                engineCounts.folders, engineCounts.items, engineCounts.mails, bareCounts.folders, bareCounts.items,
                bareCounts.mails);
    std::printf("engine: %.2f ms  (median of %d)\n", engine, rounds);
    std::printf("bare:   %.2f ms  (median of %d)\n", bare, rounds);
    std::printf("ratio:  %.3f  (goal <= 1.3)\n", bare > 0 ? engine / bare : 0.0);

    // The scan as the window runs it, and a search for a text that occurs in
    // about one body in a hundred, against the same bare walk.
    std::vector<double> scanTimes, searchTimes;
    int rows = 0, found = 0;
    for (int round = 0; round < std::max(1, rounds / 2); ++round) {
        const auto start = Clock::now();
        rows = scanIntoList(path, QString());
        const auto middle = Clock::now();
        found = scanIntoList(path, QStringLiteral("report number 42"));
        scanTimes.push_back(std::chrono::duration<double, std::milli>(middle - start).count());
        searchTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - middle).count());
    }
    const double scanMs = medianMs(scanTimes), searchMs = medianMs(searchTimes);
    std::printf("scan:   %.2f ms for %d rows, %.3f of the engine walk (goal <= 1.10), %.3f of the bare walk (goal <= 1.3)\n",
                scanMs, rows, engine > 0 ? scanMs / engine : 0.0, bare > 0 ? scanMs / bare : 0.0);
    std::printf("search: %.2f ms, %d rows found, %.3f of the scan (goal <= 1.5)\n", searchMs, found,
                scanMs > 0 ? searchMs / scanMs : 0.0);

    // What a download does per row: reopen the message by its EntryID.
    const auto reopenStart = Clock::now();
    auto ns = pw::pst::createPstApplication({path})->GetNamespace(QStringLiteral("MAPI"));
    long reopened = 0;
    for (const QString &id : std::as_const(engineCounts.entryIds))
        reopened += ns->GetItemFromID(id)->EntryID() == id;
    const double reopenMs = std::chrono::duration<double, std::milli>(Clock::now() - reopenStart).count();
    std::printf("reopen: %ld of %lld mail by EntryID in %.2f ms, session opening included\n\n", reopened,
                static_cast<long long>(engineCounts.entryIds.size()), reopenMs);
    if (engineCounts.items != bareCounts.items || engineCounts.mails != bareCounts.mails) {
        std::fprintf(stderr, "the two walks saw different items\n");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("scan"))
        return scanOnce(args.at(2));
    if (args.size() == 3 && args.at(1) == QLatin1String("reopen"))
        return reopenAll(args.at(2));
    const int rounds = args.size() > 2 ? std::max(1, args.at(2).toInt()) : 5;
    QStringList paths;
    if (args.size() > 1) {
        paths.append(args.at(1));
    } else {
        paths.append(largestCorpusPst());
#ifdef PW_BENCH_STORE_100K
        paths.append(QStringLiteral(PW_BENCH_STORE_100K));
        paths.append(QStringLiteral(PW_BENCH_STORE_100K_ONEFOLDER));
#endif
    }
    bool ok = true;
    for (const QString &path : paths) {
        if (path.isEmpty() || !QFileInfo::exists(path)) {
            std::fprintf(stderr, "usage: bench_engine [file.pst|file.ost] [rounds]\n(no file at '%s')\n", qPrintable(path));
            return 2;
        }
        ok = compare(path, rounds) && ok;
    }
    return ok ? 0 : 1;
}
