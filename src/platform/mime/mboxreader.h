#pragma once
// Reading an mbox file (messages separated by "From " lines, as mail
// programs export them) one message at a time, with GMime's own mbox
// parser. Only the current message is held; the file is never read whole.
#include <QString>

#include <functional>
#include <memory>

namespace pw {

class MboxReader {
public:
    struct Entry {
        qint64 markerOffset = 0; // where the message's "From " line starts
        qint64 begin = 0;        // where its header starts
        qint64 end = 0;          // just after its last byte
    };

    // Throws pw::Error when the file cannot be opened.
    explicit MboxReader(const QString &path);
    ~MboxReader();
    MboxReader(const MboxReader &) = delete;
    MboxReader &operator=(const MboxReader &) = delete;

    // The next message, false at the end of the file. Text before the first
    // "From " line is not a message and is passed over.
    bool next(Entry &entry);

    // Hands the bytes from `begin` to `end` to `sink` in chunks; throws
    // pw::Error when they cannot be read.
    void copy(qint64 begin, qint64 end, const std::function<void(const char *data, qint64 size)> &sink) const;

    // True when the file starts with a "From " line.
    static bool looksLikeMbox(const QString &path);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pw
