// Value index: entering and taking out fields. Keys (index_key.h), trees
// (index_tree.h), groups (index_groups.h), searches (index_search.cpp) and
// the session's loading memory (index_memory.h) each have their own file.
#include "engine/storage/value_index.h"

#include "engine/storage/index_groups.h"
#include "engine/storage/index_key.h"
#include "engine/storage/index_memory.h"
#include "engine/storage/index_node.h"
#include "engine/storage/index_tree.h"

namespace tarn {
namespace {

using namespace vindex;

// Without room for a first group the key keeps its node, which searches skip.
uint32_t enterIntoTree(Store* s, uint8_t base, uint16_t fieldId, uint32_t field, const KeyDesc& kd,
                       uint32_t root) {
    uint32_t node = 0;
    const uint32_t before = root;
    if (uint32_t r = TreeInsertRemembered(s, &root, kd, &node)) return r;
    if (root != before) IndexRootSet(s, base, kd.bucket, root);  // a tree was planted
    uint32_t groups = DataGetU32(s, node + fmt::kNodeGroups);
    if (groups != 0) return GroupAdd(s, fieldId, field, groups);
    uint32_t r = GroupNew(s, fieldId, field, 0, &groups);
    if (r == 0) DataPutU32(s, node + fmt::kNodeGroups, groups);
    return r;
}

}  // namespace

uint32_t IndexInsert(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field,
                     uint32_t length) {
    const int cls = fmt::baseTypeClass(base);
    if (!fmt::hasIndexKey(cls)) return 0;
    if (!value) return rc::kBadParameter;
    const KeyDesc kd = KeyDescribe(cls, value, length);
    uint32_t root = IndexRootGet(s, base, kd.bucket);
    if (!fmt::isOneByteClass(cls)) return finish(s, enterIntoTree(s, base, fieldId, field, kd, root));
    if (root != 0) return finish(s, GroupAdd(s, fieldId, field, root));
    const uint32_t r = GroupNew(s, fieldId, field, 0, &root);
    if (r == 0) IndexRootSet(s, base, kd.bucket, root);
    return finish(s, r);
}

uint32_t IndexRemove(Store* s, uint8_t base, uint16_t fieldId, const void* value, uint32_t field) {
    const int cls = fmt::baseTypeClass(base);
    if (!fmt::hasIndexKey(cls)) return 0;
    if (!value) return rc::kBadParameter;
    const KeyDesc kd = KeyDescribe(cls, value);
    const uint32_t root = IndexRootGet(s, base, kd.bucket);
    if (root == 0) return finish(s, 0);
    if (fmt::isOneByteClass(cls)) return finish(s, GroupRemove(s, fieldId, field, root));
    uint32_t node = 0;
    const uint32_t r = TreeFind(s, root, kd, &node);
    if (r != 0 || node == 0) return finish(s, r);
    const uint32_t groups = DataGetU32(s, node + fmt::kNodeGroups);
    return finish(s, groups ? GroupRemove(s, fieldId, field, groups) : 0);
}

}  // namespace tarn
