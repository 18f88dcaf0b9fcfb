#include "platform/registry/registryhive.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>

namespace pw {

namespace {

// A whole file larger than this is not a registry we can hold in memory.
constexpr qint64 MaxFileSize = qint64(1) << 30;
// Seconds from 1601-01-01 (FILETIME origin) to 1970-01-01.
constexpr quint64 EpochDifference = 11644473600ULL;

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void skipBlanks(QByteArrayView line, qsizetype &pos) {
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
}

bool onlyBlanksFrom(QByteArrayView line, qsizetype pos) {
    skipBlanks(line, pos);
    return pos == line.size();
}

// Unescaped bytes are UTF-8 when they form valid UTF-8; hand-edited files
// may hold other bytes, which are kept one character per byte.
void appendRaw(QString &out, QByteArrayView raw) {
    if (raw.isEmpty())
        return;
    if (std::all_of(raw.begin(), raw.end(), [](char c) { return uchar(c) < 0x80; })) {
        out.append(QLatin1StringView(raw.data(), raw.size()));
        return;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(raw);
    if (utf8.hasError())
        text = QString::fromLatin1(raw);
    out += text;
}

// Reads an escaped name or string from line[pos] up to the unescaped
// `endChar`, leaving pos after it. False when the line ends first.
bool parseEscaped(QByteArrayView line, qsizetype &pos, char endChar, QString &out) {
    out.clear();
    qsizetype runStart = pos;
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == endChar) {
            appendRaw(out, line.sliced(runStart, pos - runStart));
            ++pos;
            return true;
        }
        if (c != '\\') {
            ++pos;
            continue;
        }
        appendRaw(out, line.sliced(runStart, pos - runStart));
        ++pos;
        if (pos >= line.size())
            return false;
        const char e = line[pos++];
        switch (e) {
        case 'a': out += QChar(0x07); break;
        case 'b': out += QChar(0x08); break;
        case 'e': out += QChar(0x1b); break;
        case 'f': out += QChar(0x0c); break;
        case 'n': out += QChar(0x0a); break;
        case 'r': out += QChar(0x0d); break;
        case 't': out += QChar(0x09); break;
        case 'v': out += QChar(0x0b); break;
        case 'x': {
            // Up to four hex digits: one UTF-16 code unit.
            int digits = 0;
            char16_t unit = 0;
            while (digits < 4 && pos < line.size() && hexDigit(line[pos]) >= 0) {
                unit = char16_t(unit * 16 + hexDigit(line[pos++]));
                ++digits;
            }
            out += digits ? QChar(unit) : QChar(u'x');
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int code = e - '0';
                for (int i = 0; i < 2 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7'; ++i)
                    code = code * 8 + (line[pos++] - '0');
                out += QChar(char16_t(code));
            } else {
                appendRaw(out, line.sliced(pos - 1, 1));
            }
            break;
        }
        runStart = pos;
    }
    return false;
}

// Hex number of up to 8 digits at line[pos]; false when there is none.
bool parseHex32(QByteArrayView line, qsizetype &pos, quint32 &value) {
    value = 0;
    int digits = 0;
    while (pos < line.size() && hexDigit(line[pos]) >= 0) {
        if (++digits > 8)
            return false;
        value = value * 16 + quint32(hexDigit(line[pos++]));
    }
    return digits > 0;
}

QByteArray stringData(const QString &text) {
    QByteArray data;
    data.reserve((text.size() + 1) * 2);
    for (QChar c : text) {
        data.append(char(c.unicode() & 0xff));
        data.append(char(c.unicode() >> 8));
    }
    data.append(2, '\0');
    return data;
}

bool startsWithAt(QByteArrayView line, qsizetype pos, QByteArrayView prefix) {
    return line.sliced(pos).startsWith(prefix);
}

} // namespace

// Walks the text line by line; a line it cannot read is skipped.
class RegistryHive::Parser {
public:
    Parser(RegistryHive &hive, QByteArrayView text) : m_hive(hive), m_text(text) {}

