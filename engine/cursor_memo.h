// The position memo of a cursor: the positions of fields the cursor has left
// and the counts of records, so that coming back by member address, as the
// XML layer does for every element however wide the subtree it visited in
// between, costs no long walk. Direct-mapped slots, beside a growing hash
// table that keeps what they displace when it lies far into its record.
//
// Every entry carries the stamp (the database's modCount) it was true under;
// one of another stamp is as good as absent. Nothing here touches the store.
#ifndef TARN_CURSOR_MEMO_H
#define TARN_CURSOR_MEMO_H

#include <cstdint>

namespace tarn::cursor_memo {

constexpr uint32_t kSlotBits = 6;
constexpr uint32_t kSlots = 1u << kSlotBits;

struct Position {
    uint32_t field, owner, index;
    uint64_t stamp;
};
struct Count {
    uint32_t owner, count, last;  // the record's fields, the last of them
    uint64_t stamp;
};

inline uint32_t slot(uint32_t key) {
    return uint32_t((uint64_t(key) * 2654435769u & 0xFFFFFFFFu) >> (32 - kSlotBits));
}

// Positions by field offset, open addressing with linear probing, for fields
// far into their records (the others are found again by a short walk). It
// takes what the direct-mapped memo displaces, not every position. It grows
// up to kMaxPositions entries and then starts afresh; a failed allocation
// only loses entries. Entries carry an epoch instead of the stamp: a new
// stamp opens a new epoch, and entries of older epochs are as good as absent.
class PositionTable {
public:
    // Fields nearer than this to their owner are not kept here.
    static constexpr uint32_t kFar = 16;

    PositionTable() = default;
    PositionTable(const PositionTable&) = delete;
    PositionTable& operator=(const PositionTable&) = delete;
    ~PositionTable();

    // Positions wait in a short list, their slots asked for, and enter the
    // table together: a slot of a large table is seldom in the caches.
    void put(const Position& p) {
        if (p.field == 0 || p.index < kFar) return;
        if (p.stamp != stamp_) {
            waiting_ = 0;  // of the old epoch
            openEpoch(p.stamp);
        }
        if (slots_ != nullptr) __builtin_prefetch(&slots_[hash(p.field)]);
        waitingList_[waiting_++] = {p.field, p.owner, p.index, 0};
        if (waiting_ == kWaiting) {
            for (uint32_t i = 0; i < kWaiting; ++i) insert(waitingList_[i]);
            waiting_ = 0;
        }
    }

    // The position of `field` under `stamp`, written to *out; false if none.
    bool find(uint32_t field, uint64_t stamp, Position* out) const {
        if (field == 0 || stamp != stamp_) return false;
        for (uint32_t i = waiting_; i-- > 0;) {  // the latest first
            const Entry& e = waitingList_[i];
            if (e.field == field) {
                *out = {e.field, e.owner, e.index, stamp};
                return true;
            }
        }
        if (slots_ == nullptr) return false;
        for (uint32_t i = hash(field);; i = (i + 1) & mask_) {
            const Entry& e = slots_[i];
            if (e.field == field) {
                if (e.epoch != epoch_) return false;
                *out = {e.field, e.owner, e.index, stamp};
                return true;
            }
            if (e.field == 0) return false;
        }
    }

private:
    struct Entry {
        uint32_t field, owner, index, epoch;
    };
    static constexpr uint32_t kFirst = 64;
    static constexpr uint32_t kMaxPositions = 1u << 16;
    static constexpr uint32_t kWaiting = 16;

    void insert(const Entry& p);
    // The high bits of the product depend on every bit of the offset.
    uint32_t hash(uint32_t key) const {
        return uint32_t((uint64_t(key) * 0x9E3779B97F4A7C15ull) >> 40) & mask_;
    }
    void openEpoch(uint64_t stamp);
    void makeRoom();
    void clear(uint32_t capacity);
    void grow(uint32_t capacity);

    Entry waitingList_[kWaiting];
    uint32_t waiting_ = 0;
    Entry* slots_ = nullptr;
    uint32_t mask_ = 0;
    uint32_t used_ = 0;
    uint32_t epoch_ = 0;
    uint64_t stamp_ = UINT64_MAX;  // the stamp of this epoch
};

// The whole memo of one cursor.
struct Memo {
    Position positions[kSlots]{};
    PositionTable farPositions;
    Count counts[kSlots]{};

    // Keeps a position, or a count (with the position of the field it ends
    // at); what either displaces under the same stamp goes to the far table.
    void notePosition(const Position& p, uint64_t stamp) {
        Position& e = positions[slot(p.field)];
        if (e.field != p.field && e.stamp == stamp) farPositions.put(e);
        e = p;
    }
    void noteCount(const Count& n, uint64_t stamp) {
        Count& e = counts[slot(n.owner)];
        // A count is the position of its last field, plus one.
        if (e.owner != n.owner && e.owner != 0 && e.stamp == stamp)
            farPositions.put({e.last, e.owner, e.count - 1, e.stamp});
        e = n;
    }
    // The count of `owner`'s record under `stamp`, or null.
    const Count* count(uint32_t owner, uint64_t stamp) const {
        const Count& n = counts[slot(owner)];
        return n.owner == owner && n.stamp == stamp ? &n : nullptr;
    }
    // The position of `field` under `stamp`, written to *out; false if none.
    bool position(uint32_t field, uint64_t stamp, Position* out) const {
        *out = positions[slot(field)];
        return (out->field == field && out->stamp == stamp) || farPositions.find(field, stamp, out);
    }
};

}  // namespace tarn::cursor_memo

#endif
