#include "engine/storage/index_groups.h"

#include "engine/resultset.h"
#include "engine/storage/index_node.h"
#include "engine/storage/objstore.h"

namespace tarn::vindex {
namespace {

// The group of fieldId in the chain from `first`, or 0.
uint32_t findGroup(Store* s, uint16_t fieldId, uint32_t first, uint32_t* found) {
    *found = 0;
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; first != 0; ++steps) {
        if (steps > limit || !groupOk(s, first)) return markDamaged(s);
        const uint8_t* g = DataRaw(s, first);  // groupOk: the group lies in the area
        if (getU16(g + fmt::kGroupFieldId) == fieldId) {
            *found = first;
            return 0;
        }
        first = getU32(g + fmt::kGroupNext);
    }
    return 0;
}

}  // namespace

uint32_t GroupNew(Store* s, uint16_t fieldId, uint32_t field, uint32_t next, uint32_t* out) {
    uint32_t group = 0;
    uint32_t r = ObjAlloc(s, fmt::kGroupSize, &group);
    if (r != 0) return r;
    uint8_t bytes[fmt::kGroupSize];
    putU8(bytes + fmt::kGroupKind, fmt::kKindGroup);
    putU32(bytes + fmt::kGroupNext, next);
    putU32(bytes + fmt::kGroupFirst, field);
    putU32(bytes + fmt::kGroupCount, 1);
    putU16(bytes + fmt::kGroupFieldId, fieldId);
    DataPutBytes(s, group, fmt::kGroupSize, bytes);
    DataPutU32(s, field + fmt::kFieldIndexLink, 0);
    *out = group;
    return 0;
}

uint32_t GroupAdd(Store* s, uint16_t fieldId, uint32_t field, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = findGroup(s, fieldId, first, &group);
    if (r != 0) return r;
    if (group != 0) {
        uint8_t* g = DataWritePtr(s, group, fmt::kGroupSize);
        if (g == nullptr) return 0;
        putU32(g + fmt::kGroupCount, getU32(g + fmt::kGroupCount) + 1);
        DataPutU32(s, field + fmt::kFieldIndexLink, getU32(g + fmt::kGroupFirst));
        putU32(g + fmt::kGroupFirst, field);
        return 0;
    }
    if ((r = GroupNew(s, fieldId, field, DataGetU32(s, first + fmt::kGroupNext), &group)) != 0)
        return r;
    DataPutU32(s, first + fmt::kGroupNext, group);
    return 0;
}

uint32_t GroupRemove(Store* s, uint16_t fieldId, uint32_t field, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = findGroup(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t linkWord = group + fmt::kGroupFirst;  // the word that points at `cur`
    uint32_t cur = DataGetU32(s, linkWord);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; cur != field; ++steps) {
        if (cur == 0) return 0;
        if (steps > limit || !dataInRange(s, cur, fmt::kIndexedOverhead)) return markDamaged(s);
        linkWord = cur + fmt::kFieldIndexLink;
        cur = DataGetU32(s, linkWord);
    }
    DataPutU32(s, linkWord, DataGetU32(s, field + fmt::kFieldIndexLink));
    DataPutU32(s, field + fmt::kFieldIndexLink, 0);
    uint32_t count = DataGetU32(s, group + fmt::kGroupCount);
    if (count > 0) DataPutU32(s, group + fmt::kGroupCount, count - 1);
    return 0;
}

uint32_t GroupReport(Store* s, lumresset* set, uint16_t fieldId, uint32_t first) {
    uint32_t group = 0;
    uint32_t r = findGroup(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t field = DataGetU32(s, group + fmt::kGroupFirst);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; field != 0; ++steps) {
        if (steps > limit || !dataInRange(s, field, fmt::kIndexedOverhead)) return markDamaged(s);
        if ((r = ResultSetAdd(set, field, nullptr)) != 0) return r;
        field = DataGetU32(s, field + fmt::kFieldIndexLink);
    }
    return 0;
}

// A sound chain meets each field once. One that meets a field again loops
// until its step limit, and the set then drops the repeats it took.
uint32_t GroupReportFresh(Store* s, lumresset* set, uint16_t fieldId, uint32_t first) {
    if (!ResultSetFreshForFields(set)) return GroupReport(s, set, fieldId, first);
    uint32_t group = 0;
    uint32_t r = findGroup(s, fieldId, first, &group);
    if (r != 0 || group == 0) return r;
    uint32_t field = DataGetU32(s, group + fmt::kGroupFirst);
    uint64_t limit = StoreMaxSteps(s);
    for (uint64_t steps = 0; field != 0 && r == 0; ++steps) {
        if (steps > limit || !dataInRange(s, field, fmt::kIndexedOverhead))
            r = markDamaged(s);
        else if ((r = ResultSetAddNew(set, field)) == 0)
            field = DataGetU32(s, field + fmt::kFieldIndexLink);
    }
    if (r != 0) ResultSetDropRepeats(set);
    return r;
}

}  // namespace tarn::vindex
