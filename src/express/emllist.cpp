#include "express/emllist.h"

#include "app/core/error.h"
#include "app/core/fileroutines.h"
#include "platform/mime/mailtext.h"
#include "platform/mime/mimemessage.h"

#include <QDir>
#include <QFile>
#include <QSet>

namespace pw::Express1 {

namespace {

QStringView trimSpaces(QStringView text) {
    while (!text.isEmpty() && text.front() == QLatin1Char(' '))
        text = text.sliced(1);
    while (!text.isEmpty() && text.back() == QLatin1Char(' '))
        text.chop(1);
    return text;
}

} // namespace

QString GetHeaderValue(const QString &messageText, const QString &headerName) {
    const QStringView text(messageText);
    const qsizetype needed = headerName.size() + 1;
    qsizetype start = 0;
    for (;;) {
        qsizetype end = text.indexOf(u"\r\n", start);
        if (end < 0)
            end = text.size();
        const QStringView line = text.sliced(start, end - start);
        if (line.size() >= needed && line.at(headerName.size()) == QLatin1Char(':') && line.startsWith(headerName))
            return trimSpaces(line.sliced(needed)).toString();
        if (end >= text.size())
            return QString();
        start = end + 2;
    }
}

QString ReadFileText(const QString &path) {
    if (!FileExists(path))
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    if (file.size() <= 0)
        return QStringLiteral("empty file");
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Error(QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    return decodeMailText(bytes);
}

void ListEmlMessages(const QString &folder, MessageListModel &list, QStringList &EmlFileNames) {
    if (folder.isEmpty())
        throw Error(QStringLiteral("No folder was given to list the converted messages of"));
    const QStringList names = QDir(folder).entryList(QStringList{QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    // Several conversions in one run list the same folder again; each file
    // is listed once.
    QSet<QString> listed(EmlFileNames.cbegin(), EmlFileNames.cend());
    MimeMessage message;
    for (const QString &name : names) {
        if (listed.contains(name))
            continue;
        const QString path = folder + QLatin1Char('/') + name;
        message.load(path);
        if (message.attachmentCount() == 0)
            continue;
        const QString text = ReadFileText(path);
        const QString date = GetHeaderValue(text, QStringLiteral("Date"));
        const QString to = GetHeaderValue(text, QStringLiteral("To"));
        const QString from = GetHeaderValue(text, QStringLiteral("From"));
        const QString subject = GetHeaderValue(text, QStringLiteral("Subject"));
        if (date.isEmpty())
            continue;
        list.appendRow(QStringList{from, to, subject, date});
        EmlFileNames.append(name);
        listed.insert(name);
    }
    message.clear();
}

} // namespace pw::Express1
