// Thin C++ helpers over libpff's C API for reading written stores back.
#pragma once

#include <libpff.h>

// The per-entry accessors are marked deprecated in favour of record sets, but
// they are the shortest way to read one property and are still supported.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pffreader {

inline std::string errorText(libpff_error_t *error) {
    std::string text = "libpff error";
    if (error) {
        char buffer[2048];
        if (libpff_error_backtrace_sprint(error, buffer, sizeof buffer) > 0)
            text = buffer;
        libpff_error_free(&error);
    }
    return text;
}

class Item {
public:
    Item() = default;
    explicit Item(libpff_item_t *item) : m_item(item) {}
    Item(Item &&o) noexcept : m_item(o.m_item) { o.m_item = nullptr; }
    Item &operator=(Item &&o) noexcept {
        std::swap(m_item, o.m_item);
        return *this;
    }
    ~Item() {
        if (m_item)
            libpff_item_free(&m_item, nullptr);
    }
    libpff_item_t *get() const { return m_item; }
    explicit operator bool() const { return m_item != nullptr; }

    std::uint32_t id() const {
        std::uint32_t v = 0;
        libpff_error_t *e = nullptr;
        if (libpff_item_get_identifier(m_item, &v, &e) != 1)
            throw std::runtime_error(errorText(e));
        return v;
    }

