#include "cli/nativepath.h"

#include <cerrno>
#include <sys/stat.h>

namespace pw::cli {

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when there is none.
int utf8SequenceAt(const QByteArray &bytes, qsizetype i) {
    const auto at = [&](qsizetype k) { return static_cast<unsigned char>(bytes.at(k)); };
    const unsigned char lead = at(i);
    int length = 0;
    char32_t value = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        value = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        const unsigned char c = at(i + k);
        if ((c & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (c & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10ffff))
        || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    return length;
}

} // namespace

QString argumentText(const QByteArray &bytes) {
    QString out;
    out.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = utf8SequenceAt(bytes, i);
        if (length == 0) {
            out += QChar(static_cast<char16_t>(0xdc00 + static_cast<unsigned char>(bytes.at(i))));
            ++i;
            continue;
        }
        out += QString::fromUtf8(bytes.constData() + i, length);
        i += length;
    }
    return out;
}

QByteArray argumentBytes(const QString &text) {
    QByteArray out;
    out.reserve(text.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        const bool escapedByte = u >= 0xdc80 && u <= 0xdcff && (i == 0 || !text.at(i - 1).isHighSurrogate());
        if (!escapedByte)
            continue;
        out += QStringView(text).mid(start, i - start).toUtf8();
        out += static_cast<char>(u - 0xdc00);
        start = i + 1;
    }
    out += QStringView(text).mid(start).toUtf8();
    return out;
}

QByteArray descriptorPath(int fd) {
    return QByteArrayLiteral("/proc/self/fd/") + QByteArray::number(fd);
}

bool makeFolders(const QByteArray &path) {
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path.at(at) != '/')
            continue;
        const QByteArray prefix = path.left(at);
        if (prefix.endsWith('/'))
            continue;
        if (::mkdir(prefix.constData(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

} // namespace pw::cli
