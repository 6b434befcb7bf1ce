// A set of data offsets for the walks over stored chains, which note every
// chain or field they pass so that a damaged file that links them in a
// circle is noticed instead of followed for ever. Internal to the XML layer.
#ifndef TARNXML_ADDRESS_SET_H
#define TARNXML_ADDRESS_SET_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnxml_detail {

// Open addressing in a table that only grows (kept at most half full): an
// entry takes no memory of its own, as walks enter and leave millions.
class AddressSet {
public:
    // False when `address` is in the set already.
    bool insert(uint32_t address) {
        if (address == kFree) return !std::exchange(_hasNone, true);
        if (2 * (_count + 1) > _slots.size()) _grow();
        std::size_t at = _home(address);
        for (; _slots[at] != kFree; at = _next(at)) {
            if (_slots[at] == address) return false;
        }
        _slots[at] = address;
        ++_count;
        return true;
    }

    void erase(uint32_t address) {
        if (address == kFree) _hasNone = false;
        if (address == kFree || _slots.empty()) return;
        std::size_t at = _home(address);
        for (; _slots[at] != address; at = _next(at)) {
            if (_slots[at] == kFree) return;
        }
        // Moves back every later entry of the run that may not stay behind
        // the hole, so that no look-up stops short of its entry.
        for (std::size_t later = _next(at); _slots[later] != kFree; later = _next(later)) {
            const std::size_t home = _home(_slots[later]);
            const bool stays = at < later ? (home > at && home <= later) : (home > at || home <= later);
            if (!stays) {
                _slots[at] = _slots[later];
                at = later;
            }
        }
        _slots[at] = kFree;
        --_count;
    }

private:
    // A free slot holds 0, the offset that means "none"; that one is kept
    // apart.
    static constexpr uint32_t kFree = 0;

    std::size_t _home(uint32_t address) const {
        return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> _shift);
    }
    std::size_t _next(std::size_t at) const { return (at + 1) & (_slots.size() - 1); }

    void _grow() {
        std::vector<uint32_t> old(_slots.empty() ? 32 : 2 * _slots.size(), kFree);
        old.swap(_slots);
        _shift = 64;
        for (std::size_t size = _slots.size(); size > 1; size /= 2) --_shift;
        _count = 0;
        for (uint32_t address : old) {
            if (address != kFree) insert(address);
        }
    }

    std::vector<uint32_t> _slots;
    std::size_t _count = 0;
    bool _hasNone = false;
    unsigned _shift = 64;
};

}  // namespace tarnxml_detail

#endif
