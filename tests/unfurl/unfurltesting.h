#pragma once
// Helpers shared by the unfurl tests: running the program, hashing files,
// listing an output folder.

#include "dbxfixture.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <string>

namespace unfurl::testing {

struct RunResult {
    int exitCode = -1;
    QString standardOutput;
    QString standardError;
};

// Runs the built unfurl with the given arguments (30 s limit: a hang fails).
RunResult runUnfurl(const QStringList &arguments);

QString sha256OfFile(const QString &path);
QByteArray readWholeFile(const QString &path);
// The visible (non-hidden) file names in a folder, sorted.
QStringList filesIn(const QString &folder);

// A scratch folder with an "out" folder inside, and the path of a .dbx.
class Scratch {
public:
    Scratch();
    std::string dbx(const char *name = "Inbox.dbx") const;
    QString out() const;
    QString outFile(const QString &name) const { return out() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_dir;
};

// Messages numbered first, first+1, ... with distinct texts of the given size.
std::vector<fixture::FixtureMessage> numberedMessages(size_t count, size_t textSize = 300,
                                                      uint32_t first = 1);

} // namespace unfurl::testing
