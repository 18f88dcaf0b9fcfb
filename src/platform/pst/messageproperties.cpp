#include "platform/pst/messageproperties.h"

#include "platform/pst/bodytext.h"

#include <QTimeZone>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libpst/lzfu.h>
}

namespace pw::pst {

namespace {

// The first of two email fields that is present (even if empty).
QString firstPresent(const pst_item &message, pst_string pst_item_email::*first, pst_string pst_item_email::*second,
                     int storeCodepage) {
    if (!message.email)
        return {};
    const int codepage = codepageOf(message, storeCodepage);
    if (auto value = textOf(message.email->*first, codepage))
        return *value;
    return textOf(message.email->*second, codepage).value_or(QString());
}

std::optional<QByteArray> bytesOf(const char *data, std::size_t size) {
    if (!data)
        return std::nullopt;
    if (size > kMaxPropertySize)
        return std::nullopt;
    QByteArray bytes(data, static_cast<qsizetype>(size));
    // Bodies may carry a terminating zero in their size.
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

} // namespace

QString stripSubjectMarker(const QString &subject) {
    if (subject.size() >= 2 && subject.at(0) == QChar(0x0001))
        return subject.mid(2);
    return subject;
}

int codepageOf(const pst_item &message, int storeCodepage) {
    if (message.message_codepage > 0 && message.message_codepage < 65536)
        return message.message_codepage;
    return storeCodepage > 0 ? storeCodepage : 1252;
}

QString messageClassOf(const pst_item &message) {
    // Copied first: libpst's structures are packed, and Qt would bind the
    // field to a reference.
    const char *type = message.ascii_type;
    return type ? QString::fromUtf8(type, static_cast<qsizetype>(std::strlen(type))) : QString();
}

QString subjectOf(const pst_item &message, int storeCodepage) {
    // libpst has dropped the marker already where it found one.
    return stripSubjectMarker(textOf(message.subject, codepageOf(message, storeCodepage)).value_or(QString()));
}

QString senderNameOf(const pst_item &message, int storeCodepage) {
    return firstPresent(message, &pst_item_email::outlook_sender_name2, &pst_item_email::outlook_sender_name, storeCodepage);
}

QString senderAddressOf(const pst_item &message, int storeCodepage) {
    return firstPresent(message, &pst_item_email::sender2_address, &pst_item_email::sender_address, storeCodepage);
}

QString senderTypeOf(const pst_item &message, int storeCodepage) {
    return firstPresent(message, &pst_item_email::sender2_access, &pst_item_email::sender_access, storeCodepage);
}

QDateTime noDate() {
    return QDateTime(QDate(4501, 1, 1), QTime(0, 0));
}

QDateTime receivedTimeOf(const pst_item &message) {
    std::optional<std::uint64_t> filetime;
    if (message.email)
        filetime = filetimeOf(message.email->arrival_date);
    if (!filetime && message.email)
        filetime = filetimeOf(message.email->sent_date);
    if (!filetime)
        filetime = filetimeOf(message.create_date);
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

std::optional<std::uint64_t> sentTimeOf(const pst_item &message) {
    if (!message.email)
        return std::nullopt;
    if (auto sent = filetimeOf(message.email->sent_date))
        return sent;
    return filetimeOf(message.email->arrival_date);
}

std::optional<QString> plainBodyOf(const pst_item &message, int storeCodepage) {
    return textOf(message.body, codepageOf(message, storeCodepage));
}

std::optional<QByteArray> htmlBodyOf(const pst_item &message) {
    if (!message.email || !message.email->htmlbody.str)
        return std::nullopt;
    return bytesOf(message.email->htmlbody.str, strnlen(message.email->htmlbody.str, kMaxPropertySize));
}

std::optional<QByteArray> rtfBodyOf(const pst_item &message) {
    if (!message.email || !message.email->rtf_compressed.data)
        return std::nullopt;
    const pst_binary &compressed = message.email->rtf_compressed;
    // The header gives the sizes; check them before libpst trusts them.
    constexpr std::size_t kHeader = 16;
    if (compressed.size < kHeader || compressed.size > kMaxPropertySize)
        return std::nullopt;
    const auto *header = reinterpret_cast<const unsigned char *>(compressed.data);
    const std::uint32_t rawSize = header[4] | (header[5] << 8) | (header[6] << 16) | (std::uint32_t(header[7]) << 24);
    // Each two-byte reference yields at most 17 bytes.
    if (rawSize > kMaxPropertySize || rawSize > compressed.size * 9 + 4096)
        return std::nullopt;
    size_t size = 0;
    char *raw = pst_lzfu_decompress(compressed.data, static_cast<uint32_t>(compressed.size), &size);
    if (!raw)
        return std::nullopt;
    auto bytes = bytesOf(raw, size);
    std::free(raw);
    return bytes;
}

QString bodyOf(const pst_item &message, int storeCodepage) {
    if (auto plain = plainBodyOf(message, storeCodepage))
        return *plain;
    const int codepage = codepageOf(message, storeCodepage);
    if (auto html = htmlBodyOf(message))
        return htmlToText(*html, codepage);
    if (auto rtf = rtfBodyOf(message))
        return rtfToText(*rtf, codepage);
    return {};
}

} // namespace pw::pst
