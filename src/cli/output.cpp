#include "cli/output.h"

#include <cerrno>
#include <unistd.h>

namespace pw::cli {

namespace {

const char kHex[] = "0123456789abcdef";

void appendHexEscape(QByteArray &out, unsigned value) {
    out += "\\x";
    out += kHex[(value >> 4) & 0xf];
    out += kHex[value & 0xf];
}

// Escapes of one ASCII byte; false when it stands for itself.
bool appendAsciiEscape(QByteArray &out, unsigned char c) {
    switch (c) {
    case '\\':
        out += "\\\\";
        return true;
    case '\t':
        out += "\\t";
        return true;
    case '\n':
        out += "\\n";
        return true;
    case '\r':
        out += "\\r";
        return true;
    default:
        break;
    }
    if (c < 0x20 || c == 0x7f) {
        appendHexEscape(out, c);
        return true;
    }
    return false;
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

QByteArray escapeText(const QString &text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (u < 0x80) {
            if (!appendAsciiEscape(out, static_cast<unsigned char>(u)))
                out += static_cast<char>(u);
        } else if (u < 0xa0) {
            // C1 controls: some terminals take U+009B as the start of a
            // control sequence.
            appendHexEscape(out, u);
        } else if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += QStringView(text).mid(i, 2).toUtf8();
            ++i;
        } else {
            out += QStringView(text).mid(i, 1).toUtf8();
        }
    }
    return out;
}

QByteArray escapeBytes(const QByteArray &bytes) {
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes.at(i));
        // U+0080..U+009F in UTF-8: C2 80..C2 9F.
        if (c == 0xc2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes.at(i + 1)) >= 0x80
            && static_cast<unsigned char>(bytes.at(i + 1)) < 0xa0) {
            appendHexEscape(out, static_cast<unsigned char>(bytes.at(i + 1)));
            ++i;
            continue;
        }
        if (!appendAsciiEscape(out, c))
            out += static_cast<char>(c);
    }
    return out;
}

QString unescapeText(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const QChar next = text.at(i + 1);
        if (next == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        } else if (next == QLatin1Char('t')) {
            out += QLatin1Char('\t');
        } else if (next == QLatin1Char('n')) {
            out += QLatin1Char('\n');
        } else if (next == QLatin1Char('r')) {
            out += QLatin1Char('\r');
        } else if (next == QLatin1Char('x') && i + 3 < text.size() && hexValue(text.at(i + 2)) >= 0
                   && hexValue(text.at(i + 3)) >= 0) {
            out += QChar(static_cast<char16_t>(hexValue(text.at(i + 2)) * 16 + hexValue(text.at(i + 3))));
            i += 3;
            continue;
        } else {
            out += c;
            continue;
        }
        ++i;
    }
    return out;
}

QString pathText(const QByteArray &path) {
    return QString::fromUtf8(path);
}

void insertPath(QJsonObject &object, const QString &key, const QByteArray &path) {
    const QString text = pathText(path);
    object.insert(key, text);
    if (text.toUtf8() != path)
        object.insert(key + QStringLiteral("_bytes"), QString::fromLatin1(path.toBase64()));
}

bool writeRecord(int fd, const QByteArray &record) {
    const char *data = record.constData();
    size_t left = static_cast<size_t>(record.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace pw::cli
