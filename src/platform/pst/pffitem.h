#pragma once
// Thin, exception-throwing layer over libpff: an owning item handle, its
// error type, and the property readers the engine needs. Every failure of
// libpff becomes pw::Error with libpff's own text; every size libpff hands
// back is checked before memory is sized by it.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

#include <libpff.h>

namespace pw::pst {

// libpff's error out-parameter, freed on scope exit.
class PffError {
public:
    PffError() = default;
    ~PffError() { reset(); }
    PffError(const PffError &) = delete;
    PffError &operator=(const PffError &) = delete;

    libpff_error_t **out() { reset(); return &m_error; }
    // libpff's description, one line; empty when there is none.
    QString text() const;
    void reset();

private:
    libpff_error_t *m_error = nullptr;
};

// Throws pw::Error "<what>: <libpff's text>".
[[noreturn]] void throwPff(const QString &what, const PffError &error);

// Owns one libpff item (folder, message, attachment, recipients ...).
class PffItem {
public:
    PffItem() = default;
    explicit PffItem(libpff_item_t *item) : m_item(item) {}
    ~PffItem() { reset(); }
    PffItem(PffItem &&other) noexcept : m_item(other.m_item) { other.m_item = nullptr; }
    PffItem &operator=(PffItem &&other) noexcept;
    PffItem(const PffItem &) = delete;
    PffItem &operator=(const PffItem &) = delete;

    libpff_item_t *get() const { return m_item; }
    libpff_item_t **out() { reset(); return &m_item; }
    explicit operator bool() const { return m_item != nullptr; }
    void reset();

    std::uint32_t identifier() const;

    // Properties of record set `set` (0 for everything but recipients),
    // strings in the file's code page. Absent properties give nullopt.
    std::optional<QString> string(std::uint32_t type, int set = 0) const;
    std::optional<QByteArray> binary(std::uint32_t type, std::size_t maxSize, int set = 0) const;
    std::optional<std::uint32_t> int32(std::uint32_t type, int set = 0) const;

    // Message properties, 8-bit strings in the message's own code page.
    std::optional<QString> messageString(std::uint32_t type) const;
    // Message bodies: the plain one as text, HTML and RTF (decompressed) as bytes.
    std::optional<QString> plainBody() const;
    std::optional<QByteArray> htmlBody() const;
    std::optional<QByteArray> rtfBody() const;
    // FILETIME of 0x0E06, 0x0039 or 0x3007.
    std::optional<std::uint64_t> deliveryTime() const;
    std::optional<std::uint64_t> submitTime() const;
    std::optional<std::uint64_t> creationTime() const;

private:
    libpff_item_t *m_item = nullptr;
};

// Largest string or body the engine accepts from a file; anything larger
// is taken for corruption rather than trusted with memory.
inline constexpr std::size_t kMaxPropertySize = std::size_t(256) * 1024 * 1024;

// Microsoft's FILETIME (100 ns since 1601, UTC) as milliseconds since 1970.
std::int64_t filetimeToMsecs(std::uint64_t filetime);

// 8-bit text in a Windows code page as Unicode (unknown pages read as
// Windows-1252).
QString decodeCodepage(const QByteArray &bytes, int codepage);

} // namespace pw::pst
