// Walks every element of a stored document through the element view, as a
// program reading it element by element would: the tag, the attributes and
// the content (texts and children) of each. Prints how many elements and
// bytes of text it read, for bench/walk.sh to time beside xmldump.
//
//   walk_elements DBFILE
#include <cstdio>
#include <vector>

#include "xml/element.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: walk_elements DBFILE\n");
        return 2;
    }
    try {
        LumXMLDb database(argv[1]);
        database.OpenReadOnly();
        unsigned long long elements = 0, bytes = 0;
        std::vector<LumXMLElement> todo;
        if (auto root = LumXMLElement::root(database)) todo.push_back(*root);
        while (!todo.empty()) {
            const LumXMLElement element = todo.back();
            todo.pop_back();
            ++elements;
            bytes += element.tag().size();
            for (const auto& [name, value] : element.attributes()) bytes += name.size() + value.size();
            LumXMLContent content = element.content();
            bytes += content.text.size();
            // Last child first, so that the walk goes in document order.
            for (auto child = content.children.rbegin(); child != content.children.rend(); ++child) {
                bytes += child->tail.size();
                todo.push_back(child->element);
            }
        }
        database.Close();
        std::printf("%llu elements, %llu bytes\n", elements, bytes);
    } catch (const LumXMLException& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.message());
        return 1;
    }
}
