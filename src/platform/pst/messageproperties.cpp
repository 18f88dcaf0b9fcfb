#include "platform/pst/messageproperties.h"

#include "platform/pst/bodytext.h"

#include <QTimeZone>

#include <array>
#include <cstring>

namespace pw::pst {

namespace {

// The first of two properties that is present (even if empty).
QString firstPresent(const Message &message, std::uint16_t first, std::uint16_t second) {
    if (auto value = message.properties().text(first))
        return *value;
    return message.properties().text(second).value_or(QString());
}

QByteArray trimmedBytes(QByteArray bytes) {
    // Bodies may carry a terminating zero in their size.
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

} // namespace

std::int64_t filetimeToMsecs(std::uint64_t filetime) {
    constexpr std::uint64_t kEpochDifference = 116444736000000000ULL; // 1601 to 1970 in 100 ns
    if (filetime >= kEpochDifference)
        return static_cast<std::int64_t>((filetime - kEpochDifference) / 10000);
    return -static_cast<std::int64_t>((kEpochDifference - filetime) / 10000);
}

QString stripSubjectMarker(const QString &subject) {
    if (subject.size() >= 2 && subject.at(0) == QChar(0x0001))
        return subject.mid(2);
    return subject;
}

QString messageClassOf(const Message &message) {
    return message.properties().text(0x001A).value_or(QString());
}

QString subjectOf(const Message &message) {
    return stripSubjectMarker(message.properties().text(0x0037).value_or(QString()));
}

QString senderNameOf(const Message &message) {
    return firstPresent(message, 0x0C1A, 0x0042);
}

QString senderAddressOf(const Message &message) {
    return firstPresent(message, 0x0C1F, 0x0065);
}

QString senderTypeOf(const Message &message) {
    return firstPresent(message, 0x0C1E, 0x0064);
}

QDateTime noDate() {
    return QDateTime(QDate(4501, 1, 1), QTime(0, 0));
}

QDateTime receivedTimeOf(const Message &message) {
    std::optional<std::uint64_t> filetime = message.properties().time(0x0E06);
    if (!filetime)
        filetime = message.properties().time(0x0039);
    if (!filetime)
        filetime = message.properties().time(0x3007);
    if (!filetime)
        return noDate();
    // Whole seconds, as Outlook shows them.
    const qint64 msecs = filetimeToMsecs(*filetime);
    const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    const QDateTime when = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
    if (!when.isValid())
        return noDate();
    return when.toLocalTime();
}

std::optional<std::uint64_t> sentTimeOf(const Message &message) {
    if (auto sent = message.properties().time(0x0039))
        return sent;
    return message.properties().time(0x0E06);
}

std::optional<QString> plainBodyOf(const Message &message) {
    return message.properties().text(0x1000);
}

std::optional<QByteArray> htmlBodyOf(const Message &message) {
    const auto value = message.properties().get(0x1013);
    if (!value)
        return std::nullopt;
    if (value->type == ltp::PtUnicode)
        return messaging::textOf(*value, 1252).value_or(QString()).toUtf8();
    if (value->type != ltp::PtBinary && value->type != ltp::PtString8)
        return std::nullopt;
    return trimmedBytes(QByteArray(reinterpret_cast<const char *>(value->bytes.data()), static_cast<qsizetype>(value->bytes.size())));
}

std::optional<QByteArray> decompressRtf(const QByteArray &compressed) {
    // [MS-OXRTFCP]: a 16-byte header, then LZ77 runs against a 4 KiB
    // dictionary that starts with a fixed prefix.
    static const char kPrefix[] =
        "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
    constexpr std::size_t kHeader = 16;
    if (static_cast<std::size_t>(compressed.size()) < kHeader)
        return std::nullopt;
    const auto *in = reinterpret_cast<const std::uint8_t *>(compressed.constData());
    const std::uint32_t compSize = ndb::readLe(in, 4);
    const std::uint32_t rawSize = ndb::readLe(in + 4, 4);
    const std::uint32_t magic = ndb::readLe(in + 8, 4);
    const std::size_t end = std::min<std::size_t>(static_cast<std::size_t>(compressed.size()), std::size_t(compSize) + 4);
    if (magic == 0x414C454D) // "MELA": stored without compression
        return trimmedBytes(compressed.mid(kHeader, std::min<qsizetype>(rawSize, compressed.size() - qsizetype(kHeader))));
    if (magic != 0x75465A4C) // "LZFu"
        return std::nullopt;
    // Each two-byte reference yields at most 17 bytes.
    if (rawSize > kMaxPropertySize || rawSize > std::size_t(compressed.size()) * 9 + 4096)
        return std::nullopt;
    std::array<std::uint8_t, 4096> dictionary{};
    const std::size_t prefixSize = sizeof kPrefix - 1;
    std::memcpy(dictionary.data(), kPrefix, prefixSize);
    std::size_t write = prefixSize;
    QByteArray out;
    out.reserve(static_cast<qsizetype>(rawSize));
    std::size_t at = kHeader;
    while (at < end && static_cast<std::uint32_t>(out.size()) < rawSize) {
        const std::uint8_t control = in[at++];
        for (int bit = 0; bit < 8 && at < end; ++bit) {
            if ((control & (1 << bit)) == 0) {
                const std::uint8_t c = in[at++];
                out.append(static_cast<char>(c));
                dictionary[write] = c;
                write = (write + 1) % dictionary.size();
                continue;
            }
            if (at + 2 > end)
                return trimmedBytes(out.left(rawSize));
            const std::uint16_t reference = static_cast<std::uint16_t>((in[at] << 8) | in[at + 1]);
            at += 2;
            std::size_t read = reference >> 4;
            const std::size_t length = (reference & 0xF) + 2;
            if (read == write)
                return trimmedBytes(out.left(rawSize)); // the end marker
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint8_t c = dictionary[read];
                read = (read + 1) % dictionary.size();
                out.append(static_cast<char>(c));
                dictionary[write] = c;
                write = (write + 1) % dictionary.size();
            }
        }
    }
    return trimmedBytes(out.left(rawSize));
}

std::optional<QByteArray> rtfBodyOf(const Message &message) {
    const auto compressed = message.properties().binary(0x1009);
    if (!compressed)
        return std::nullopt;
    return decompressRtf(*compressed);
}

QString bodyOf(const Message &message) {
    if (auto plain = plainBodyOf(message))
        return *plain;
    const int codepage = message.properties().codepage();
    if (auto html = htmlBodyOf(message))
        return htmlToText(*html, codepage);
    if (auto rtf = rtfBodyOf(message))
        return rtfToText(*rtf, codepage);
    return {};
}

} // namespace pw::pst
