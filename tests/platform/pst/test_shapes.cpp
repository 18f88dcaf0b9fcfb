// Stores of hostile and unusual shapes (see tests/tools/pstwriter/shapes.h),
// each opened, walked and every attachment saved through the object model in
// a child process under a watchdog: the walk must end, report damage where
// there is damage, lose nothing where there is none, and stay within memory
// bounded by the file's size.
#include "pstwriter/shapes.h"
#include "storewalk/storewalk.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define PW_SHAPES_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PW_SHAPES_ASAN 1
#endif
#endif

namespace {

namespace shapes = pstwriter::shapes;

// Far above what any shape needs on a sound reader; a reader that loops or
// expands without bound is stopped by it instead of holding up the run.
constexpr unsigned kWatchdogSeconds = 30;
// Address space a child may use beyond what it held at start (no limit under
// AddressSanitizer, which reserves its shadow up front).
constexpr rlim_t kAddressSpaceHeadroom = rlim_t(3) << 30;

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentRssKb() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return peakRssKb();
    return statm.readAll().split(' ').value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

void limitAddressSpace() {
#ifndef PW_SHAPES_ASAN
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return;
    const long pages = statm.readAll().split(' ').value(0).toLong();
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + kAddressSpaceHeadroom;
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
#endif
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray partContent(GMimePart *part) {
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    GMimeStream *stream = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(wrapper, stream);
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    QByteArray result(reinterpret_cast<const char *>(bytes->data), int(bytes->len));
    g_object_unref(stream);
    return result;
}

// The content of the first part named `name` anywhere in the MIME tree,
// attached messages included.
bool findPart(GMimeObject *object, const std::string &name, QByteArray &content) {
    if (!object)
        return false;
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage *message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        return message && findPart(g_mime_message_get_mime_part(message), name, content);
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            if (findPart(g_mime_multipart_get_part(multipart, i), name, content))
                return true;
        }
        return false;
    }
    if (GMIME_IS_PART(object)) {
        const char *filename = g_mime_part_get_filename(GMIME_PART(object));
        if (filename && name == filename) {
            content = partContent(GMIME_PART(object));
            return true;
        }
    }
    return false;
}

bool findInMessageFile(const QString &path, const std::string &name, QByteArray &content) {
    GMimeStream *stream = g_mime_stream_file_open(QFile::encodeName(path).constData(), "rb", nullptr);
    if (!stream)
        return false;
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    const bool found = message && findPart(g_mime_message_get_mime_part(message), name, content);
    if (message)
        g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
    return found;
}

std::string join(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &line : lines)
        out += "\n    " + line;
    return out;
}

