// Result lists: the offsets of a result set as a plain array, optionally
// sorted by field values of their records.
//
// Sorting reads every key value once per item, up front, and then compares
// the copies; the comparisons, and the order of the quicksort and insertion
// passes that make them, are those of a sort that fetched the values afresh
// for every comparison. The sort is not stable.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "engine/c_boundary.h"
#include "engine/cursor.h"
#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/resultset.h"
#include "engine/storage/bytes.h"
#include "engine/storage/os.h"

struct lumreslist {
    uint32_t* items = nullptr;  // null when empty
    uint32_t count = 0;
};

namespace tarn {
namespace {

// Zero bytes after every key value: strings always end, and a value shorter
// than the width the first item's base type asks for reads as zero-extended.
constexpr uint32_t kPad = 8;

struct KeyValue {
    uint32_t base = 0;
    size_t offset = 0;  // into the value bytes
    bool present = false;
};

int32_t sign(int64_t d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

int32_t compareBytes(const uint8_t* a, const uint8_t* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (*a == 0) return 0;
    }
}

// Both values are read as the base type of the first says.
int32_t compareAs(uint32_t base, const uint8_t* a, const uint8_t* b) {
    switch (base) {
    case 1: return sign(int64_t(a[0]) - b[0]);
    case 2: return sign(int64_t(int8_t(a[0])) - int8_t(b[0]));
    case 3: return sign(int64_t(getU16(a)) - getU16(b));
    case 4: return sign(int64_t(int16_t(getU16(a))) - int16_t(getU16(b)));
    case 5: return sign(int64_t(getU32(a)) - getU32(b));
    case 6: return sign(int64_t(int32_t(getU32(a))) - int32_t(getU32(b)));
    case 8:
    case 9: return compareBytes(a, b);
    default: return 0;
    }
}

class Sorter {
public:
    Sorter(const LumSortKey* keys, uint32_t keyCount, uint32_t items)
        : keys_(keys), keyCount_(keyCount), values_(size_t(items) * keyCount) {}

    // Fetches every key of every item through `cur`, as a comparison would.
    // A key that cannot be read compares equal, but running out of memory is
    // reported: the list would not be in the order asked for.
    uint32_t load(lumcursor* cur, const uint32_t* items, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t k = 0; k < keyCount_; ++k)
                if (uint32_t r = loadOne(cur, items[i], k, &at(i, k))) return r;
        return rc::kOk;
    }

    // Sorts the item numbers 0..n-1 into `order`.
    void sort(std::vector<uint32_t>& order) {
        if (order.size() > 4) quicksort(order);
        if (order.size() >= 2) insertionSort(order);
    }

private:
    KeyValue& at(uint32_t item, uint32_t key) { return values_[size_t(item) * keyCount_ + key]; }

    static uint32_t onlyOutOfMemory(uint32_t r) { return (r & rc::kMalloc) ? r : rc::kOk; }

    uint32_t loadOne(lumcursor* cur, uint32_t item, uint32_t k, KeyValue* out) {
        static const uint32_t kUtf8 = 2;
        LumTypeId id = 0;
        uint32_t size = 0;
        if (LumCursorGotoMemberAddress(cur, item) != 0) return rc::kOk;
        if (LumCursorGotoField(cur, keys_[k].position) != 0) return rc::kOk;
        if (uint32_t r = LumCursorFetchField(cur, &id, nullptr, 0, &kUtf8, &size, nullptr, nullptr))
            return onlyOutOfMemory(r);
        const size_t start = bytes_.size();
        bytes_.resize(start + size + kPad, 0);
        if (uint32_t r = LumCursorFetchField(cur, &id, bytes_.data() + start, size, &kUtf8, nullptr,
                                             nullptr, nullptr)) {
            bytes_.resize(start);
            return onlyOutOfMemory(r);
        }
        *out = {id & 0xFF, start, true};
        return rc::kOk;
    }

    // Keys that could not be read, and orders other than 0..2, compare equal.
    int32_t compare(uint32_t a, uint32_t b) {
        for (uint32_t k = 0; k < keyCount_; ++k) {
            const KeyValue& va = at(a, k);
            const KeyValue& vb = at(b, k);
            if (!va.present || !vb.present) continue;
            const uint8_t* pa = bytes_.data() + va.offset;
            const uint8_t* pb = bytes_.data() + vb.offset;
            int32_t r = 0;
            switch (keys_[k].order) {
            case 0: r = compareAs(va.base, pa, pb); break;
            case 1: r = -compareAs(va.base, pa, pb); break;
            case 2:
                if (keys_[k].compare != nullptr) r = keys_[k].compare(va.base, pa, vb.base, pb);
                break;
            default: break;
            }
            if (r != 0) return r;
        }
        return 0;
    }
    bool less(uint32_t a, uint32_t b) { return compare(a, b) < 0; }

