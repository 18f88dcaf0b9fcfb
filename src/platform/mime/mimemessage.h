#pragma once
// The message reader: loads one .eml file and finds its attachments.
//
// A part is an attachment by this rule: walk the MIME tree depth first;
// multiparts are containers; a message/rfc822 part is one attachment and is
// not opened; any other part (the top part of a message that is not
// multipart included) is an attachment when its disposition is
// "attachment" or when it has a file name. Each uuencoded block
// ("begin 644 name" ... "end") inside a text part that is not itself an
// attachment counts as one more attachment.
#include "core/error.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace pw {


class MimeAttachment {
public:
    struct Data;
    explicit MimeAttachment(std::shared_ptr<const Data> data);

    // The name the message gives the attachment, RFC 2231 and RFC 2047
    // decoded, exactly as stated (it may hold "/" or be empty). An attached
    // message without a name is named after its subject + ".eml".
    QString fileName() const;
    // Lower-case "type/subtype"; "application/octet-stream" for a
    // uuencoded block.
    QString contentType() const;
    bool isUuencoded() const;
    // The part's Content-ID without its angle brackets, and its
    // Content-Location, as the message gives them; empty when it has none
    // (always so for a uuencoded block).
    QString contentId() const;
    QString contentLocation() const;

    // Writes the decoded content to `path`, streaming it. The file is created
    // new: an existing file of that name is never written over, and a failed
    // save leaves nothing behind. Throws pw::Error naming the cause; an
    // attachment cut short is saved as far as it goes and then throws
    // IncompleteAttachmentError.
    void saveToFile(const QString &path) const;
    // Hands the decoded content to `sink` in chunks, as saveToFile writes it.
    // Answers false when the content is cut short (see
    // IncompleteAttachmentError); the sink has had all there is.
    bool writeTo(const std::function<void(const char *data, qint64 size)> &sink) const;
    // The text of IncompleteAttachmentError for this attachment saved at `path`.
    QString incompleteText(const QString &path) const;

private:
    std::shared_ptr<const Data> m_data;
};

class MimeMessage {
public:
    MimeMessage();
    ~MimeMessage();
    MimeMessage(const MimeMessage &) = delete;
    MimeMessage &operator=(const MimeMessage &) = delete;

    // Loads the message of an .eml file, replacing what was loaded before.
    // Attachment content is read from the file when saved, not kept in
    // memory. Throws pw::Error when the file cannot be read; the message is
    // then empty.
    void load(const QString &path);
    void clear();

    bool isLoaded() const;
    // The text of the message's main text part (plain text preferred),
    // decoded to Unicode; empty when it has none.
    QString bodyText() const;
    // The text of every text/html part that is not an attachment, decoded
    // to Unicode and joined; empty when there is none.
    QString htmlText() const;

    // The message's own header, MIME-decoded (folded lines joined, RFC 2047
    // words decoded, CRLF or LF): the subject; the first sender's display
    // name (its address when it has none) and address; the date in UTC,
    // invalid when the message has none or it cannot be read.
    QString subject() const;
    QString senderName() const;
    QString senderAddress() const;
    QDateTime date() const;
    int attachmentCount() const;
    const QList<MimeAttachment> &attachments() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pw