// Everything the shape's expectation asks of the walk; one line per fault.
std::vector<std::string> judge(const shapes::Expected &expected, const pw::storewalk::Report &report) {
    std::vector<std::string> faults;
    if (report.limitReached)
        faults.push_back("the walk did not end within its limits (folders or items without end)");
    for (const std::string &u : report.unexpected)
        faults.push_back("unexpected exception: " + u);
    for (const auto &[name, visits] : report.folderVisits) {
        if (visits != 1)
            faults.push_back("folder '" + name + "' walked " + std::to_string(visits) + " times");
    }
    for (const std::string &folder : expected.folders) {
        if (report.folderVisits.count(folder) == 0)
            faults.push_back("folder '" + folder + "' not found");
    }
    const bool damageReported = !report.errors.empty();
    auto listed = [&](const std::string &subject) {
        return std::find(report.subjects.begin(), report.subjects.end(), subject) != report.subjects.end();
    };
    for (const std::string &subject : expected.subjectsOrDamage) {
        if (!listed(subject) && !damageReported)
            faults.push_back("no item with subject '" + subject + "', and no damage was reported");
    }
    for (const std::string &subject : expected.subjects) {
        if (std::find(report.subjects.begin(), report.subjects.end(), subject) == report.subjects.end())
            faults.push_back("no item with subject '" + subject + "'");
    }

    // Whether every saved copy named `name` holds `bytes` (and there is one).
    auto savedExactly = [&](const shapes::Expected::File &file, std::string *why) {
        int copies = 0;
        for (const pw::storewalk::SavedFile &saved : report.saved) {
            if (saved.name != file.first)
                continue;
            ++copies;
            const QByteArray bytes = readFile(saved.path);
            if (bytes.size() != qsizetype(file.second.size()) ||
                std::string(bytes.constData(), std::size_t(bytes.size())) != file.second) {
                *why = "saved with " + std::to_string(bytes.size()) + " bytes that differ from the " +
                       std::to_string(file.second.size()) + " written";
                return false;
            }
        }
        if (copies == 0)
            *why = "not listed or not saved";
        return copies > 0;
    };
    // Many attachments fail alike: the first few by name, then the count.
    int missing = 0;
    for (const auto &file : expected.files) {
        std::string why;
        if (!savedExactly(file, &why) && ++missing <= 5)
            faults.push_back("attachment '" + file.first + "' " + why);
    }
    if (missing > 5)
        faults.push_back(std::to_string(missing) + " of " + std::to_string(expected.files.size()) +
                         " attachments not saved byte for byte in all");
    for (const auto &file : expected.filesOrDamage) {
        std::string why;
        if (!savedExactly(file, &why) && !damageReported)
            faults.push_back("attachment '" + file.first + "' " + why + ", and no damage was reported");
    }
    for (const auto &file : expected.nestedFiles) {
        bool found = false;
        for (const pw::storewalk::SavedFile &saved : report.saved) {
            QByteArray content;
            if (findInMessageFile(saved.path, file.first, content)) {
                found = true;
                if (content.toStdString() != file.second)
                    faults.push_back("attached message's '" + file.first + "' has other bytes than written");
                break;
            }
        }
        if (!found)
            faults.push_back("no saved attached message holds '" + file.first + "'");
    }
    if (expected.damage == shapes::Damage::None && damageReported)
        faults.push_back("damage reported in a sound store:" + join(report.errors));
    if (expected.damage == shapes::Damage::Required && !damageReported)
        faults.push_back("the damage went unreported");
    return faults;
}

// Runs in the child: builds, writes, walks and judges one shape, then exits
// 0 when all is well and 1 with the faults on stderr otherwise.
[[noreturn]] void runShape(const std::string &name) {
    alarm(kWatchdogSeconds);
    limitAddressSpace();
    g_mime_init();
    const shapes::Shape shape = shapes::make(name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromStdString(name) + QStringLiteral(".pst"));
    shape.store->write(path.toStdString());
    QDir().mkpath(dir.filePath(QStringLiteral("saved")));
    const qint64 fileSize = QFileInfo(path).size();

    const long rssBefore = currentRssKb();
    QElapsedTimer timer;
    timer.start();
    const pw::storewalk::Report report =
        pw::storewalk::walkFile(path, dir.filePath(QStringLiteral("saved")), true);
    const qint64 elapsed = timer.elapsed();
    const long growthKb = peakRssKb() - rssBefore;

    std::vector<std::string> faults = judge(shape.expected, report);
    const long boundKb = 64 * 1024 + 2 * long(fileSize / 1024);
    if (growthKb > boundKb)
        faults.push_back("peak memory grew by " + std::to_string(growthKb / 1024) + " MB for a file of " +
                         std::to_string(fileSize / 1024) + " KB");
    std::fprintf(stderr, "shape %s: %lld ms, %d items, %d attachments, %zu saved, %zu errors, peak +%ld KB%s\n",
                 name.c_str(), static_cast<long long>(elapsed), report.items, report.attachments,
                 report.saved.size(), report.errors.size(), growthKb,
                 report.errors.empty() ? "" : (", first error: " + report.errors.front()).c_str());
    for (const std::string &fault : faults)
        std::fprintf(stderr, "FAULT: %s\n", fault.c_str());
    std::fflush(stderr);
    dir.remove();
    _exit(faults.empty() ? 0 : 1);
}

class PstShapes : public ::testing::TestWithParam<std::string> {};

TEST_P(PstShapes, EndsReportsDamageAndLosesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runShape(GetParam()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Written, PstShapes, ::testing::ValuesIn(shapes::names()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
