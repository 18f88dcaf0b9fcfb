#pragma once
// On-disk constants of Outlook Express 5/6 .dbx files. All integers are
// little-endian; every pointer is a 32-bit absolute file offset, 0 = none.

#include <array>
#include <cstdint>

namespace unfurl::layout {

inline constexpr uint32_t kHeaderSize = 0x24BC;
inline constexpr uint32_t kFileInfoLengthOffset = 0x1C;
inline constexpr uint32_t kVersion1Offset = 0x14;
inline constexpr uint32_t kVersion2Offset = 0x18;
inline constexpr uint32_t kRecordCountOffset = 0xC4;
inline constexpr uint32_t kTreeRootOffset = 0xE4;

// Bytes 0..3 of every OE5/6 database, then the 16-byte CLSID of its kind.
inline constexpr std::array<uint8_t, 4> kMagic = {0xCF, 0xAD, 0x12, 0xFE};
// {6F74FDC5-E366-11D1-9A4E-00C04FA309D4}, a mail or news folder.
inline constexpr std::array<uint8_t, 16> kMessageClsid = {
    0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11,
    0x9A, 0x4E, 0x00, 0xC0, 0x4F, 0xA3, 0x09, 0xD4};
// Same GUID with first byte C6: Folders.dbx; C7: Pop3uidl.dbx.
inline constexpr uint8_t kFolderClsidFirst = 0xC6;
inline constexpr uint8_t kPop3ClsidFirst = 0xC7;
// {26FE9D30-1A8F-11D2-AABF-006097D474C4}, Offline.dbx (first bytes suffice).
inline constexpr std::array<uint8_t, 4> kOfflineClsidStart = {0x30, 0x9D, 0xFE, 0x26};
// An Outlook Express 4 mailbox (.mbx) starts "JMF6".
inline constexpr std::array<uint8_t, 4> kOe4Magic = {0x4A, 0x4D, 0x46, 0x36};

// Index tree node.
inline constexpr uint32_t kNodeSize = 0x27C;
inline constexpr uint32_t kNodeLeftChild = 0x08;
inline constexpr uint32_t kNodeParent = 0x0C;
inline constexpr uint32_t kNodeEntryCount = 0x11;
inline constexpr uint32_t kNodeLeftCount = 0x14;
inline constexpr uint32_t kNodeEntries = 0x18;
inline constexpr uint32_t kNodeEntrySize = 12;
inline constexpr uint32_t kNodeMaxEntries = 0x33;

// Message-info record ("indexed info"): 12-byte header, then u32 entries.
inline constexpr uint32_t kRecordHeaderSize = 12;
inline constexpr uint32_t kIndexMessageNumber = 0x00;
inline constexpr uint32_t kIndexFlags = 0x01;
inline constexpr uint32_t kIndexFirstBlock = 0x04;
inline constexpr uint32_t kIndexSize = 0x11;
inline constexpr uint32_t kFlagTextStored = 0x1;

// Message data block.
inline constexpr uint32_t kBlockSize = 0x210;
inline constexpr uint32_t kBlockHeaderSize = 0x10;
inline constexpr uint32_t kBlockDataSize = 0x200;

// A real index needs a handful of levels; anything deeper is a corrupt tree.
inline constexpr int kMaxTreeDepth = 32;

} // namespace unfurl::layout
