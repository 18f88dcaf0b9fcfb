// Damage sweep: for each store, N copies with one byte changed at offsets
// spread evenly over the file, each opened, walked and every attachment
// saved in a child process of its own, the outcome sorted:
//
//   ok           walked without an error, nothing missing
//   silent loss  walked without an error, but fewer items or attachments
//                than the undamaged store (the damage went unreported)
//   damage       an error was reported (a pw::Error from the object model)
//   unexpected   an exception other than pw::Error escaped the engine
//   crash        the child died of a signal (or exited with another status)
//   sanitizer    AddressSanitizer / UBSan / LeakSanitizer printed a report
//   hang         the child ran past the time limit
//
//   damagesweep [--offsets N] [--timeout SECONDS] [--jobs N] [--memory MB] STORE...
//
// A store ending in .xz is unpacked first. The exit status is 0 when no copy
// crashed, hung, raised a sanitizer report or an unexpected exception, and 1
// otherwise; 2 for bad arguments or an unreadable store.
#include "storewalk.h"

#include <QCoreApplication>
#include <QFile>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define PW_SWEEP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PW_SWEEP_ASAN 1
#endif
#endif

namespace {

constexpr int kExitOk = 10;
constexpr int kExitDamage = 11;
constexpr int kExitUnexpected = 12;
constexpr int kExitSetup = 13;

struct Options {
    int offsets = 2000;
    int timeout = 60;
    int jobs = 1;
    long memoryMb = 2048;
    std::vector<std::string> stores;
};

struct Counts {
    int items = 0;
    int attachments = 0;
    int saved = 0;
};

// What a child writes back: its counts and the first error, one line.
struct ChildResult {
    int status = 0;  // from waitpid
    bool timedOut = false;
    Counts counts;
    std::string firstError;
    std::string stderrText;
};

bool writeAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

std::string readAllFd(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, std::size_t(n));
    }
    return out;
}

// The child: writes `bytes` to `path`, walks it, reports on `fd`, exits.
[[noreturn]] void childWalk(const std::string &bytes, const std::string &path, const std::string &saveDir,
                            int fd, const Options &options) {
    ::alarm(unsigned(options.timeout));
#ifndef PW_SWEEP_ASAN
    const rlim_t limit = rlim_t(options.memoryMb) << 20;
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_AS, &rl);
#endif
    {
        QFile out(QString::fromStdString(path));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()))
            ::_exit(kExitSetup);
    }
    const pw::storewalk::Report report =
        pw::storewalk::walkFile(QString::fromStdString(path), QString::fromStdString(saveDir), false);
    std::string first = !report.unexpected.empty() ? report.unexpected.front()
                        : !report.errors.empty()   ? report.errors.front()
                                                   : std::string();
    std::replace(first.begin(), first.end(), '\n', ' ');
    const std::string line = std::to_string(report.items) + " " + std::to_string(report.attachments) + " " +
                             std::to_string(report.saved.size()) + " " + first + "\n";
    writeAll(fd, line.data(), line.size());
    ::close(fd);
    QFile::remove(QString::fromStdString(path));
    ::_exit(!report.unexpected.empty() ? kExitUnexpected : !report.errors.empty() ? kExitDamage : kExitOk);
}

struct Running {
    pid_t pid = -1;
    int resultFd = -1;
    std::string stderrPath;
    std::chrono::steady_clock::time_point started;
    std::size_t index = 0;
};

Running startChild(const std::string &bytes, const std::string &scratch, std::size_t index, const Options &options) {
    int fds[2];
    if (::pipe(fds) != 0) {
        std::perror("damagesweep: pipe");
        std::exit(2);
    }
    Running run;
    run.index = index;
    run.stderrPath = scratch + "/stderr-" + std::to_string(index);
    run.started = std::chrono::steady_clock::now();
    const std::string saveDir = scratch + "/save-" + std::to_string(index);
    ::mkdir(saveDir.c_str(), 0700);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("damagesweep: fork");
        std::exit(2);
    }
    if (pid == 0) {
        ::close(fds[0]);
        const int err = ::open(run.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err >= 0) {
            ::dup2(err, 2);
            ::close(err);
        }
        childWalk(bytes, scratch + "/store-" + std::to_string(index), saveDir, fds[1], options);
    }
    ::close(fds[1]);
    run.pid = pid;
    run.resultFd = fds[0];
    return run;
}

