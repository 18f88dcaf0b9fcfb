// Walks every folder and item of a mail file the way the scan does (folder
// names and counts; each item's class; for mail its attachment count,
// received time, sender name, type and address, subject and EntryID), once
// through the engine and once with bare libpff calls reading the same
// properties, alternating, and prints both times and their ratio.
//
//   bench_engine [file.pst|file.ost] [rounds]
//
// Without a path it walks the largest .pst of the sample corpus and the
// 100,000-message store of bench/data when that was built; any other file
// (a generated store, a real mailbox) can be passed instead.
#include "app/core/messagelistmodel.h"
#include "outlook/outlookmodel.h"
#include "outlook/outlookscan.h"
#include "platform/pst/pstengine.h"
#include "platform/shell/qtdialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <libpff.h>

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

// ---- bare libpff -----------------------------------------------------------

bool messageString(libpff_item_t *message, uint32_t type, std::string &out) {
    size_t size = 0;
    if (libpff_message_get_entry_value_utf8_string_size(message, type, &size, nullptr) != 1)
        return false;
    out.resize(size);
    if (size > 0
        && libpff_message_get_entry_value_utf8_string(message, type, reinterpret_cast<uint8_t *>(out.data()), size, nullptr) != 1)
        return false;
    return true;
}

uint32_t leU32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

bool binaryProperty(libpff_item_t *item, uint32_t type, std::vector<uint8_t> &out) {
    libpff_record_set_t *set = nullptr;
    libpff_record_entry_t *entry = nullptr;
    bool ok = false;
    size_t size = 0;
    if (libpff_item_get_record_set_by_index(item, 0, &set, nullptr) == 1
        && libpff_record_set_get_entry_by_type(set, type, 0, &entry, LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, nullptr) == 1
        && libpff_record_entry_get_data_size(entry, &size, nullptr) == 1) {
        out.resize(size);
        ok = size == 0 || libpff_record_entry_get_data(entry, out.data(), size, nullptr) == 1;
    }
    if (entry)
        libpff_record_entry_free(&entry, nullptr);
    if (set)
        libpff_record_set_free(&set, nullptr);
    return ok;
}

void bareFolder(libpff_item_t *folder, const std::vector<uint8_t> &recordKey, Counts &counts) {
    ++counts.folders;
    size_t nameSize = 0;
    if (libpff_folder_get_utf8_name_size(folder, &nameSize, nullptr) == 1) {
        std::string name(nameSize, '\0');
        libpff_folder_get_utf8_name(folder, reinterpret_cast<uint8_t *>(name.data()), nameSize, nullptr);
        counts.bytes += nameSize;
    }
    int childCount = 0;
    libpff_folder_get_number_of_sub_folders(folder, &childCount, nullptr);
    for (int i = 0; i < childCount; ++i) {
        libpff_item_t *child = nullptr;
        if (libpff_folder_get_sub_folder(folder, i, &child, nullptr) == 1) {
            bareFolder(child, recordKey, counts);
            libpff_item_free(&child, nullptr);
        }
    }
    int itemCount = 0;
    libpff_folder_get_number_of_sub_messages(folder, &itemCount, nullptr);
    std::string text;
    for (int i = 0; i < itemCount; ++i) {
        libpff_item_t *message = nullptr;
        if (libpff_folder_get_sub_message(folder, i, &message, nullptr) != 1)
            continue;
        ++counts.items;
        const bool hasClass = messageString(message, 0x001A, text);
        const bool mail = !hasClass || text.rfind("IPM.Note", 0) == 0;
        if (mail) {
            ++counts.mails;
            int attachments = 0;
            libpff_message_get_number_of_attachments(message, &attachments, nullptr);
            counts.bytes += static_cast<std::size_t>(attachments);
            uint64_t filetime = 0;
            if (libpff_message_get_delivery_time(message, &filetime, nullptr) != 1
                && libpff_message_get_client_submit_time(message, &filetime, nullptr) != 1)
                libpff_message_get_creation_time(message, &filetime, nullptr);
            counts.bytes += filetime & 1;
            if (messageString(message, 0x0C1A, text) || messageString(message, 0x0042, text))
                counts.bytes += text.size();
            std::string type;
            if (!messageString(message, 0x0C1E, type))
                messageString(message, 0x0064, type);
            if (type.c_str() == std::string("SMTP")
                && (messageString(message, 0x0C1F, text) || messageString(message, 0x0065, text)))
                counts.bytes += text.size();
            if (messageString(message, 0x0037, text))
                counts.bytes += text.size();
            uint32_t id = 0;
            libpff_item_get_identifier(message, &id, nullptr);
            char hex[49];
            std::snprintf(hex, sizeof hex, "00000000");
            for (std::size_t k = 0; k < recordKey.size() && k < 16; ++k)
                std::snprintf(hex + 8 + 2 * k, 3, "%02X", recordKey[k]);
            std::snprintf(hex + 40, 9, "%02X%02X%02X%02X", id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF, id >> 24);
            counts.bytes += std::string(hex).size();
        }
        libpff_item_free(&message, nullptr);
    }
}

Counts bareWalk(const QString &path) {
    Counts counts;
    libpff_file_t *file = nullptr;
    if (libpff_file_initialize(&file, nullptr) != 1)
        return counts;
    const QByteArray name = QFile::encodeName(path);
    if (libpff_file_open(file, name.constData(), LIBPFF_OPEN_READ, nullptr) == 1) {
        libpff_item_t *store = nullptr;
        libpff_item_t *root = nullptr;
        std::vector<uint8_t> recordKey;
        std::vector<uint8_t> subtree;
        if (libpff_file_get_message_store(file, &store, nullptr) == 1) {
            binaryProperty(store, 0x0FF9, recordKey);
            if (binaryProperty(store, 0x35E0, subtree) && subtree.size() >= 4)
                libpff_file_get_item_by_identifier(file, leU32(subtree.data() + subtree.size() - 4), &root, nullptr);
        }
        if (!root)
            libpff_file_get_root_folder(file, &root, nullptr);
        if (root) {
            bareFolder(root, recordKey, counts);
            libpff_item_free(&root, nullptr);
        }
        if (store)
            libpff_item_free(&store, nullptr);
        libpff_file_close(file, nullptr);
    }
    libpff_file_free(&file, nullptr);
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
int scanIntoList(const QString &path, const QString &search) {
    CountingDialogs dialogs;
    pw::QtEventPump events;
    pw::MessageListModel list;
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
    const QStringList args = app.arguments();
    const int rounds = args.size() > 2 ? std::max(1, args.at(2).toInt()) : 5;
    QStringList paths;
    if (args.size() > 1) {
        paths.append(args.at(1));
    } else {
        paths.append(largestCorpusPst());
#ifdef PW_BENCH_STORE_100K
        paths.append(QStringLiteral(PW_BENCH_STORE_100K));
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
