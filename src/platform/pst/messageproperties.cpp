#include "platform/pst/messageproperties.h"

#include "platform/pst/bodytext.h"

#include <QTimeZone>

namespace pw::pst {

QString stripSubjectMarker(const QString &subject) {
    if (subject.size() >= 2 && subject.at(0) == QChar(0x0001))
        return subject.mid(2);
    return subject;
}

QString messageClassOf(const PffItem &message) {
    return message.messageString(tag::kMessageClass).value_or(QString());
}

QString subjectOf(const PffItem &message) {
    return stripSubjectMarker(message.messageString(tag::kSubject).value_or(QString()));
}

QString senderNameOf(const PffItem &message) {
    if (auto name = message.messageString(tag::kSenderName))
        return *name;
    return message.messageString(tag::kSentRepresentingName).value_or(QString());
}

QString senderAddressOf(const PffItem &message) {
    if (auto address = message.messageString(tag::kSenderAddress))
        return *address;
    return message.messageString(tag::kSentRepresentingAddress).value_or(QString());
}

QString senderTypeOf(const PffItem &message) {
    if (auto type = message.messageString(tag::kSenderAddressType))
        return *type;
    return message.messageString(tag::kSentRepresentingAddressType).value_or(QString());
}

QDateTime noDate() {
    return QDateTime(QDate(4501, 1, 1), QTime(0, 0));
}

QDateTime receivedTimeOf(const PffItem &message) {
    auto filetime = message.deliveryTime();
    if (!filetime)
        filetime = message.submitTime();
    if (!filetime)
        filetime = message.creationTime();
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

int codepageOf(const PffItem &message, int fileCodepage) {
    if (auto codepage = message.int32(tag::kMessageCodepage); codepage && *codepage > 0 && *codepage < 65536)
        return static_cast<int>(*codepage);
    return fileCodepage;
}

QString bodyOf(const PffItem &message, int fileCodepage) {
    if (auto plain = message.plainBody())
        return *plain;
    if (auto html = message.htmlBody())
        return htmlToText(*html, codepageOf(message, fileCodepage));
    if (auto rtf = message.rtfBody())
        return rtfToText(*rtf, codepageOf(message, fileCodepage));
    return {};
}

} // namespace pw::pst
