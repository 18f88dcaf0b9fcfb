#pragma once
// Builds small winmail.dat (TNEF) streams for tests and fuzz seeds.
#include <QByteArray>
#include <QString>

namespace tnefbuild {

inline QByteArray le16(quint16 v) {
    return QByteArray(1, char(v & 0xFF)) + char(v >> 8);
}
inline QByteArray le32(quint32 v) {
    return le16(quint16(v & 0xFFFF)) + le16(quint16(v >> 16));
}
inline QByteArray padded(QByteArray b) {
    while (b.size() % 4)
        b.append('\0');
    return b;
}

// One attribute; `checksumError` is added to the correct checksum.
inline QByteArray attribute(quint8 level, quint32 id, const QByteArray &data, int checksumError = 0) {
    quint32 sum = 0;
    for (char c : data)
        sum += quint8(c);
    return QByteArray(1, char(level)) + le32(id) + le32(quint32(data.size())) + data + le16(quint16(sum + checksumError));
}

// A property block (attMsgProps, attAttachment, a recipient row).
struct Props {
    QByteArray body;
    quint32 count = 0;

    Props &string(quint16 id, const QString &text, bool unicode = false) {
        const QByteArray value = unicode ? QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2) + QByteArray(2, '\0')
                                         : text.toLatin1() + '\0';
        body += le16(unicode ? 0x001F : 0x001E) + le16(id) + le32(1) + le32(quint32(value.size())) + padded(value);
        ++count;
        return *this;
    }
    Props &int32(quint16 id, quint32 v) {
        body += le16(0x0003) + le16(id) + le32(v);
        ++count;
        return *this;
    }
    // An attached message: IID_IMessage, then its own stream.
    Props &message(quint16 id, const QByteArray &stream) {
        const QByteArray value = QByteArray::fromHex("0703020000000000c000000000000046") + stream;
        body += le16(0x000D) + le16(id) + le32(1) + le32(quint32(value.size())) + padded(value);
        ++count;
        return *this;
    }
    // Any property as raw bytes after its type and id.
    Props &raw(quint16 type, quint16 id, const QByteArray &rest) {
        body += le16(type) + le16(id) + rest;
        ++count;
        return *this;
    }
    Props &binary(quint16 id, const QByteArray &value, quint16 type = 0x0102) {
        return raw(type, id, le32(1) + le32(quint32(value.size())) + padded(value));
    }
    QByteArray bytes() const { return le32(count) + body; }
};

inline constexpr quint8 kMessage = 1;
inline constexpr quint8 kAttachment = 2;

// Signature, key, version and code page; then the given attributes.
inline QByteArray stream(const QByteArray &attributes) {
    return le32(0x223E9F78) + le16(1) + attribute(kMessage, 0x00089006, le32(0x00010000)) +
           attribute(kMessage, 0x00069007, le32(1252) + le32(0)) + attribute(kMessage, 0x00078008, "IPM.Note\0") +
           attributes;
}

inline QByteArray rendering() {
    return attribute(kAttachment, 0x00069002, le16(1) + le32(0xFFFFFFFF) + le16(32) + le16(32) + le32(0));
}

// A file attachment: 8.3 title, data, and its long name.
inline QByteArray fileAttachment(const QString &longName, const QByteArray &data, const QString &title = "FILE.DAT") {
    return rendering() + attribute(kAttachment, 0x00018010, title.toLatin1() + '\0') +
           attribute(kAttachment, 0x0006800F, data) +
           attribute(kAttachment, 0x00069005, Props().string(0x3707, longName, true).int32(0x3705, 1).bytes());
}

inline QByteArray messageAttachment(const QString &displayName, const QByteArray &innerStream) {
    return rendering() + attribute(kAttachment, 0x00018010, "Untitled Attachment\0") +
           attribute(kAttachment, 0x00069005,
                     Props().string(0x3001, displayName).int32(0x3705, 5).message(0x3701, innerStream).bytes());
}

} // namespace tnefbuild
