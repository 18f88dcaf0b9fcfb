// Converts a generated .dbx of about 500 MB holding 50,000 messages and
// compares the time with one sequential read of the same file (cat to
// /dev/null) and with writing the same 50,000 files from an archive of
// them (tar -xf) into the same kind of folder, all in the same run. A
// second, smaller file shows whether the converter's memory grows with the
// file. Files are generated into a work folder (default: <build>/bench-data)
// and removed afterwards.
//
// Goals: conversion at most 1.5 times tar -xf of its own output; peak
// memory independent of size. The read alone (no files) shows what the
// format costs.

#include "dbxfixture.h"
#include "unfurl/dbxreader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using unfurl::fixture::FixtureMessage;

// Deterministic messages of 2,000 to 18,000 bytes (10,000 on average), CR LF
// text lines, so the file holds what a mail folder would.
class GeneratedMessages : public unfurl::fixture::MessageSource {
public:
    explicit GeneratedMessages(size_t count) : m_count(count) {}
    size_t count() const override { return m_count; }
    FixtureMessage messageAt(size_t i) const override {
        FixtureMessage m;
        m.number = static_cast<uint32_t>(i + 1);
        m.subject = "Generated message " + std::to_string(i + 1);
        m.messageId = "<gen" + std::to_string(i + 1) + "@bench.example>";
        return m;
    }
    uint32_t textSize(size_t i) const override {
        return 2000 + static_cast<uint32_t>(mix(i) % 16001);
    }
    void textOf(size_t i, std::string &text) const override {
        const uint32_t size = textSize(i);
        text = "From: Sender <sender@bench.example>\r\nTo: You <you@bench.example>\r\nSubject: Generated message " +
               std::to_string(i + 1) + "\r\n\r\n";
        uint64_t state = mix(i);
        while (text.size() < size) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const char c = static_cast<char>('a' + (state >> 59));
            text += (text.size() % 76 == 74) ? '\r' : (text.size() % 76 == 75) ? '\n' : c;
        }
        text.resize(size);
    }

private:
    static uint64_t mix(uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 33;
        return x;
    }
    size_t m_count;
};

// Rounds of the tar/unfurl comparison (--rounds), and whether to run only
// that (--writes-only, 50,000 messages).
int g_writeRounds = 3;
bool g_writesOnly = false;

struct RunStats {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system: less at the mercy of a busy machine
    long peakKib = 0;
    int status = -1;
};

RunStats spawnAndWait(const std::vector<std::string> &args, const std::string &stdoutPath) {
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    RunStats stats;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stats.peakKib = usage.ru_maxrss;
        stats.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        stats.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return stats;
}

