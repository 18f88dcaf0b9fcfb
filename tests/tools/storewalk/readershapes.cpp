// The hostile shapes of tests/tools/pstwriter/shapes.h read by the engine's
// own reader layer directly (store, folders, messages, attachments), each in
// a child process under a watchdog, judged as the shape tests judge the
// object model: ended, damage reported where there is damage, every
// expected folder walked once, subject listed and attachment streamed byte
// for byte (attached messages searched too). For use while the object model
// still reads with libpst; prints one line per shape, exit 1 if any fails.
//
//   readershapes [name...]
#include "pstwriter/shapes.h"

#include "core/error.h"
#include "platform/pst/messaging/messaging.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace pw::pst;
namespace shapes = pstwriter::shapes;

struct Seen {
    std::map<std::string, int> folders;
    std::set<std::string> subjects;
    std::map<std::string, std::string> files;        // top-level attachments, by file name
    std::map<std::string, std::string> nestedFiles;  // inside attached messages
    std::vector<std::string> errors;
    int folderVisits = 0;
};

template <typename F>
void guard(Seen &seen, const char *where, F &&f) {
    try {
        f();
    } catch (const pw::Error &e) {
        seen.errors.push_back(std::string(where) + ": " + e.what());
    }
}

void readMessage(const messaging::Message &message, int depth, Seen &seen) {
    if (depth == 0)
        guard(seen, "subject", [&] { seen.subjects.insert(message.properties().text(0x0037).value_or(QString()).toStdString()); });
    guard(seen, "attachments", [&] {
        for (std::uint32_t id : message.attachmentIds()) {
            guard(seen, "attachment", [&] {
                const messaging::Attachment a = message.attachment(id);
                if (a.method() == 5) {
                    if (depth < 64)
                        readMessage(*a.attachedMessage(), depth + 1, seen);
                    return;
                }
                std::string bytes;
                a.streamData(1 << 20, [&](const std::uint8_t *data, std::size_t size) {
                    bytes.append(reinterpret_cast<const char *>(data), size);
                    return true;
                });
                QString name = a.longFileName();
                if (name.isEmpty())
                    name = a.fileName();
                (depth == 0 ? seen.files : seen.nestedFiles)[name.toStdString()] = bytes;
            });
        }
    });
}

void readFolder(const std::shared_ptr<messaging::Store> &store, std::uint32_t nid, Seen &seen,
                std::set<std::uint32_t> &path) {
    if (++seen.folderVisits > 10000 || path.count(nid))
        return;  // a reader that hands a folder back as its own descendant
    path.insert(nid);
    ++seen.folders[store->folderName(nid).toStdString()];
    guard(seen, "messages", [&] {
        for (std::uint32_t m : store->children(nid, messaging::kNodeTypeMessage))
            guard(seen, "message", [&] { readMessage(messaging::Message(store, m), 0, seen); });
    });
    guard(seen, "folders", [&] {
        for (std::uint32_t f : store->children(nid, messaging::kNodeTypeFolder))
            readFolder(store, f, seen, path);
    });
    path.erase(nid);
}

std::vector<std::string> judge(const shapes::Expected &expected, const Seen &seen) {
    std::vector<std::string> faults;
    const bool damage = !seen.errors.empty();
    for (const auto &[name, n] : seen.folders) {
        if (n != 1)
            faults.push_back("folder '" + name + "' walked " + std::to_string(n) + " times");
    }
    for (const std::string &f : expected.folders) {
        if (!seen.folders.count(f))
            faults.push_back("folder '" + f + "' not found");
    }
    for (const std::string &s : expected.subjects) {
        if (!seen.subjects.count(s))
            faults.push_back("subject '" + s + "' not listed");
    }
    for (const std::string &s : expected.subjectsOrDamage) {
        if (!seen.subjects.count(s) && !damage)
            faults.push_back("subject '" + s + "' not listed, no damage reported");
    }
    int missing = 0;
    for (const auto &[name, bytes] : expected.files) {
        const auto it = seen.files.find(name);
        if ((it == seen.files.end() || it->second != bytes) && ++missing <= 3)
            faults.push_back("attachment '" + name + "' not read byte for byte");
    }
    if (missing > 3)
        faults.push_back(std::to_string(missing) + " attachments not read byte for byte in all");
    for (const auto &[name, bytes] : expected.filesOrDamage) {
        const auto it = seen.files.find(name);
        if ((it == seen.files.end() || it->second != bytes) && !damage)
            faults.push_back("attachment '" + name + "' not read, no damage reported");
    }
    for (const auto &[name, bytes] : expected.nestedFiles) {
        const auto it = seen.nestedFiles.find(name);
        if (it == seen.nestedFiles.end() || it->second != bytes)
            faults.push_back("attached message's '" + name + "' not read byte for byte");
    }
    if (expected.damage == shapes::Damage::None && damage)
        faults.push_back("damage reported in a sound store: " + seen.errors.front());
    if (expected.damage == shapes::Damage::Required && !damage)
        faults.push_back("the damage went unreported");
    return faults;
}

[[noreturn]] void child(const std::string &name) {
    alarm(30);
    const shapes::Shape shape = shapes::make(name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("shape.pst"));
    shape.store->write(path.toStdString());
    QElapsedTimer timer;
    timer.start();
    Seen seen;
    try {
        const auto store = messaging::Store::open(path);
        std::set<std::uint32_t> onPath;
        readFolder(store, messaging::kRootFolderNode, seen, onPath);
    } catch (const pw::Error &e) {
        seen.errors.push_back(std::string("open: ") + e.what());
    }
    const std::vector<std::string> faults = judge(shape.expected, seen);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%-26s %s  %lld ms, peak %ld MB, %zu errors%s%s\n", name.c_str(), faults.empty() ? "pass" : "FAIL",
                static_cast<long long>(timer.elapsed()), usage.ru_maxrss / 1024, seen.errors.size(),
                seen.errors.empty() ? "" : ", first: ", seen.errors.empty() ? "" : seen.errors.front().c_str());
    for (const std::string &f : faults)
        std::printf("    %s\n", f.c_str());
    std::fflush(stdout);
    dir.remove();
    _exit(faults.empty() ? 0 : 1);
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::string> names(argv + 1, argv + argc);
    if (names.empty())
        names = shapes::names();
    int failed = 0;
    for (const std::string &name : names) {
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0)
            child(name);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status))
            std::printf("%-26s FAIL  killed by signal %d%s\n", name.c_str(), WTERMSIG(status),
                        WTERMSIG(status) == SIGALRM ? " (watchdog: did not end in 30 s)" : "");
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::printf("%zu shapes, %d failed\n", names.size(), failed);
    return failed ? 1 : 0;
}
