#include "express/emllist.h"

#include "core/error.h"
#include "core/fileroutines.h"
#include "platform/mime/mailtext.h"
#include "platform/mime/mimemessage.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <cstring>

namespace pw::Express1 {

namespace {

QStringView trimSpaces(QStringView text) {
    while (!text.isEmpty() && text.front() == QLatin1Char(' '))
        text = text.sliced(1);
    while (!text.isEmpty() && text.back() == QLatin1Char(' '))
        text.chop(1);
    return text;
}

// The lines of a file, ended by CR LF only (as GetHeaderValue splits them),
// read a chunk at a time; of each line at most `cap` bytes are kept.
class CappedLineReader {
public:
    CappedLineReader(QFile &file, qsizetype cap) : m_file(file), m_cap(cap), m_chunk(kChunk, Qt::Uninitialized) {}

    // The next line without its CR LF; false at the end of the file. `length`
    // is the line's full length, of which `line` holds the first `cap` bytes.
    bool next(QByteArray &line, qsizetype &length) {
        line.clear();
        length = 0;
        bool any = false;
        bool crBefore = false; // the last byte taken was a CR
        for (;;) {
            if (m_pos == m_end && !fill())
                return any;
            any = true;
            const char *p = m_chunk.constData() + m_pos;
            const auto *lf = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(m_end - m_pos)));
            const qsizetype take = lf ? lf - p : m_end - m_pos;
            if (take > 0)
                crBefore = p[take - 1] == '\r';
            keep(line, p, take);
            length += take;
            m_pos += take;
            if (!lf)
                continue;
            ++m_pos;
            if (crBefore) {
                --length; // the CR belongs to the line break
                if (line.size() > length)
                    line.chop(1);
                return true;
            }
            // A lone LF is part of the line.
            keep(line, "\n", 1);
            ++length;
            crBefore = false;
        }
    }

private:
    static constexpr qsizetype kChunk = 64 * 1024;

    void keep(QByteArray &line, const char *data, qsizetype size) const {
        const qsizetype room = m_cap - line.size();
        if (room > 0)
            line.append(data, std::min(room, size));
    }

    bool fill() {
        const qint64 got = m_file.read(m_chunk.data(), kChunk);
        if (got < 0)
            throw Error(QStringLiteral("Cannot read \"%1\": %2").arg(m_file.fileName(), m_file.errorString()));
        m_pos = 0;
        m_end = got;
        return got > 0;
    }

    QFile &m_file;
    qsizetype m_cap;
    QByteArray m_chunk;
    qsizetype m_pos = 0;
    qsizetype m_end = 0;
};

// The first `limit` bytes at most, without a UTF-8 character split at the
// end.
QByteArrayView cutAtCharacter(QByteArrayView bytes, qsizetype limit) {
    bytes.truncate(limit);
    qsizetype lead = bytes.size();
    while (lead > 0 && bytes.size() - lead < 4 && (static_cast<unsigned char>(bytes.at(lead - 1)) & 0xC0) == 0x80)
        --lead;
    if (lead == 0)
        return bytes;
    const auto first = static_cast<unsigned char>(bytes.at(lead - 1));
    const qsizetype needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return bytes.size() - (lead - 1) < needed ? bytes.first(lead - 1) : bytes;
}

QByteArrayView trimSpaceBytes(QByteArrayView bytes) {
    while (!bytes.isEmpty() && bytes.front() == ' ')
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && bytes.back() == ' ')
        bytes.chop(1);
    return bytes;
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

QStringList ReadHeaderValues(const QString &path, const QStringList &headerNames) {
    QStringList values(headerNames.size());
    if (!FileExists(path))
        return values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    QList<QByteArray> names;
    qsizetype longestName = 0;
    for (const QString &name : headerNames) {
        names.append(name.toLatin1());
        longestName = std::max(longestName, names.back().size());
    }
    QList<bool> found(headerNames.size(), false);
    qsizetype left = headerNames.size();
    // Of each line, enough for the longest name, its colon, a few spaces
    // and a value of the longest length kept.
    CappedLineReader lines(file, longestName + 1 + 16 + kMaxHeaderValueBytes);
    QByteArray line;
    qsizetype length = 0;
    while (left > 0 && lines.next(line, length)) {
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QByteArray &name = names.at(i);
            if (found.at(i) || length < name.size() + 1 || line.at(name.size()) != ':' || !line.startsWith(name))
                continue;
            found[i] = true;
            --left;
            QByteArrayView value = trimSpaceBytes(QByteArrayView(line).sliced(name.size() + 1));
            if (value.size() > kMaxHeaderValueBytes)
                value = trimSpaceBytes(cutAtCharacter(value, kMaxHeaderValueBytes));
            values[i] = decodeMailText(value);
        }
    }
    return values;
}

void ListEmlMessages(const QString &folder, MessageListModel &list, QStringList &EmlFileNames) {
    ListEmlMessages(folder, list, EmlFileNames, ListingHook());
}

void ListEmlMessages(const QString &folder, MessageListModel &list, QStringList &EmlFileNames,
                     const ListingHook &beforeEach) {
    if (folder.isEmpty())
        throw Error(QStringLiteral("No folder was given to list the converted messages of"));
    const QStringList names = QDir(folder).entryList(QStringList{QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    // Several conversions in one run list the same folder again; each file
    // is listed once.
    QSet<QString> listed(EmlFileNames.cbegin(), EmlFileNames.cend());
    // In the order the listing takes them.
    const QStringList headerNames{QStringLiteral("Date"), QStringLiteral("To"), QStringLiteral("From"),
                                  QStringLiteral("Subject")};
    MimeMessage message;
    for (const QString &name : names) {
        if (beforeEach && !beforeEach())
            break;
        if (listed.contains(name))
            continue;
        const QString path = folder + QLatin1Char('/') + name;
        message.load(path);
        if (message.attachmentCount() == 0)
            continue;
        // Only the four values, never the whole text: a message may be
        // hundreds of megabytes.
        const QStringList values = ReadHeaderValues(path, headerNames);
        const QString &date = values.at(0);
        if (date.isEmpty())
            continue;
        list.appendRow(QStringList{values.at(2), values.at(1), values.at(3), date});
        EmlFileNames.append(name);
        listed.insert(name);
    }
    message.clear();
}

} // namespace pw::Express1