// A child's peak RSS includes whatever its parent held when it was spawned,
// and the generator holds a lot. So programs are started by a small helper
// process forked before anything is allocated; a request goes over a pipe
// as its length, then NUL-terminated words (the last names the file that
// standard output goes to, empty for none).
class Spawner {
public:
    Spawner() {
        int toHelper[2], fromHelper[2];
        if (::pipe(toHelper) != 0 || ::pipe(fromHelper) != 0)
            std::abort();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(toHelper[1]);
            ::close(fromHelper[0]);
            serve(toHelper[0], fromHelper[1]);
            ::_exit(0);
        }
        ::close(toHelper[0]);
        ::close(fromHelper[1]);
        m_to = toHelper[1];
        m_from = fromHelper[0];
    }
    ~Spawner() {
        ::close(m_to);
        ::close(m_from);
        ::waitpid(m_pid, nullptr, 0);
    }
    // The last word is the file standard output goes to ("" = unchanged).
    RunStats run(const std::vector<std::string> &args, const std::string &stdoutPath) {
        std::string words;
        for (const auto &a : args)
            words += a + '\0';
        words += stdoutPath + '\0';
        const uint32_t length = static_cast<uint32_t>(words.size());
        std::string request(reinterpret_cast<const char *>(&length), sizeof length);
        request += words;
        if (::write(m_to, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            std::abort();
        RunStats stats;
        if (::read(m_from, &stats, sizeof stats) != sizeof stats)
            std::abort();
        return stats;
    }

private:
    static bool readExactly(int fd, void *data, size_t length) {
        auto *p = static_cast<char *>(data);
        while (length > 0) {
            const ssize_t n = ::read(fd, p, length);
            if (n <= 0)
                return false;
            p += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    static void serve(int in, int out) {
        for (;;) {
            uint32_t length = 0;
            if (!readExactly(in, &length, sizeof length))
                return;
            std::string payload(length, '\0');
            if (!readExactly(in, payload.data(), length))
                return;
            std::vector<std::string> words;
            for (size_t at = 0; at < payload.size();) {
                const size_t stop = payload.find('\0', at);
                words.push_back(payload.substr(at, stop - at));
                at = stop + 1;
            }
            const std::string target = words.back();
            words.pop_back();
            const RunStats stats = spawnAndWait(words, target);
            if (::write(out, &stats, sizeof stats) != sizeof stats)
                return;
        }
    }
    pid_t m_pid = -1;
    int m_to = -1, m_from = -1;
};

Spawner *g_spawner = nullptr;

RunStats run(const std::vector<std::string> &args, const char *stdoutPath) {
    return g_spawner->run(args, stdoutPath ? stdoutPath : "");
}

// Drops the file's pages from the page cache (only this file), so the next
// read comes from the disk.
void evict(const fs::path &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// Lets the disk finish writing what an earlier run left dirty.
void settle(const fs::path &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

// The reading half alone, in process: walk the index, read every record,
// stream every text to a sink that only counts. Shows what the format costs
// apart from creating files.
double readerOnly(const fs::path &dbx, uint64_t &textBytes) {
    const auto start = std::chrono::steady_clock::now();
    unfurl::DbxReader reader(dbx.string(), [](unfurl::Severity, const std::string &) {});
    textBytes = 0;
    reader.walk([&](uint32_t address) {
        const unfurl::MessageRecord record = reader.readRecord(address);
        if (record.firstBlock)
            reader.readText(*record.firstBlock, [&](const char *, size_t n) { textBytes += n; });
    });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Result {
    uint64_t bytes = 0;
    uint64_t textBytes = 0;
    double readerCold = 0, readerWarm = 0;
    double coldRead = 0, warmRead = 0;
    double coldReadCpu = 0, warmReadCpu = 0;
    RunStats cold, warm;
    size_t files = 0;
    // Writing the same files: the best of a few alternating rounds each.
    RunStats tarBest, unfurlBest;
};

// Removes a folder's files and waits until the disk has taken that in, so
// the next writer starts from the same state.
void clearFolder(const fs::path &folder) {
    fs::remove_all(folder);
    settle(folder.parent_path());
}

RunStats convert(const fs::path &dbx, const fs::path &out, size_t *files, bool keep = false) {
    fs::remove_all(out);
    fs::create_directories(out);
    settle(out);
    const RunStats stats = run({UNFURL_PROGRAM, dbx.string(), out.string()}, nullptr);
    if (files) {
        *files = 0;
        for (const auto &entry : fs::directory_iterator(out))
            *files += entry.is_regular_file();
    }
    if (!keep)
        clearFolder(out);
    return stats;
}

// Writes the converter's own output again from an archive of it, the
// baseline for creating that many files on this file system.
RunStats extract(const fs::path &archive, const fs::path &out) {
    fs::remove_all(out);
    fs::create_directories(out);
    settle(out);
    return run({"/bin/tar", "-xf", archive.string(), "-C", out.string()}, nullptr);
}

RunStats faster(const RunStats &a, const RunStats &b) {
    return a.status == 0 && (b.status != 0 || a.seconds < b.seconds) ? a : b;
}

Result measure(const fs::path &work, const fs::path &outRoot, size_t messages, bool keep) {
    const fs::path dbx = work / ("bench-" + std::to_string(messages) + ".dbx");
    const fs::path out = outRoot / ("out-" + std::to_string(messages));

    Result r;
    {
        const auto start = std::chrono::steady_clock::now();
        r.bytes = unfurl::fixture::writeDbx(dbx.string(), GeneratedMessages(messages)).fileSize;
        std::printf("  generated %s: %.1f MB, %zu messages in %.1f s\n", dbx.filename().c_str(),
                    r.bytes / 1e6, messages,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    // The generator's memory must not count as the converter's: spawned
    // children start out sharing the parent's pages.
    ::malloc_trim(0);
    settle(work);

    if (g_writesOnly) {
        r.warm = convert(dbx, out, &r.files, true);
    } else {
        // Cold: both start with the file out of the page cache.
        evict(dbx);
        const RunStats coldCat = run({"/bin/cat", dbx.string()}, "/dev/null");
        r.coldRead = coldCat.seconds;
        r.coldReadCpu = coldCat.cpuSeconds;
        evict(dbx);
        r.cold = convert(dbx, out, &r.files);
        // Warm: the file is in memory, as right after one has read it.
        run({"/bin/cat", dbx.string()}, "/dev/null");
        const RunStats warmCat = run({"/bin/cat", dbx.string()}, "/dev/null");
        r.warmRead = warmCat.seconds;
        r.warmReadCpu = warmCat.cpuSeconds;
        r.warm = convert(dbx, out, nullptr, true);
    }
    // The same files, written by tar from an archive of them, against
    // unfurl writing them, in turns; both read their input from the cache.
    const fs::path archive = work / ("bench-" + std::to_string(messages) + ".tar");
    // In name order, the order unfurl creates them in.
    run({"/bin/tar", "--sort=name", "-cf", archive.string(), "-C", out.string(), "."}, nullptr);
    clearFolder(out);
    run({"/bin/cat", archive.string()}, "/dev/null");
    r.tarBest.status = r.unfurlBest.status = -1;
    // The machine is shared: every round is shown, the best of each counts.
    // Every writer gets a folder of its own and nothing is deleted until the
    // end: ext4 passes over inodes freed in the last minutes when it
    // allocates new ones, so a writer that follows 50,000 deletions pays
    // for them (that is where most of the time went when each round cleared
    // the previous one's files).
    std::vector<fs::path> written;
    for (int round = 0; round < g_writeRounds; ++round) {
        const std::string suffix = "-" + std::to_string(round + 1);
        written.push_back(out.string() + "-tar" + suffix);
        const RunStats tar = extract(archive, written.back());
        written.push_back(out.string() + "-unfurl" + suffix);
        const RunStats ours = convert(dbx, written.back(), nullptr, true);
        std::printf("  round %d, %zu files: tar -xf %.2f s (CPU %.2f s), unfurl %.2f s (CPU %.2f s)\n", round + 1,
                    r.files, tar.seconds, tar.cpuSeconds, ours.seconds, ours.cpuSeconds);
        std::fflush(stdout);
        r.tarBest = faster(tar, r.tarBest);
        r.unfurlBest = faster(ours, r.unfurlBest);
    }
    for (const fs::path &folder : written)
        fs::remove_all(folder);
    settle(out.parent_path());
    fs::remove(archive);
    if (!g_writesOnly) {
        r.readerWarm = readerOnly(dbx, r.textBytes);
        evict(dbx);
        r.readerCold = readerOnly(dbx, r.textBytes);
    }
    if (!keep)
        fs::remove(dbx);
    return r;
}

} // namespace

int main(int argc, char **argv) {
    Spawner spawner;
    g_spawner = &spawner;
    fs::path work = BENCH_DEFAULT_DIR, outRoot;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep")
            keep = true;
        else if (arg == "--out" && i + 1 < argc)
            outRoot = argv[++i];
        else if (arg == "--writes-only")
            g_writesOnly = true;
        else if (arg == "--rounds" && i + 1 < argc)
            g_writeRounds = std::max(1, std::atoi(argv[++i]));
        else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "usage: bench_unfurl [--keep] [--writes-only] [--rounds N] [--out FOLDER] "
                                 "[WORK-FOLDER]\n");
            return 2;
        } else
            work = arg;
    }
    if (outRoot.empty())
        outRoot = work;
    fs::create_directories(work);
    fs::create_directories(outRoot);
    std::printf("unfurl benchmark: .dbx in %s, .eml into %s\n", work.c_str(), outRoot.c_str());

    if (g_writesOnly) {
        const Result large = measure(work, outRoot, 50000, keep);
        std::printf("%7.1f MB writing %zu files (best of %d): tar -xf %.2f s, unfurl %.2f s, ratio %.2f\n",
                    large.bytes / 1e6, large.files, g_writeRounds, large.tarBest.seconds, large.unfurlBest.seconds,
                    large.unfurlBest.seconds / large.tarBest.seconds);
        return large.tarBest.status == 0 && large.unfurlBest.status == 0 ? 0 : 1;
    }
    const Result small = measure(work, outRoot, 10000, keep);
    const Result large = measure(work, outRoot, 50000, keep);

    for (const Result *r : {&small, &large}) {
        std::printf("%7.1f MB cold: cat %.2f s, unfurl %.2f s, ratio %.2f | warm: cat %.2f s, unfurl %.2f s, "
                    "ratio %.2f | peak RSS %ld/%ld KiB, exit %d, %zu files\n",
                    r->bytes / 1e6, r->coldRead, r->cold.seconds, r->cold.seconds / r->coldRead, r->warmRead,
                    r->warm.seconds, r->warm.seconds / r->warmRead, r->cold.peakKib, r->warm.peakKib,
                    r->cold.status, r->files);
    }
    for (const Result *r : {&small, &large})
        std::printf("%7.1f MB CPU time: cat %.2f/%.2f s, unfurl %.2f/%.2f s (cold/warm)\n", r->bytes / 1e6,
                    r->coldReadCpu, r->warmReadCpu, r->cold.cpuSeconds, r->warm.cpuSeconds);
    for (const Result *r : {&small, &large})
        std::printf("%7.1f MB reader alone (%.1f MB of text, no files): cold %.2f s, ratio %.2f | warm %.2f s, "
                    "ratio %.2f\n",
                    r->bytes / 1e6, r->textBytes / 1e6, r->readerCold, r->readerCold / r->coldRead,
                    r->readerWarm, r->readerWarm / r->warmRead);
    for (const Result *r : {&small, &large})
        std::printf("%7.1f MB writing %zu files (best of %d): tar -xf %.2f s (CPU %.2f s), unfurl %.2f s "
                    "(CPU %.2f s), ratio %.2f\n",
                    r->bytes / 1e6, r->files, g_writeRounds, r->tarBest.seconds, r->tarBest.cpuSeconds,
                    r->unfurlBest.seconds, r->unfurlBest.cpuSeconds, r->unfurlBest.seconds / r->tarBest.seconds);
    const bool ok = large.cold.status == 0 && large.warm.status == 0 && large.files == 50000 &&
                    large.tarBest.status == 0 && large.unfurlBest.status == 0;
    const bool fast = large.unfurlBest.seconds <= 1.5 * large.tarBest.seconds;
    const bool flat = large.cold.peakKib <= small.cold.peakKib + 4096;
    std::printf("goal: at most 1.5x tar -xf of the same files: %s; memory independent of size: %s\n",
                fast ? "met" : "NOT met", flat ? "met" : "NOT met");
    return ok ? 0 : 1;
}
