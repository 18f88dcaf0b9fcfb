#include "platform/pst/pffitem.h"

#include "app/core/error.h"

#include <QStringDecoder>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <vector>

namespace pw::pst {

namespace {

// Small properties go through one reused buffer (they are read one at a
// time); large ones get their own, so a big body is not kept for good.
constexpr std::size_t kScratchLimit = 64 * 1024;

std::vector<std::uint8_t> &scratch(std::size_t size, std::vector<std::uint8_t> &large) {
    thread_local std::vector<std::uint8_t> buffer(kScratchLimit);
    if (size <= kScratchLimit)
        return buffer;
    large.resize(size);
    return large;
}

QString hexType(std::uint32_t type) {
    return QStringLiteral("0x%1").arg(type, 4, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("0X"), QLatin1String("0x"));
}

void checkSize(std::size_t size, const QString &what) {
    if (size > kMaxPropertySize)
        throw Error(QStringLiteral("%1: the stored size (%2 bytes) is not plausible; the file is probably damaged.")
                        .arg(what).arg(size));
}

// Calls a libpff "size, then data" pair for UTF-8 text.
template <class SizeFn, class DataFn>
std::optional<QString> readUtf8(const QString &what, SizeFn sizeFn, DataFn dataFn) {
    PffError error;
    std::size_t size = 0;
    const int found = sizeFn(&size, error.out());
    if (found < 0)
        throwPff(what, error);
    if (found == 0)
        return std::nullopt;
    if (size == 0)
        return QString();
    checkSize(size, what);
    std::vector<std::uint8_t> large;
    auto &buffer = scratch(size, large);
    if (dataFn(buffer.data(), size, error.out()) != 1)
        throwPff(what, error);
    // The size counts the terminating zero; stop at the first one anyway.
    const auto *text = reinterpret_cast<const char *>(buffer.data());
    return QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, size)));
}

template <class SizeFn, class DataFn>
std::optional<QByteArray> readBytes(const QString &what, SizeFn sizeFn, DataFn dataFn) {
    PffError error;
    std::size_t size = 0;
    const int found = sizeFn(&size, error.out());
    if (found < 0)
        throwPff(what, error);
    if (found == 0)
        return std::nullopt;
    checkSize(size, what);
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (size > 0 && dataFn(reinterpret_cast<std::uint8_t *>(bytes.data()), size, error.out()) != 1)
        throwPff(what, error);
    return bytes;
}

// Record entry of one property in one record set; empty when absent.
class RecordEntry {
public:
    RecordEntry(const PffItem &item, std::uint32_t type, int set) {
        PffError error;
        if (libpff_item_get_record_set_by_index(item.get(), set, &m_set, error.out()) != 1)
            throwPff(QStringLiteral("Cannot read the properties of item %1").arg(item.identifier()), error);
        const int found = libpff_record_set_get_entry_by_type(m_set, type, 0, &m_entry,
                                                              LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, error.out());
        if (found < 0) {
            libpff_record_set_free(&m_set, nullptr); // the destructor does not run after a throw
            throwPff(QStringLiteral("Cannot read property %1").arg(hexType(type)), error);
        }
    }
    ~RecordEntry() {
        if (m_entry)
            libpff_record_entry_free(&m_entry, nullptr);
        if (m_set)
            libpff_record_set_free(&m_set, nullptr);
    }
    RecordEntry(const RecordEntry &) = delete;
    RecordEntry &operator=(const RecordEntry &) = delete;

    libpff_record_entry_t *get() const { return m_entry; }

private:
    libpff_record_set_t *m_set = nullptr;
    libpff_record_entry_t *m_entry = nullptr;
};

} // namespace

QString PffError::text() const {
    if (!m_error)
        return {};
    char buffer[4096] = {};
    if (libpff_error_backtrace_sprint(m_error, buffer, sizeof buffer) < 0)
        return {};
    buffer[sizeof buffer - 1] = '\0';
    // libpff lists its call chain one line per level, innermost first: the
    // outermost line says what failed, the innermost why.
    QStringList lines = QString::fromUtf8(buffer).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    if (lines.isEmpty())
        return {};
    if (lines.size() == 1)
        return lines.first();
    return lines.last() + QStringLiteral(" (cause: ") + lines.first() + QLatin1Char(')');
}

