#pragma once
// Reader of winmail.dat wrappers (TNEF streams): what the wrapped message
// says about itself and the attachments inside it, attached messages
// included. The reader keeps names and small values; attachment data and
// bodies stay in the wrapper and are copied out in chunks when saved, so a
// wrapper of hundreds of megabytes costs little memory.
//
// Everything read is checked against what remains of the stream and of the
// attribute it lies in. Damage is tolerated where the data around it can
// still be trusted, and every piece of damage is recorded in the message's
// `problems`:
// - bytes after the last complete attribute that cannot form another one
//   are ignored;
// - an attribute whose checksum does not match is used as it is;
// - a property of a type this reader does not know is skipped by the size
//   it declares;
// - damage inside one attribute loses the rest of that attribute only;
// - an attribute cut short, or one past the limits below, stops the
//   reading: the attachments read before it are kept, the one under way is
//   dropped.
// Only data that is no TNEF stream at all, or a device that cannot be read,
// throws pw::Error.
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace pw::tnef {

inline constexpr quint32 kSignature = 0x223E9F78;
// Attached messages inside attached messages, deeper than this, are refused.
inline constexpr int kMaxDepth = 8;
// Attachments of one wrapper, attached messages' own attachments included.
inline constexpr int kMaxAttachments = 10000;

// A stretch of the wrapper's bytes.
struct Span {
    qint64 offset = -1;
    qint64 size = 0;
    bool isValid() const { return offset >= 0; }
};

// Receives data in chunks.
using Sink = std::function<void(const char *data, qint64 size)>;

struct Message;

struct Attachment {
    QString title;        // attAttachTitle: often a short (8.3) name
    QString longFileName; // PR_ATTACH_LONG_FILENAME
    QString fileName;     // PR_ATTACH_FILENAME
    QString displayName;  // PR_DISPLAY_NAME
    QString mimeType;     // PR_ATTACH_MIME_TAG
    QString contentId;    // PR_ATTACH_CONTENT_ID
    QString extension;    // PR_ATTACH_EXTENSION, with its dot
    quint32 method = 1;   // PR_ATTACH_METHOD: 1 by value, 5 attached message, 6 OLE object
    Span data;            // the file's bytes, when it has any
    std::shared_ptr<const Message> message; // set for an attached message

    // The name to save the attachment under, as the sender's program gave
    // it. A file with no name of its own but an extension is called
    // "attachment" with that extension; otherwise empty (the MIME type may
    // still give the saved file an extension). An attached message's name
    // ends in ".eml".
    QString name() const;
    // True when there is something to save: file data or a message.
    bool isSaveable() const { return message != nullptr || data.isValid(); }
};

struct Recipient {
    QString name;
    QString address;
    int type = 1; // 1 To, 2 Cc, 3 Bcc
};

struct Body {
    Span span;
    bool utf16 = false; // UTF-16LE; else 8-bit text in the message's code page
};

struct Message {
    QString messageClass;
    QString subject;
    QString senderName;
    QString senderAddress;
    QDateTime sent; // invalid when the message gives no date
    int codepage = 1252;
    Body plainBody;
    Span htmlBody;
    QList<Recipient> recipients;
    QList<Attachment> attachments;
    // What was wrong with the stream, in the order met, attached messages'
    // streams included; empty for a sound stream. Filled on the message
    // `read` answers only.
    QStringList problems;
    // True when damage stopped the reading before the stream's end.
    bool cutShort = false;
};

// True when the device's first four bytes are the signature. Leaves the
// device's position at 0.
bool hasSignature(QIODevice &device);

// Reads the stream that fills `device` (opened for reading, random access).
// Throws pw::Error when it is not a TNEF stream or cannot be read; damage
// is recorded in the answer's `problems`.
Message read(QIODevice &device);

// Copies `span` of the wrapper to `sink`, 64 KB at a time.
void copySpan(QIODevice &device, Span span, const Sink &sink);

// Writes an attached message as an RFC 822 message: headers from its
// properties, its plain and HTML bodies, its own attachments as parts,
// attached messages inside it as message/rfc822 parts.
void writeMessage(QIODevice &device, const Message &message, const Sink &sink);

} // namespace pw::tnef