ChildResult finishChild(Running &run, const std::string &scratch, int timeout) {
    ChildResult result;
    const std::string text = readAllFd(run.resultFd);
    ::close(run.resultFd);
    // The child's alarm ends a hang; this covers a child that blocks SIGALRM.
    for (;;) {
        const pid_t done = ::waitpid(run.pid, &result.status, WNOHANG);
        if (done == run.pid)
            break;
        if (std::chrono::steady_clock::now() - run.started > std::chrono::seconds(timeout + 10)) {
            ::kill(run.pid, SIGKILL);
            ::waitpid(run.pid, &result.status, 0);
            result.timedOut = true;
            break;
        }
        ::usleep(20000);
    }
    if (WIFSIGNALED(result.status) && WTERMSIG(result.status) == SIGALRM)
        result.timedOut = true;
    char first[1024] = {};
    std::sscanf(text.c_str(), "%d %d %d %1023[^\n]", &result.counts.items, &result.counts.attachments,
                &result.counts.saved, first);
    result.firstError = first;
    QFile err(QString::fromStdString(run.stderrPath));
    if (err.open(QIODevice::ReadOnly))
        result.stderrText = err.readAll().toStdString();
    err.close();
    QFile::remove(QString::fromStdString(run.stderrPath));
    QDir(QString::fromStdString(scratch + "/save-" + std::to_string(run.index))).removeRecursively();
    return result;
}

bool sanitizerReport(const std::string &text) {
    return text.find("ERROR: AddressSanitizer") != std::string::npos ||
           text.find("ERROR: LeakSanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos ||
           text.find("ERROR: UndefinedBehaviorSanitizer") != std::string::npos;
}

std::string classify(const ChildResult &r, const Counts &baseline) {
    if (sanitizerReport(r.stderrText))
        return "sanitizer";
    if (r.timedOut)
        return "hang";
    if (WIFSIGNALED(r.status))
        return "crash";
    if (!WIFEXITED(r.status))
        return "crash";
    switch (WEXITSTATUS(r.status)) {
    case kExitOk:
        return r.counts.items < baseline.items || r.counts.saved < baseline.saved ? "silent loss" : "ok";
    case kExitDamage:
        return "damage";
    case kExitUnexpected:
        return "unexpected";
    default:
        return "crash";
    }
}

bool readStore(const std::string &path, std::string &bytes) {
    if (path.size() > 3 && path.compare(path.size() - 3, 3, ".xz") == 0) {
        // popen rather than QProcess: the sweep forks, and keeps no threads.
        const std::string command = "xz -dc -- '" + path + "'";
        if (path.find('\'') != std::string::npos)
            return false;
        FILE *xz = ::popen(command.c_str(), "r");
        if (!xz)
            return false;
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, xz)) > 0)
            bytes.append(buffer, n);
        return ::pclose(xz) == 0 && !bytes.empty();
    }
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll().toStdString();
    return !bytes.empty();
}

// The n-th change: spread offsets, and a rotation of the kinds of damage
// a byte suffers (all bits, the low bit, cleared, set).
std::uint8_t changed(std::uint8_t old, std::size_t n) {
    switch (n % 4) {
    case 0:
        return std::uint8_t(~old);
    case 1:
        return std::uint8_t(old ^ 0x01);
    case 2:
        return old == 0 ? 0x80 : 0x00;
    default:
        return old == 0xFF ? 0x7F : 0xFF;
    }
}

