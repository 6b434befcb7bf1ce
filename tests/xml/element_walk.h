// Every operation of every element reachable from a few, each element once,
// for the damaged-file test and the database fuzzer: each operation must end,
// with an answer or a LumXMLException.
#ifndef TARN_TESTS_XML_ELEMENT_WALK_H
#define TARN_TESTS_XML_ELEMENT_WALK_H

#include <cstddef>
#include <set>
#include <vector>

#include "xml/element.h"
#include "xml/lumxmlexception.h"

namespace element_walk {

template <typename Action>
void attempt(const Action& action) {
    try {
        action();
    } catch (const LumXMLException&) {
    }
}

// Walks from `todo` through parents and children, at most `most` elements.
inline void touchAll(std::vector<LumXMLElement> todo, size_t most) {
    std::set<unsigned long> seen;
    while (!todo.empty() && seen.size() < most) {
        const LumXMLElement element = todo.back();
        todo.pop_back();
        if (!seen.insert(element.address()).second) continue;
        attempt([&] { element.tag(); });
        attempt([&] { element.attributes(); });
        attempt([&] { element.text(); });
        attempt([&] { element.content(); });
        attempt([&] { element.xml(); });
        attempt([&] {
            if (auto parent = element.parent()) todo.push_back(*parent);
        });
        attempt([&] {
            for (const LumXMLElement& child : element.children()) todo.push_back(child);
        });
    }
}

}  // namespace element_walk

#endif