    // A string property, nullopt when absent.
    std::optional<std::string> text(std::uint32_t id) const {
        size_t size = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_utf8_string_size(m_item, 0, id, &size, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        std::string s(size, '\0');
        if (size > 0 &&
            libpff_item_get_entry_value_utf8_string(m_item, 0, id, reinterpret_cast<uint8_t *>(s.data()), size, 0,
                                                    &e) != 1)
            throw std::runtime_error(errorText(e));
        if (!s.empty() && s.back() == '\0')
            s.pop_back();
        return s;
    }

    std::optional<std::string> binary(std::uint32_t id) const {
        size_t size = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_binary_data_size(m_item, 0, id, &size, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        std::string s(size, '\0');
        if (size > 0 &&
            libpff_item_get_entry_value_binary_data(m_item, 0, id, reinterpret_cast<uint8_t *>(s.data()), size, 0,
                                                    &e) != 1)
            throw std::runtime_error(errorText(e));
        return s;
    }

    std::optional<std::uint32_t> int32(std::uint32_t id) const {
        std::uint32_t v = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_32bit(m_item, 0, id, &v, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        return v;
    }

    std::optional<std::uint64_t> filetime(std::uint32_t id) const {
        std::uint64_t v = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_filetime(m_item, 0, id, &v, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        return v;
    }

    std::string folderName() const {
        size_t size = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_folder_get_utf8_name_size(m_item, &size, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0 || size == 0)
            return {};
        std::string s(size, '\0');
        if (libpff_folder_get_utf8_name(m_item, reinterpret_cast<uint8_t *>(s.data()), size, &e) != 1)
            throw std::runtime_error(errorText(e));
        s.pop_back();
        return s;
    }

    std::vector<Item> subFolders() const {
        int n = 0;
        libpff_error_t *e = nullptr;
        if (libpff_folder_get_number_of_sub_folders(m_item, &n, &e) != 1)
            throw std::runtime_error(errorText(e));
        std::vector<Item> out;
        for (int i = 0; i < n; ++i) {
            libpff_item_t *sub = nullptr;
            if (libpff_folder_get_sub_folder(m_item, i, &sub, &e) != 1)
                throw std::runtime_error(errorText(e));
            out.emplace_back(sub);
        }
        return out;
    }

    Item subFolder(int i) const {
        libpff_item_t *sub = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_folder_get_sub_folder(m_item, i, &sub, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(sub);
    }

    int messageCount() const {
        int n = 0;
        libpff_error_t *e = nullptr;
        if (libpff_folder_get_number_of_sub_messages(m_item, &n, &e) != 1)
            throw std::runtime_error(errorText(e));
        return n;
    }

    Item message(int i) const {
        libpff_item_t *sub = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_folder_get_sub_message(m_item, i, &sub, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(sub);
    }

    std::vector<Item> messages() const {
        std::vector<Item> out;
        for (int i = 0, n = messageCount(); i < n; ++i)
            out.push_back(message(i));
        return out;
    }

    std::vector<Item> attachments() const {
        int n = 0;
        libpff_error_t *e = nullptr;
        if (libpff_message_get_number_of_attachments(m_item, &n, &e) != 1)
            throw std::runtime_error(errorText(e));
        std::vector<Item> out;
        for (int i = 0; i < n; ++i) {
            libpff_item_t *a = nullptr;
            if (libpff_message_get_attachment(m_item, i, &a, &e) != 1)
                throw std::runtime_error(errorText(e));
            out.emplace_back(a);
        }
        return out;
    }

    int attachmentType() const {
        int type = 0;
        libpff_error_t *e = nullptr;
        if (libpff_attachment_get_type(m_item, &type, &e) != 1)
            throw std::runtime_error(errorText(e));
        return type;
    }

    std::uint64_t attachmentSize() const {
        size64_t size = 0;
        libpff_error_t *e = nullptr;
        if (libpff_attachment_get_data_size(m_item, &size, &e) != 1)
            throw std::runtime_error(errorText(e));
        return size;
    }

    // Reads the attachment data in chunks, handing each to sink.
    template <typename Sink>
    void readAttachment(Sink sink) const {
        libpff_error_t *e = nullptr;
        if (libpff_attachment_data_seek_offset(m_item, 0, SEEK_SET, &e) == -1)
            throw std::runtime_error(errorText(e));
        std::vector<uint8_t> buffer(1 << 20);
        for (;;) {
            const ssize_t n = libpff_attachment_data_read_buffer(m_item, buffer.data(), buffer.size(), &e);
            if (n < 0)
                throw std::runtime_error(errorText(e));
            if (n == 0)
                break;
            sink(reinterpret_cast<const char *>(buffer.data()), std::size_t(n));
        }
    }

    std::string attachmentData() const {
        std::string out;
        readAttachment([&](const char *d, std::size_t n) { out.append(d, n); });
        return out;
    }

    Item embeddedMessage() const {
        libpff_item_t *sub = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_attachment_get_item(m_item, &sub, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(sub);
    }

    Item recipients() const {
        libpff_item_t *r = nullptr;
        libpff_error_t *e = nullptr;
        const int rc = libpff_message_get_recipients(m_item, &r, &e);
        if (rc == -1)
            throw std::runtime_error(errorText(e));
        return Item(rc == 1 ? r : nullptr);
    }

    // The table behind a folder's subfolders, messages, or a message's
    // attachments: one record set per row.
    Item hierarchyTable() const { return table(libpff_folder_get_sub_folders); }
    Item contentsTable() const { return table(libpff_folder_get_sub_messages); }
    Item attachmentTable() const { return table(libpff_message_get_attachments); }

    int setCount() const {
        std::uint32_t n = 0;
        libpff_error_t *e = nullptr;
        if (libpff_item_get_number_of_sets(m_item, &n, &e) != 1)
            throw std::runtime_error(errorText(e));
        return int(n);
    }

    std::optional<std::uint32_t> setInt32(int set, std::uint32_t id) const {
        std::uint32_t v = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_32bit(m_item, set, id, &v, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        return v;
    }

    std::optional<std::string> setText(int set, std::uint32_t id) const {
        size_t size = 0;
        libpff_error_t *e = nullptr;
        const int r = libpff_item_get_entry_value_utf8_string_size(m_item, set, id, &size, 0, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        if (r == 0)
            return std::nullopt;
        std::string s(size, '\0');
        if (size > 0 &&
            libpff_item_get_entry_value_utf8_string(m_item, set, id, reinterpret_cast<uint8_t *>(s.data()), size, 0,
                                                    &e) != 1)
            throw std::runtime_error(errorText(e));
        if (!s.empty() && s.back() == '\0')
            s.pop_back();
        return s;
    }

private:
    Item table(int (*get)(libpff_item_t *, libpff_item_t **, libpff_error_t **)) const {
        libpff_item_t *t = nullptr;
        libpff_error_t *e = nullptr;
        if (get(m_item, &t, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(t);
    }

    libpff_item_t *m_item = nullptr;
};

class File {
public:
    explicit File(const std::string &path) {
        libpff_error_t *e = nullptr;
        if (libpff_file_initialize(&m_file, &e) != 1)
            throw std::runtime_error(errorText(e));
        if (libpff_file_open(m_file, path.c_str(), LIBPFF_OPEN_READ, &e) != 1) {
            libpff_file_free(&m_file, nullptr);
            throw std::runtime_error(errorText(e));
        }
    }
    ~File() {
        libpff_file_close(m_file, nullptr);
        libpff_file_free(&m_file, nullptr);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    Item messageStore() const {
        libpff_item_t *item = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_file_get_message_store(m_file, &item, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(item);
    }
    Item rootFolder() const {
        libpff_item_t *item = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_file_get_root_folder(m_file, &item, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(item);
    }
    Item byId(std::uint32_t id) const {
        libpff_item_t *item = nullptr;
        libpff_error_t *e = nullptr;
        if (libpff_file_get_item_by_identifier(m_file, id, &item, &e) != 1)
            throw std::runtime_error(errorText(e));
        return Item(item);
    }
    // The IPM subtree, found through the store's PR_IPM_SUBTREE_ENTRYID.
    Item ipmSubtree() const {
        const auto entryId = messageStore().binary(0x35E0);
        if (!entryId || entryId->size() < 4)
            throw std::runtime_error("no IPM subtree entry id");
        const auto *p = reinterpret_cast<const std::uint8_t *>(entryId->data() + entryId->size() - 4);
        return byId(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                    std::uint32_t(p[3]) << 24);
    }
    int encryptionType() const {
        std::uint8_t type = 0;
        libpff_error_t *e = nullptr;
        if (libpff_file_get_encryption_type(m_file, &type, &e) != 1)
            throw std::runtime_error(errorText(e));
        return type;
    }
    bool corrupted() const {
        libpff_error_t *e = nullptr;
        const int r = libpff_file_is_corrupted(m_file, &e);
        if (r == -1)
            throw std::runtime_error(errorText(e));
        return r == 1;
    }

private:
    libpff_file_t *m_file = nullptr;
};

}  // namespace pffreader