    void run() {
        QByteArrayView line;
        while (nextLine(line)) {
            qsizetype pos = 0;
            skipBlanks(line, pos);
            if (pos == line.size())
                continue;
            const char first = line[pos];
            bool ok = true;
            if (first == '[')
                ok = keyHeader(line, pos);
            else if (first == '"' || first == '@')
                ok = valueLine(line, pos);
            else if (first == '#')
                option(line, pos);
            else if (first != ';' && !line.sliced(pos).startsWith("WINE REGISTRY Version"))
                ok = false;
            if (!ok)
                ++m_hive.m_skippedLines;
        }
    }

private:
    bool nextLine(QByteArrayView &line) {
        if (m_pos >= m_text.size())
            return false;
        qsizetype end = m_text.indexOf('\n', m_pos);
        if (end < 0)
            end = m_text.size();
        line = m_text.sliced(m_pos, end - m_pos);
        if (line.endsWith('\r'))
            line.chop(1);
        m_pos = end + 1;
        return true;
    }

    bool keyHeader(QByteArrayView line, qsizetype pos) {
        // Values after a header we cannot read must not land in the key
        // before it.
        m_key = -1;
        ++pos;
        QString path;
        if (!parseEscaped(line, pos, ']', path))
            return false;
        int key = RegistryHive::Root;
        if (!path.isEmpty()) {
            const QList<QStringView> names = QStringView(path).split(QLatin1Char('\\'));
            for (QStringView name : names) {
                if (name.isEmpty())
                    return false;
            }
            for (QStringView name : names) {
                const QString text = name.toString();
                int next = m_hive.child(key, text);
                key = next >= 0 ? next : m_hive.addChild(key, text);
            }
        }
        m_key = key;
        // Older Wine versions write the time as seconds since 1970 here.
        skipBlanks(line, pos);
        quint64 seconds = 0;
        int digits = 0;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 12) {
            seconds = seconds * 10 + quint64(line[pos++] - '0');
            ++digits;
        }
        if (digits > 0)
            m_hive.m_keys[size_t(key)].lastWrite = (seconds + EpochDifference) * 10000000ULL;
        return true;
    }

    void option(QByteArrayView line, qsizetype pos) {
        if (m_key < 0 || !startsWithAt(line, pos, "#time="))
            return;
        pos += 6;
        quint64 time = 0;
        int digits = 0;
        while (pos < line.size() && hexDigit(line[pos]) >= 0 && digits < 16) {
            time = time * 16 + quint64(hexDigit(line[pos++]));
            ++digits;
        }
        if (digits > 0)
            m_hive.m_keys[size_t(m_key)].lastWrite = time;
    }

    bool valueLine(QByteArrayView line, qsizetype pos) {
        RegistryValue value;
        if (line[pos] == '@') {
            ++pos;
        } else {
            ++pos;
            if (!parseEscaped(line, pos, '"', value.name))
                return false;
        }
        skipBlanks(line, pos);
        if (pos >= line.size() || line[pos] != '=')
            return false;
        ++pos;
        skipBlanks(line, pos);
        if (!valueData(line, pos, value))
            return false;
        if (m_key < 0)
            return false;
        m_hive.setValue(m_key, std::move(value));
        return true;
    }

    bool valueData(QByteArrayView line, qsizetype pos, RegistryValue &value) {
        QString text;
        if (startsWithAt(line, pos, "\"")) {
            ++pos;
            value.type = 1; // REG_SZ
            if (!parseEscaped(line, pos, '"', text))
                return false;
            value.data = stringData(text);
            return true;
        }
        if (startsWithAt(line, pos, "str:\"") || startsWithAt(line, pos, "str(")) {
            value.type = 1;
            if (line[pos + 3] == '(') {
                pos += 4;
                if (!parseHex32(line, pos, value.type) || !startsWithAt(line, pos, "):\""))
                    return false;
                pos += 3;
            } else {
                pos += 5;
            }
            if (!parseEscaped(line, pos, '"', text))
                return false;
            value.data = stringData(text);
            return true;
        }
        if (startsWithAt(line, pos, "dword:")) {
            pos += 6;
            quint32 number = 0;
            if (!parseHex32(line, pos, number) || !onlyBlanksFrom(line, pos))
                return false;
            value.type = 4; // REG_DWORD
            value.data.resize(4);
            for (int i = 0; i < 4; ++i)
                value.data[i] = char((number >> (8 * i)) & 0xff);
            return true;
        }
        if (startsWithAt(line, pos, "hex:")) {
            pos += 4;
            value.type = 3; // REG_BINARY
            return hexBytes(line, pos, value.data);
        }
        if (startsWithAt(line, pos, "hex(")) {
            pos += 4;
            if (!parseHex32(line, pos, value.type) || !startsWithAt(line, pos, "):"))
                return false;
            pos += 2;
            return hexBytes(line, pos, value.data);
        }
        return false;
    }