    // Median of three, explicit stack, parts of five or fewer left for the
    // insertion pass. The scans are bounded so that a comparison that is not
    // a consistent order cannot run them off the array.
    void quicksort(std::vector<uint32_t>& item) {
        std::vector<std::pair<ptrdiff_t, ptrdiff_t>> stack;
        ptrdiff_t low = 0, high = ptrdiff_t(item.size()) - 1;
        for (;;) {
            const ptrdiff_t mid = low + (high - low) / 2;
            if (less(item[mid], item[low])) std::swap(item[mid], item[low]);
            if (less(item[high], item[mid])) {
                std::swap(item[high], item[mid]);
                if (less(item[mid], item[low])) std::swap(item[mid], item[low]);
            }
            const uint32_t pivot = item[mid];
            ptrdiff_t i = low + 1, j = high - 1;
            do {
                while (i <= high && less(item[i], pivot)) ++i;
                while (j >= low && less(pivot, item[j])) --j;
                if (i < j) {
                    std::swap(item[i], item[j]);
                    ++i;
                    --j;
                } else if (i == j) {
                    ++i;
                    --j;
                    break;
                }
            } while (i <= j);

            const bool leftLarge = j - low > 4, rightLarge = high - i > 4;
            if (!leftLarge && !rightLarge) {
                if (stack.empty()) return;
                low = stack.back().first;
                high = stack.back().second;
                stack.pop_back();
            } else if (!rightLarge) {
                high = j;
            } else if (!leftLarge) {
                low = i;
            } else if (j - low > high - i) {
                stack.emplace_back(low, j);
                low = i;
            } else {
                stack.emplace_back(i, high);
                high = j;
            }
        }
    }

    // The smallest of the first five goes first and stops every shift.
    void insertionSort(std::vector<uint32_t>& item) {
        const size_t n = item.size();
        size_t smallest = 0;
        for (size_t k = 1; k <= (n - 1 < 4 ? n - 1 : 4); ++k)
            if (less(item[k], item[smallest])) smallest = k;
        std::swap(item[0], item[smallest]);
        for (size_t k = 2; k < n; ++k) {
            const uint32_t taken = item[k];
            size_t p = k;
            for (; p > 0 && less(taken, item[p - 1]); --p) item[p] = item[p - 1];
            item[p] = taken;
        }
    }

    const LumSortKey* keys_;
    uint32_t keyCount_;
    std::vector<KeyValue> values_;
    std::vector<uint8_t> bytes_;
};

// The items of a list being made: freed unless the list takes them.
struct Items {
    uint32_t* at = nullptr;

    Items() = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() { std::free(at); }
};

uint32_t makeList(lumreslist** out, Items& items, uint32_t count) {
    void* mem = os::Sys().malloc(sizeof(lumreslist));
    if (mem == nullptr) return rc::kMalloc;
    auto* list = new (mem) lumreslist();
    list->items = items.at;
    items.at = nullptr;
    list->count = count;
    *out = list;
    return rc::kOk;
}

class CursorOn {
public:
    CursorOn() = default;
    CursorOn(const CursorOn&) = delete;
    CursorOn& operator=(const CursorOn&) = delete;
    ~CursorOn() {
        if (cur != nullptr) LumCursorDestroy(cur);
    }
    lumcursor* cur = nullptr;
};

uint32_t sortItems(lumdb* db, uint32_t* items, uint32_t n, uint32_t keyCount,
                   const LumSortKey* keys) {
    Sorter sorter(keys, keyCount, n);
    std::vector<uint32_t> order(n), sorted(n);
    {
        CursorOn reader;
        if (uint32_t r = LumCursorCreate(&reader.cur, db)) return r;
        if (uint32_t r = sorter.load(reader.cur, items, n)) return r;
    }
    if (db->store->damaged) return rc::kIllegalFile;
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    sorter.sort(order);
    for (uint32_t i = 0; i < n; ++i) sorted[i] = items[order[i]];
    std::memcpy(items, sorted.data(), size_t(n) * sizeof(uint32_t));
    return rc::kOk;
}

uint32_t createList(lumreslist** out, lumresset* set, uint32_t keyCount, const LumSortKey* keys) {
    lumdb* db = ResultSetDatabase(set);
    if (db->store->damaged) return rc::kIllegalFile;
    if (out == nullptr) return rc::kBadParameter;
    const uint32_t n = ResultSetLiveCount(set);
    Items items;
    if (n != 0) {
        items.at = static_cast<uint32_t*>(os::Sys().malloc(size_t(n) * sizeof(uint32_t)));
        if (items.at == nullptr) return rc::kMalloc;
        ResultSetLiveValues(set, items.at);
    }
    if (keyCount != 0 && keys != nullptr && n != 0)
        if (uint32_t r = sortItems(db, items.at, n, keyCount, keys)) return r;
    return makeList(out, items, n);
}

}  // namespace
}  // namespace tarn

namespace rc = tarn::rc;

uint32_t LumResListCreate(lumreslist** out, lumresset* set, uint32_t keyCount,
                          const LumSortKey* keys) {
    if (set == nullptr) return rc::kBadResultSet;
    return tarn::Guarded([&] { return tarn::createList(out, set, keyCount, keys); });
}

uint32_t LumResListGetSize(lumreslist* list, uint32_t* out) {
    if (list == nullptr) return rc::kBadResultList;
    if (out == nullptr) return rc::kBadParameter;
    *out = list->count;
    return rc::kOk;
}

uint32_t LumResListGetItem(lumreslist* list, lumcursor* cur, uint32_t item) {
    if (list == nullptr) return rc::kBadResultList;
    if (item >= list->count) return rc::kBadListIndex;
    if (cur == nullptr) return rc::kBadCursor;
    // The cursor works out the item's position when asked; an owner is at 0.
    return LumCursorGotoMemberAddress(cur, list->items[item]);
}

uint32_t LumResListDestroy(lumreslist* list) {
    if (list == nullptr) return rc::kBadResultList;
    std::free(list->items);
    list->~lumreslist();
    std::free(list);
    return rc::kOk;
}
