#pragma once
// The command line's choice of messages (by id, date, sender, subject) and
// of attachments (by name, size, and whether the HTML body shows them
// inline), and the parsing of the values these options take.
#include "cli/mailsources.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace pw::cli {

// "2024-03-01", "2024-03-01T09:30", "2024-03-01 09:30:15", each optionally
// with "Z" or an offset ("+02:00"); without one the time is UTC. A bound
// covers the whole of what it names: as an upper bound "2024-03-01" runs to
// the day's last millisecond, "2024-03-01T09:30" to 09:30:59.999. Answers
// milliseconds since the epoch; nothing for text that is no such date.
std::optional<qint64> parseDateBound(const QString &text, bool upper);

// "500", "64k", "1.5M", "2G" (1024-based; "KiB", "MB" and lower case read
// the same): bytes; nothing for text that is no size.
std::optional<qint64> parseSize(const QString &text);

// Shell-style pattern matching as fnmatch does it, in any letter case: "*"
// any run of characters, "?" one, "[abc]", "[a-z]", "[!x]" or "[^x]" one of
// a set, "\" takes the next character as it is.
bool globMatches(const QString &pattern, const QString &text);

// An id as a `list` line gives it: the "id" of a JSON line, the last field
// of a tab-separated line, else the line itself; empty for a blank line.
QString idFromListLine(const QString &line);

// True when the attachment is a picture that `html` shows inline: it
// refers to the attachment's content id ("cid:...") or its content location.
bool shownInline(const Attachment &attachment, const QString &html);

struct MessageChoice {
    QSet<QString> ids;
    bool byId = false;
    std::optional<qint64> since; // inclusive, ms since the epoch
    std::optional<qint64> until; // inclusive
    QString from;
    QString subject;

    // True when the date, sender or subject must be read to choose.
    bool needsDetails() const { return since || until || !from.isEmpty() || !subject.isEmpty(); }
    bool accepts(const Message &message) const;
};

struct AttachmentChoice {
    QStringList names;    // any of them must match, when given
    QStringList excludes; // none of them may match
    std::optional<qint64> minSize;
    std::optional<qint64> maxSize;
    bool skipInline = false;

    bool acceptsName(const QString &name) const;
    bool acceptsSize(qint64 size) const;
    bool filtersByName() const { return !names.isEmpty() || !excludes.isEmpty(); }
    bool filtersBySize() const { return minSize || maxSize; }
};

} // namespace pw::cli