    // "xx,xx,..." with a trailing backslash carrying the list on to the
    // next line. A list that breaks off is dropped; the line that broke it
    // is read again as a line of its own, so a following key survives.
    bool hexBytes(QByteArrayView line, qsizetype pos, QByteArray &data) {
        for (;;) {
            skipBlanks(line, pos);
            if (pos >= line.size())
                return true;
            const char c = line[pos];
            if (c == '\\') {
                if (!onlyBlanksFrom(line, pos + 1))
                    return false;
                const qsizetype lineStart = m_pos;
                if (!nextLine(line))
                    return false; // the file ends in the middle of the list
                pos = 0;
                skipBlanks(line, pos);
                if (pos < line.size() && hexDigit(line[pos]) < 0) {
                    m_pos = lineStart;
                    return false;
                }
                continue;
            }
            const int high = hexDigit(c);
            if (high < 0)
                return false;
            ++pos;
            int byte = high;
            if (pos < line.size() && hexDigit(line[pos]) >= 0)
                byte = byte * 16 + hexDigit(line[pos++]);
            data.append(char(byte));
            skipBlanks(line, pos);
            if (pos < line.size() && line[pos] == ',')
                ++pos;
        }
    }

    RegistryHive &m_hive;
    QByteArrayView m_text;
    qsizetype m_pos = 0;
    int m_key = -1;
};

RegistryHive::RegistryHive() { m_keys.emplace_back(); }

RegistryHive RegistryHive::parse(QByteArrayView text) {
    RegistryHive hive;
    Parser(hive, text).run();
    return hive;
}

std::optional<QByteArray> RegistryHive::readFile(const QString &fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileSize)
        return std::nullopt;
    QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return text;
}

std::optional<RegistryHive> RegistryHive::load(const QString &fileName) {
    const std::optional<QByteArray> text = readFile(fileName);
    if (!text)
        return std::nullopt;
    return parse(*text);
}

int RegistryHive::child(int key, const QString &name) const {
    return m_childByFoldedName.value(std::pair(key, name.toCaseFolded()), -1);
}

int RegistryHive::addChild(int key, const QString &name) {
    const int index = int(m_keys.size());
    Key entry;
    entry.name = name;
    entry.parent = key;
    m_keys.push_back(std::move(entry));
    m_keys[size_t(key)].children.append(index);
    m_childByFoldedName.insert(std::pair(key, name.toCaseFolded()), index);
    return index;
}

void RegistryHive::setValue(int key, RegistryValue value) {
    // Value names are unique within a key, ignoring case; a later line
    // replaces the data but keeps the first one's place and spelling.
    for (RegistryValue &existing : m_keys[size_t(key)].values) {
        if (existing.name.compare(value.name, Qt::CaseInsensitive) == 0) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    m_keys[size_t(key)].values.append(std::move(value));
}

int RegistryHive::findKey(int key, QStringView path) const {
    if (key < 0 || key >= keyCount())
        return -1;
    if (path.isEmpty())
        return key;
    for (QStringView name : path.split(QLatin1Char('\\'))) {
        if (name.isEmpty())
            return -1;
        key = child(key, name.toString());
        if (key < 0)
            return -1;
    }
    return key;
}

} // namespace pw
