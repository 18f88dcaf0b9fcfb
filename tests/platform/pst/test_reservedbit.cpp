// The lowest bit of a block reference is reserved and reads as zero. Stores
// in the wild have it set; under "high" encoding a reader that keeps it
// also decodes the block with the wrong key. Here a copy of a high-encoding
// sample gets the bit set in every message's reference to its attachment
// table and to each attachment's own properties (the subnode tree blocks
// that hold them are rewritten with their CRC made right), and every
// attachment must still be listed, named and saved as from the original.
#include "corpus.h"

#include "core/error.h"
#include "outlook/outlookmodel.h"
#include "platform/pst/pstengine.h"
#include "platform/pst/ndb/ndbfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

using namespace pw::outlook;
using namespace pw::pst;
using namespace pw::pst::test;

namespace {

// The format's CRC-32: reflected 0xEDB88320, starting at zero, no final xor.
std::uint32_t blockCrc(const unsigned char *data, std::size_t size) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

std::uint64_t le(const QByteArray &bytes, qsizetype at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void putLe(QByteArray &bytes, qsizetype at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Each mail's attachments: file name and a hash of the saved bytes.
using Listing = std::map<QString, QStringList>;

void list(const FolderPtr &folder, const QString &scratch, Listing &out) {
    auto items = folder->Items();
    for (int i = 1; i <= items->count(); ++i) {
        auto item = items->Item(i);
        auto attachments = item->Attachments();
        QStringList saved;
        for (int a = 1; a <= attachments->count(); ++a) {
            auto attachment = attachments->Item(a);
            const QString path = QDir(scratch).filePath(QStringLiteral("a%1").arg(out.size() * 100 + a));
            attachment->SaveAsFile(path);
            QFile file(path);
            EXPECT_TRUE(file.open(QIODevice::ReadOnly));
            saved.append(attachment->fileName() + QLatin1Char(' ')
                         + QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex()));
            file.remove();
        }
        if (!saved.isEmpty())
            out[item->EntryID()] = saved;
    }
    auto children = folder->Folders();
    for (int i = 1; i <= children->count(); ++i)
        list(children->Item(i), scratch, out);
}

Listing listStore(const QString &path, const QString &scratch) {
    Listing out;
    auto ns = createPstApplication({path})->GetNamespace(QStringLiteral("MAPI"));
    list(ns->Folders()->Item(1), scratch, out);
    return out;
}

} // namespace

TEST(PstReservedBit, EveryAttachmentIsReadWithTheBitSet) {
    PW_REQUIRE_CORPUS();
    QTemporaryDir dir;
    const QString original = corpusDir() + QStringLiteral("/pst/2003_high-encryption_quickquick.pst");
    const QString patched = dir.filePath(QStringLiteral("reserved-bit.pst"));
    ASSERT_TRUE(QFile::copy(original, patched));
    const QString scratch = dir.filePath(QStringLiteral("saved"));
    ASSERT_TRUE(QDir().mkpath(scratch));
    const Listing before = listStore(original, scratch);
    ASSERT_GE(before.size(), 2u) << "the sample should hold mail with attachments";

    QFile file(patched);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const ndb::NdbFile store(original);
    ASSERT_EQ(store.format(), ndb::Format::Unicode) << "the sample is a Unicode store";
    ASSERT_EQ(store.encoding(), ndb::Encoding::Cyclic) << "the sample uses high encoding";
    int references = 0;
    for (const auto &[entryId, names] : before) {
        // The EntryID ends with the node id, little-endian.
        const auto nodeId = static_cast<std::uint32_t>(le(QByteArray::fromHex(entryId.right(8).toLatin1()), 0, 4));
        const ndb::NodeEntry *node = store.node(nodeId);
        ASSERT_TRUE(node && store.block(node->subnodeBid)) << entryId.toStdString();
        const ndb::BlockEntry *tree = store.block(node->subnodeBid);
        const qsizetype offset = static_cast<qsizetype>(tree->offset);
        const qsizetype size = static_cast<qsizetype>(tree->size);
        // A subnode leaf block, stored as is: type 2, level 0, entries of
        // node id, data block and subnode block, 8 bytes each.
        ASSERT_EQ(bytes[offset], 0x02);
        ASSERT_EQ(bytes[offset + 1], 0x00) << "a one-level subnode tree";
        const qsizetype count = static_cast<qsizetype>(le(bytes, offset + 2, 2));
        for (qsizetype e = 0; e < count; ++e) {
            const qsizetype entry = offset + 8 + e * 24;
            const std::uint64_t subnode = le(bytes, entry, 8);
            // The attachment table and the attachments' own properties.
            if (subnode == 0x671 || (subnode & 0x1F) == 0x05) {
                putLe(bytes, entry + 8, le(bytes, entry + 8, 8) | 1, 8);
                ++references;
            }
        }
        // The block's trailer: size, signature, CRC, block id.
        const qsizetype trailer = offset + ((size + 16 + 63) / 64) * 64 - 16;
        ASSERT_EQ(le(bytes, trailer, 2), static_cast<std::uint64_t>(size));
        ASSERT_EQ(le(bytes, trailer + 8, 8), static_cast<std::uint64_t>(tree->bid));
        putLe(bytes, trailer + 4, blockCrc(reinterpret_cast<const unsigned char *>(bytes.constData() + offset),
                                           static_cast<std::size_t>(size)),
              4);
    }
    ASSERT_GT(references, static_cast<int>(before.size()));
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    const Listing after = listStore(patched, scratch);
    EXPECT_EQ(after, before);
}
