// The database file format. Documented here once; every reader and writer
// uses these constants, never bare offsets.
//
// A database is the header area (file offsets 0..12287) followed directly by
// the data area. A data offset d names file offset 12288 + d; 0 means "none",
// and offsets 0..7 are never handed out. All integers are little-endian and
// unaligned. The data area grows by growSize bytes and never shrinks; from
// highWater on it holds no objects.
//
// Header area (12288 bytes)
//   OFFSET  WIDTH        NAME            CONTENT
//   0       3            magic           "ORL"
//   3       1            version         4
//   4       16 x 4       smallFree       free-list heads for block sizes 8..23:
//                                        size s at 4 + 4 * (s - 8); 0 = empty
//   68      4            largeFree       head of the list of blocks > 23 bytes
//   72      4            highWater       first data offset never handed out (8 new)
//   76      948          reserved        zero
//   1024    11 x 256 x 4 IndexRootTable  index root per class 0..10 and bucket
//                                        byte: 1024 + 4 * (256 * class + bucket)
//
// Free block (on a free list)
//   0  4  next free block of the same list; 0 = end
//   4  4  block size in bytes (largeFree list only)
//
// FieldObject: one field of a record. The first field is the record's owner.
//   0   1  kind: 3 plain, 4 indexed
//   1   1  base type code
//   2   2  field id (type number)
//   4   4  owner: data offset of the record's owner (an owner holds itself)
//   8   4  next field of the record; 0 = last
//   12  4  kind 4 only: index link, next field in the same IndexGroup
//   12 (kind 3) / 16 (kind 4): the value
//   Base type 10, whatever the kind: length word at 12, bytes from 16.
//   Block size: plain 12 + value size; indexed or type 10: 16 + value size.
//
// IndexNode: one key of an AVL tree of one class and bucket.
//   0   1  kind: 1
//   1   4  left child; 0 = none
//   5   4  right child; 0 = none
//   9   4  first IndexGroup of this key
//   13  1  direction scratch of insertion: 1 right, 255 left
//   14  1  balance: 255 left higher, 0 even, 1 right higher
//   15  -  key: 2 or 4 bytes (classes 3..6), NUL-terminated string (8, 9)
// A tree's head node is a 15-byte IndexNode without key whose right child is
// the root; the IndexRootTable entry points at the head node.
//
// IndexGroup: the indexed fields sharing one key and one field id (15 bytes).
//   0   1  kind: 2
//   1   4  next group of the same key; 0 = end
//   5   4  first field (the chain runs through the fields' index links)
//   9   4  number of fields entered
//   13  2  field id
// Classes 1 and 2 have no trees: their root entry points at the first group.
//
// Base type classes: codes 1..10 are their own class, 128 is class 1,
// 129..137 class 5, 138..156 class 9, every other code class 0.
//
// Rollback journal: a file of its own, "<database>-journal" beside the
// database (symbolic links resolved), that exists only while a change of an
// existing database is being written. It holds the committed bytes of every
// page the change overwrites, so that the next open can put them back. It
// belongs to one database and one change: a journal is applied only when it
// is whole (every checksum right, every record present) and names the very
// file beside it with a size the change can have left (sizeBefore ..
// sizeAfter). Pages are kJournalPage bytes of the database file, header area
// included: page p is file bytes [p * 4096, p * 4096 + 4096).
//
// Journal header (72 bytes)
//   OFFSET  WIDTH  NAME        CONTENT
//   0       8      magic       "ORLjrnl" and a NUL
//   8       4      version     1
//   12      4      pageSize    4096
//   16      8      device      st_dev of the database file
//   24      8      inode       st_ino of the database file
//   32      8      sizeBefore  file size as committed: what a rollback restores
//   40      8      sizeAfter   file size the change grows it to (>= sizeBefore)
//   48      8      salt        drawn afresh for every journal
//   56      4      records     number of page records that follow
//   60      4      reserved    zero
//   64      8      checksum    of bytes 0..63 (JournalChecksum, seed 0)
//
// Page record (16 + 4096 bytes), from offset 72 on, in ascending page order
//   0       4      page        page number
//   4       4      reserved    zero
//   8       8      checksum    of bytes 0..7 and 16.., seeded with the salt
//   16      4096   bytes       the page as committed; zero past sizeBefore
#ifndef TARN_STORAGE_FORMAT_H
#define TARN_STORAGE_FORMAT_H

#include <cstdint>