int sweep(const std::string &store, const Options &options, const std::string &scratch) {
    std::string original;
    if (!readStore(store, original)) {
        std::fprintf(stderr, "damagesweep: cannot read %s\n", store.c_str());
        return 2;
    }
    const Counts none;
    Running base = startChild(original, scratch, 0, options);
    const ChildResult baseResult = finishChild(base, scratch, options.timeout);
    const std::string baseOutcome = classify(baseResult, none);
    const Counts baseline = baseResult.counts;
    std::printf("%s: %zu bytes; undamaged: %s, %d items, %d attachments, %d saved%s%s\n", store.c_str(),
                original.size(), baseOutcome.c_str(), baseline.items, baseline.attachments, baseline.saved,
                baseResult.firstError.empty() ? "" : "; first error: ", baseResult.firstError.c_str());

    const std::size_t count = std::min<std::size_t>(std::size_t(options.offsets), original.size());
    std::map<std::string, int> tally;
    bool failed = baseOutcome != "ok" && baseOutcome != "damage";
    std::vector<Running> running;
    std::vector<std::size_t> offsets(count);
    for (std::size_t n = 0; n < count; ++n)
        offsets[n] = std::size_t((double(n) + 0.5) * double(original.size()) / double(count));

    auto reap = [&](Running &run) {
        const ChildResult r = finishChild(run, scratch, options.timeout);
        const std::size_t n = run.index - 1;
        const std::string outcome = classify(r, baseline);
        ++tally[outcome];
        if (outcome == "ok" || outcome == "damage")
            return;
        if (outcome != "silent loss")
            failed = true;
        const std::uint8_t old = std::uint8_t(original[offsets[n]]);
        std::printf("  offset %zu: 0x%02x -> 0x%02x: %s (%d items, %d saved)%s%s\n", offsets[n], old,
                    changed(old, n), outcome.c_str(), r.counts.items, r.counts.saved,
                    r.firstError.empty() ? "" : ": ", r.firstError.c_str());
        if (outcome == "sanitizer" || outcome == "crash") {
            const std::size_t at = r.stderrText.find("ERROR:");
            const std::string excerpt =
                r.stderrText.substr(at == std::string::npos ? 0 : at, std::min<std::size_t>(r.stderrText.size(), 600));
            std::printf("    %s\n", excerpt.c_str());
        }
        std::fflush(stdout);
    };

    for (std::size_t n = 0; n < count; ++n) {
        std::string copy = original;
        copy[offsets[n]] = char(changed(std::uint8_t(copy[offsets[n]]), n));
        running.push_back(startChild(copy, scratch, n + 1, options));
        if (int(running.size()) >= options.jobs) {
            reap(running.front());
            running.erase(running.begin());
        }
    }
    for (Running &run : running)
        reap(run);

    std::printf("%s: %zu copies:", store.c_str(), count);
    for (const auto &[outcome, n] : tally)
        std::printf(" %s %d;", outcome.c_str(), n);
    std::printf("\n");
    std::fflush(stdout);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](long &target) {
            if (i + 1 >= argc)
                return false;
            char *end = nullptr;
            target = std::strtol(argv[++i], &end, 10);
            return end && *end == '\0' && target > 0;
        };
        long value = 0;
        if (arg == "--offsets" && number(value)) {
            options.offsets = int(value);
        } else if (arg == "--timeout" && number(value)) {
            options.timeout = int(value);
        } else if (arg == "--jobs" && number(value)) {
            options.jobs = int(value);
        } else if (arg == "--memory" && number(value)) {
            options.memoryMb = value;
        } else if (!arg.empty() && arg[0] != '-') {
            options.stores.push_back(arg);
        } else {
            std::fprintf(stderr,
                         "usage: damagesweep [--offsets N] [--timeout SECONDS] [--jobs N] [--memory MB] STORE...\n");
            return 2;
        }
    }
    if (options.stores.empty()) {
        std::fprintf(stderr, "damagesweep: no store given\n");
        return 2;
    }
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        std::fprintf(stderr, "damagesweep: no scratch folder\n");
        return 2;
    }
    int status = 0;
    for (const std::string &store : options.stores)
        status = std::max(status, sweep(store, options, scratch.path().toStdString()));
    return status;
}
