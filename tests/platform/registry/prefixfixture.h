#pragma once
// A throw-away Wine prefix for tests: registry files, drive links and a
// drive_c tree, with $WINEPREFIX pointing at it while the fixture lives.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <utility>
#include <vector>

inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace pw::test {

// Sets or clears an environment variable and puts it back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, std::optional<QByteArray> value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name))
            m_saved = qgetenv(name);
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv() {
        if (m_saved)
            qputenv(m_name, *m_saved);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    std::optional<QByteArray> m_saved;
};

class PrefixFixture {
public:
    PrefixFixture()
        : m_prefix("WINEPREFIX", m_dir.path().toUtf8()), m_profile("USERPROFILE", std::nullopt),
          m_user("USER", QByteArray("tester")) {}

    QString folder() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

    // Writes user.reg: Wine's header followed by `body`.
    void writeUserReg(const QByteArray &body) { writeFile(QStringLiteral("user.reg"), header("User") + body); }
    void writeSystemReg(const QByteArray &body) { writeFile(QStringLiteral("system.reg"), header("Machine") + body); }

    void writeFile(const QString &relative, const QByteArray &bytes) {
        const QString file = path(relative);
        QDir().mkpath(file.left(file.lastIndexOf(QLatin1Char('/'))));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file.toStdString();
        out.write(bytes);
    }

    // Makes drive_c and links dosdevices/c: to it, as Wine does.
    void linkDriveC() {
        QDir().mkpath(path(QStringLiteral("drive_c")));
        QDir().mkpath(path(QStringLiteral("dosdevices")));
        ASSERT_TRUE(QFile::link(QStringLiteral("../drive_c"), path(QStringLiteral("dosdevices/c:"))));
    }

    // Creates an empty file (and its folders) below the prefix.
    void touch(const QString &relative) { writeFile(relative, QByteArray("x")); }

private:
    static QByteArray header(const char *root) {
        return QByteArray("WINE REGISTRY Version 2\n;; All keys relative to \\\\") + root
               + "\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n";
    }

    QTemporaryDir m_dir;
    ScopedEnv m_prefix;
    ScopedEnv m_profile;
    ScopedEnv m_user;
};

} // namespace pw::test