void PffError::reset() {
    if (m_error)
        libpff_error_free(&m_error);
    m_error = nullptr;
}

void throwPff(const QString &what, const PffError &error) {
    const QString detail = error.text();
    throw Error(detail.isEmpty() ? what + QLatin1Char('.') : QStringLiteral("%1: %2").arg(what, detail));
}

PffItem &PffItem::operator=(PffItem &&other) noexcept {
    if (this != &other) {
        reset();
        m_item = other.m_item;
        other.m_item = nullptr;
    }
    return *this;
}

void PffItem::reset() {
    if (m_item)
        libpff_item_free(&m_item, nullptr);
    m_item = nullptr;
}

std::uint32_t PffItem::identifier() const {
    std::uint32_t id = 0;
    PffError error;
    if (libpff_item_get_identifier(m_item, &id, error.out()) != 1)
        throwPff(QStringLiteral("Cannot read an item's identifier"), error);
    return id;
}

std::optional<QString> PffItem::string(std::uint32_t type, int set) const {
    RecordEntry entry(*this, type, set);
    if (!entry.get())
        return std::nullopt;
    const QString what = QStringLiteral("Cannot read text property %1").arg(hexType(type));
    return readUtf8(
        what,
        [&](std::size_t *size, libpff_error_t **error) {
            return libpff_record_entry_get_data_as_utf8_string_size(entry.get(), size, error);
        },
        [&](std::uint8_t *data, std::size_t size, libpff_error_t **error) {
            return libpff_record_entry_get_data_as_utf8_string(entry.get(), data, size, error);
        });
}

std::optional<QByteArray> PffItem::binary(std::uint32_t type, std::size_t maxSize, int set) const {
    RecordEntry entry(*this, type, set);
    if (!entry.get())
        return std::nullopt;
    const QString what = QStringLiteral("Cannot read property %1").arg(hexType(type));
    PffError error;
    std::size_t size = 0;
    if (libpff_record_entry_get_data_size(entry.get(), &size, error.out()) != 1)
        throwPff(what, error);
    if (size > maxSize)
        throw Error(QStringLiteral("%1: it is %2 bytes long, more than the %3 it can be.").arg(what).arg(size).arg(maxSize));
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (size > 0
        && libpff_record_entry_get_data(entry.get(), reinterpret_cast<std::uint8_t *>(bytes.data()), size, error.out()) != 1)
        throwPff(what, error);
    return bytes;
}

std::optional<std::uint32_t> PffItem::int32(std::uint32_t type, int set) const {
    RecordEntry entry(*this, type, set);
    if (!entry.get())
        return std::nullopt;
    std::uint32_t value = 0;
    PffError error;
    if (libpff_record_entry_get_data_as_32bit_integer(entry.get(), &value, error.out()) != 1)
        throwPff(QStringLiteral("Cannot read number property %1").arg(hexType(type)), error);
    return value;
}

std::optional<QString> PffItem::messageString(std::uint32_t type) const {
    return readUtf8(
        QStringLiteral("Cannot read text property %1").arg(hexType(type)),
        [&](std::size_t *size, libpff_error_t **error) {
            return libpff_message_get_entry_value_utf8_string_size(m_item, type, size, error);
        },
        [&](std::uint8_t *data, std::size_t size, libpff_error_t **error) {
            return libpff_message_get_entry_value_utf8_string(m_item, type, data, size, error);
        });
}

std::optional<QString> PffItem::plainBody() const {
    return readUtf8(
        QStringLiteral("Cannot read the plain text body"),
        [&](std::size_t *size, libpff_error_t **error) { return libpff_message_get_plain_text_body_size(m_item, size, error); },
        [&](std::uint8_t *data, std::size_t size, libpff_error_t **error) {
            return libpff_message_get_plain_text_body(m_item, data, size, error);
        });
}

