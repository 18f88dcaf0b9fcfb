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

// Leaks inside libpff itself, on its error paths while reading damaged
// files: nothing our code holds or could free. libpff has no frame pointers,
// so with fast unwinding a report may show only the libpff function that
// allocated; column definitions never leave its tables. Read by LeakSanitizer
// at start-up, in the fuzz targets and in the tests that replay their inputs.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libpff_table_read_7c_column_definitions\n"
           "leak:libpff_column_definition_initialize\n";
}
