#include "unfurltesting.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

namespace unfurl::testing {

RunResult runUnfurl(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral(PW_BIN_DIR "/unfurl"), arguments);
    RunResult result;
    if (!process.waitForStarted(10000))
        return result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        result.standardError = QStringLiteral("<timed out>");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.standardOutput = QString::fromUtf8(process.readAllStandardOutput());
    result.standardError = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QByteArray readWholeFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString sha256OfFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing %1>").arg(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

QStringList filesIn(const QString &folder) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

Scratch::Scratch() { QDir(m_dir.path()).mkdir(QStringLiteral("out")); }

std::string Scratch::dbx(const char *name) const {
    return (m_dir.path() + QLatin1Char('/') + QString::fromUtf8(name)).toStdString();
}

QString Scratch::out() const { return m_dir.path() + QStringLiteral("/out"); }

std::vector<fixture::FixtureMessage> numberedMessages(size_t count, size_t textSize, uint32_t first) {
    std::vector<fixture::FixtureMessage> messages;
    for (size_t i = 0; i < count; ++i) {
        fixture::FixtureMessage m;
        m.number = first + static_cast<uint32_t>(i);
        m.text = "Subject: message " + std::to_string(m.number) + "\r\n\r\n";
        while (m.text.size() < textSize)
            m.text += static_cast<char>('a' + (m.text.size() * 7 + i) % 26);
        m.text.resize(textSize);
        messages.push_back(std::move(m));
    }
    return messages;
}

} // namespace unfurl::testing