// libpff may count a terminating zero in a body's size.
static std::optional<QByteArray> withoutTrailingZeros(std::optional<QByteArray> bytes) {
    while (bytes && bytes->endsWith('\0'))
        bytes->chop(1);
    return bytes;
}

std::optional<QByteArray> PffItem::htmlBody() const {
    auto bytes = readBytes(
        QStringLiteral("Cannot read the HTML body"),
        [&](std::size_t *size, libpff_error_t **error) { return libpff_message_get_html_body_size(m_item, size, error); },
        [&](std::uint8_t *data, std::size_t size, libpff_error_t **error) {
            return libpff_message_get_html_body(m_item, data, size, error);
        });
    return withoutTrailingZeros(std::move(bytes));
}

std::optional<QByteArray> PffItem::rtfBody() const {
    auto bytes = readBytes(
        QStringLiteral("Cannot read the RTF body"),
        [&](std::size_t *size, libpff_error_t **error) { return libpff_message_get_rtf_body_size(m_item, size, error); },
        [&](std::uint8_t *data, std::size_t size, libpff_error_t **error) {
            return libpff_message_get_rtf_body(m_item, data, size, error);
        });
    return withoutTrailingZeros(std::move(bytes));
}

namespace {

template <class Fn>
std::optional<std::uint64_t> readTime(const char *what, Fn fn) {
    std::uint64_t value = 0;
    PffError error;
    const int found = fn(&value, error.out());
    if (found < 0)
        throwPff(QStringLiteral("Cannot read the %1").arg(QLatin1String(what)), error);
    if (found == 0)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::uint64_t> PffItem::deliveryTime() const {
    return readTime("delivery time", [&](std::uint64_t *v, libpff_error_t **e) {
        return libpff_message_get_delivery_time(m_item, v, e);
    });
}

std::optional<std::uint64_t> PffItem::submitTime() const {
    return readTime("submit time", [&](std::uint64_t *v, libpff_error_t **e) {
        return libpff_message_get_client_submit_time(m_item, v, e);
    });
}

std::optional<std::uint64_t> PffItem::creationTime() const {
    return readTime("creation time", [&](std::uint64_t *v, libpff_error_t **e) {
        return libpff_message_get_creation_time(m_item, v, e);
    });
}

std::int64_t filetimeToMsecs(std::uint64_t filetime) {
    constexpr std::uint64_t kEpochDifference = 116444736000000000ULL; // 1601 to 1970 in 100 ns
    if (filetime >= kEpochDifference)
        return static_cast<std::int64_t>((filetime - kEpochDifference) / 10000);
    return -static_cast<std::int64_t>((kEpochDifference - filetime) / 10000);
}

QString decodeCodepage(const QByteArray &bytes, int codepage) {
    if (bytes.isEmpty())
        return {};
    if (codepage == 65001 || codepage == 20127) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        return utf8(bytes);
    }
    QByteArray name;
    if (codepage >= 28591 && codepage <= 28605)
        name = "ISO-8859-" + QByteArray::number(codepage - 28590);
    else if (codepage == 20866)
        name = "KOI8-R";
    else if (codepage == 21866)
        name = "KOI8-U";
    else if (codepage == 50220 || codepage == 50221 || codepage == 50222)
        name = "ISO-2022-JP";
    else if (codepage == 51932)
        name = "EUC-JP";
    else if (codepage == 51949)
        name = "EUC-KR";
    else if (codepage == 936)
        name = "GBK";
    else if (codepage > 0)
        name = "CP" + QByteArray::number(codepage);
    iconv_t cd = name.isEmpty() ? reinterpret_cast<iconv_t>(-1) : iconv_open("UTF-8", name.constData());
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open("UTF-8", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(bytes);
    QByteArray out;
    out.reserve(bytes.size() * 2);
    char *in = const_cast<char *>(bytes.constData());
    std::size_t inLeft = static_cast<std::size_t>(bytes.size());
    char buffer[4096];
    while (inLeft > 0) {
        char *outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<qsizetype>(outPtr - buffer));
        if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A byte the code page leaves undefined: show it as U+FFFD and go on.
            out.append("\xEF\xBF\xBD");
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

} // namespace pw::pst
