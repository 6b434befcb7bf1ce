#include "engine/storage/node_mirror.h"

#include <cstdlib>

#include "engine/storage/os.h"

namespace tarn::vindex {

NodeMirror* NodeMirrorCreate() {
    void* block = nullptr;
    auto* mirror = static_cast<NodeMirror*>(os::AllocTable(sizeof(NodeMirror), &block));
    if (mirror != nullptr) mirror->block = block;
    return mirror;
}

void NodeMirrorFree(NodeMirror* mirror) {
    if (mirror != nullptr) std::free(mirror->block);
}

}  // namespace tarn::vindex