namespace tarn::fmt {

constexpr uint32_t kHeaderSize = 12288;
constexpr uint32_t kMagicOffset = 0;
constexpr char kMagic[3] = {'O', 'R', 'L'};
constexpr uint32_t kVersionOffset = 3;
constexpr uint8_t kVersion = 4;
constexpr uint32_t kSmallFreeOffset = 4;
constexpr uint32_t kSmallMin = 8;   // smallest block size
constexpr uint32_t kSmallMax = 23;  // largest size kept on an exact-size list
constexpr uint32_t kLargeFreeOffset = 68;
constexpr uint32_t kHighWaterOffset = 72;
constexpr uint32_t kReservedOffset = 76;
constexpr uint32_t kFormattedPrefix = 1024;  // bytes 0..1023 hold the words above
constexpr uint32_t kIndexRootOffset = 1024;
constexpr uint32_t kClassCount = 11;
constexpr uint32_t kFirstObject = 8;  // first data offset ever handed out

constexpr uint32_t smallFreeHead(uint32_t size) { return kSmallFreeOffset + 4 * (size - kSmallMin); }
constexpr uint32_t indexRoot(uint32_t cls, uint32_t bucket) {
    return kIndexRootOffset + 4 * (256 * cls + bucket);
}

// Free block
constexpr uint32_t kFreeNext = 0;
constexpr uint32_t kFreeSize = 4;

// FieldObject
constexpr uint8_t kKindPlain = 3;
constexpr uint8_t kKindIndexed = 4;
constexpr uint32_t kFieldKind = 0;
constexpr uint32_t kFieldBase = 1;
constexpr uint32_t kFieldId = 2;
constexpr uint32_t kFieldOwner = 4;
constexpr uint32_t kFieldNext = 8;
constexpr uint32_t kFieldIndexLink = 12;
constexpr uint32_t kFieldBlockLength = 12;  // base type 10
constexpr uint32_t kPlainValue = 12;
constexpr uint32_t kIndexedValue = 16;
constexpr uint32_t kPlainOverhead = 12;
constexpr uint32_t kIndexedOverhead = 16;
constexpr uint8_t kBaseBytes = 8;   // NUL-terminated byte string
constexpr uint8_t kBaseText = 9;    // NUL-terminated text
constexpr uint8_t kBaseBlock = 10;  // byte block with explicit length

// IndexNode
constexpr uint8_t kKindNode = 1;
constexpr uint32_t kNodeKind = 0;
constexpr uint32_t kNodeLeft = 1;
constexpr uint32_t kNodeRight = 5;
constexpr uint32_t kNodeGroups = 9;
constexpr uint32_t kNodeDirection = 13;
constexpr uint32_t kNodeBalance = 14;
constexpr uint32_t kNodeKey = 15;
constexpr uint32_t kHeadNodeSize = 15;
constexpr uint8_t kRight = 1;
constexpr uint8_t kLeft = 255;

// IndexGroup
constexpr uint8_t kKindGroup = 2;
constexpr uint32_t kGroupKind = 0;
constexpr uint32_t kGroupNext = 1;
constexpr uint32_t kGroupFirst = 5;
constexpr uint32_t kGroupCount = 9;
constexpr uint32_t kGroupFieldId = 13;
constexpr uint32_t kGroupSize = 15;

// Rollback journal
constexpr char kJournalSuffix[] = "-journal";
constexpr char kJournalMagic[8] = {'O', 'R', 'L', 'j', 'r', 'n', 'l', 0};
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kJournalPage = 4096;
constexpr uint32_t kJournalPageShift = 12;
constexpr uint32_t kJournalMagicOffset = 0;
constexpr uint32_t kJournalVersionOffset = 8;
constexpr uint32_t kJournalPageSizeOffset = 12;
constexpr uint32_t kJournalDeviceOffset = 16;
constexpr uint32_t kJournalInodeOffset = 24;
constexpr uint32_t kJournalSizeBeforeOffset = 32;
constexpr uint32_t kJournalSizeAfterOffset = 40;
constexpr uint32_t kJournalSaltOffset = 48;
constexpr uint32_t kJournalRecordsOffset = 56;
constexpr uint32_t kJournalHeaderChecksum = 64;  // covers the bytes before it
constexpr uint32_t kJournalHeaderSize = 72;
constexpr uint32_t kRecordPage = 0;
constexpr uint32_t kRecordReserved = 4;
constexpr uint32_t kRecordChecksum = 8;
constexpr uint32_t kRecordBytes = 16;
constexpr uint32_t kJournalRecordSize = kRecordBytes + kJournalPage;
static_assert(kHeaderSize % kJournalPage == 0, "no page holds both areas");
static_assert(1u << kJournalPageShift == kJournalPage);

// Storage classes: how a value is stored and how the value index keys it.
constexpr int kClassNone = 0;  // a code no value is stored as
constexpr int kClassU8 = 1;
constexpr int kClassS8 = 2;
constexpr int kClassU16 = 3;
constexpr int kClassS16 = 4;
constexpr int kClassU32 = 5;
constexpr int kClassS32 = 6;
constexpr int kClassNoValue = 7;
constexpr int kClassBytes = 8;   // NUL-terminated byte string
constexpr int kClassText = 9;    // NUL-terminated string, stored as UTF-8
constexpr int kClassBlock = 10;  // byte block with explicit length

// Classes 1..6, 8 and 9 have index keys: their fields are entered into the
// value index and searched there. 0, 7 and 10 have none.
constexpr bool hasIndexKey(int cls) {
    return (cls >= kClassU8 && cls <= kClassS32) || cls == kClassBytes || cls == kClassText;
}
constexpr bool isStringClass(int cls) { return cls == kClassBytes || cls == kClassText; }
// Keys of one byte: the bucket byte is the whole key, so there is no tree.
constexpr bool isOneByteClass(int cls) { return cls == kClassU8 || cls == kClassS8; }
// Bytes of a numeric class's value (1, 2 or 4); 0 for every other class.
constexpr uint32_t numberWidth(int cls) {
    return cls == kClassU8 || cls == kClassS8     ? 1
           : cls == kClassU16 || cls == kClassS16 ? 2
           : cls == kClassU32 || cls == kClassS32 ? 4
                                                  : 0;
}
constexpr bool isSignedClass(int cls) { return cls == kClassS8 || cls == kClassS16 || cls == kClassS32; }

// Storage class of a base type code (0 = none), by table: it is asked
// several times for every field stored.
struct BaseClassTable {
    uint8_t of[256] = {};
    constexpr BaseClassTable() {
        for (uint32_t code = 1; code <= 10; ++code) of[code] = uint8_t(code);  // their own class
        of[128] = kClassU8;
        for (uint32_t code = 129; code <= 137; ++code) of[code] = kClassU32;
        for (uint32_t code = 138; code <= 156; ++code) of[code] = kClassText;
    }
};
inline constexpr BaseClassTable kBaseClasses{};

constexpr int baseTypeClass(uint32_t code) { return code < 256 ? kBaseClasses.of[code] : kClassNone; }

}  // namespace tarn::fmt

#endif
