#include "engine/cursor_memo.h"

#include <cstdlib>
#include <cstring>

#include "engine/storage/os.h"

namespace tarn::cursor_memo {

PositionTable::~PositionTable() { std::free(slots_); }

void PositionTable::insert(const Entry& p) {
    if (used_ + 1 > (mask_ + 1) / 2 || slots_ == nullptr) makeRoom();
    if (slots_ == nullptr) return;
    for (uint32_t i = hash(p.field);; i = (i + 1) & mask_) {
        Entry& e = slots_[i];
        if (e.field == p.field || e.field == 0) {
            if (e.field == 0) ++used_;
            e = {p.field, p.owner, p.index, epoch_};
            return;
        }
    }
}

void PositionTable::openEpoch(uint64_t stamp) {
    stamp_ = stamp;
    if (++epoch_ == 0) {  // epochs wrapped: old entries could pass for new
        clear(mask_ + 1);
        epoch_ = 1;
    }
}

// Grows while there is room, keeping the entries of this epoch; at the
// largest size everything goes.
void PositionTable::makeRoom() {
    const uint32_t capacity = slots_ == nullptr ? kFirst : mask_ + 1;
    if (slots_ == nullptr || capacity >= kMaxPositions)
        clear(capacity);
    else
        grow(capacity * 2);
}

void PositionTable::clear(uint32_t capacity) {
    if (slots_ != nullptr && capacity == mask_ + 1) {
        std::memset(static_cast<void*>(slots_), 0, sizeof(Entry) * capacity);
    } else {
        std::free(slots_);
        slots_ = static_cast<Entry*>(os::Sys().calloc(capacity, sizeof(Entry)));
        mask_ = slots_ != nullptr ? capacity - 1 : 0;
    }
    used_ = 0;
}

void PositionTable::grow(uint32_t capacity) {
    auto* fresh = static_cast<Entry*>(os::Sys().calloc(capacity, sizeof(Entry)));
    if (fresh == nullptr) return clear(mask_ + 1);
    Entry* old = slots_;
    const uint32_t oldCapacity = mask_ + 1;
    slots_ = fresh;
    mask_ = capacity - 1;
    used_ = 0;
    for (uint32_t i = 0; i < oldCapacity; ++i)
        if (old[i].field != 0 && old[i].epoch == epoch_) insert(old[i]);
    std::free(old);
}

}  // namespace tarn::cursor_memo
