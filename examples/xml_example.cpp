// A walk through the XML library: store a document in a database, replay it
// into a handler of our own, then look at it through the DOM view.
//
//     xml_example [directory [xmlfile]]
//
// creates (or overwrites) example.xdb in the directory, the current one by
// default. Without xmlfile it first writes a small built-in document there
// as example.xml and stores that. Any failure prints the library's message
// and exits with 1.
#include <cstdio>
#include <map>
#include <string>

#include "xml/dom.h"
#include "xml/load.h"
#include "xml/lumxmlexception.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace {

// No indentation: blanks between tags would be stored as text runs too.
const char kBuiltIn[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<library>"
    "<shelf room=\"north\">"
    "<book lang=\"en\">Solaris</book>"
    "<book lang=\"fr\">Les Mis\xC3\xA9rables</book>"
    "</shelf>"
    "<shelf room=\"south\"><book lang=\"en\">Kindred</book></shelf>"
    "<note>Closed on <em>Sundays</em></note>"
    "</library>\n";

struct Counts {
    unsigned long elements = 0, attributes = 0, runs = 0, characters = 0, bytes = 0;
    int deepest = 0;
    std::map<std::string, unsigned long> byName;
};

// Counts what a replay delivers. Every handler operation has a default in
// HandlerBase, so only the interesting ones are overridden.
class Counter : public LumXMLSAX::HandlerBase {
public:
    void startElement(const unsigned char* name,
                      const LumXMLSAX::AttributeList& attributes) override {
        ++counts.elements;
        counts.attributes += attributes.getLength();
        ++counts.byName[reinterpret_cast<const char*>(name)];
        if (++_depth > counts.deepest) counts.deepest = _depth;
    }
    void endElement(const unsigned char*) override { --_depth; }
    void characters(const unsigned char* chars, unsigned int start,
                    unsigned int length) override {
        ++counts.runs;
        counts.bytes += length;
        // Text arrives as UTF-8: every byte but a continuation byte starts
        // a character.
        for (unsigned int i = start; i < start + length; ++i)
            if ((chars[i] & 0xC0) != 0x80) ++counts.characters;
    }

    Counts counts;

private:
    int _depth = 0;
};

bool writeBuiltIn(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(kBuiltIn, 1, sizeof kBuiltIn - 1, file) == sizeof kBuiltIn - 1;
    return std::fclose(file) == 0 && written;
}

// One call parses the file (on a second thread) and stores it as a new
// database, whole or not at all; a malformed file says where.
void store(const char* xmlFile, const std::string& database) {
    try {
        LumXMLLoad(LumXMLInput::File(xmlFile), database.c_str());
    } catch (const LumXMLLoadError& e) {
        if (e.getKind() == LumXMLLoadError::Kind::Malformed)
            std::fprintf(stderr, "%s:%d:%d: ", xmlFile, e.getLineNumber(), e.getColumnNumber());
        throw;
    }
}

void replay(const std::string& database) {
    Counter counter;
    LumXMLSAX::DriverOrlo driver;
    driver.setDocumentHandler(static_cast<LumXMLSAX::DocumentHandler*>(&counter));
    driver.parse(database.c_str());

    const Counts& c = counter.counts;
    std::printf("replayed %lu elements, %lu attributes, %lu text runs of %lu characters"
                " (%lu bytes), %d levels deep\n",
                c.elements, c.attributes, c.runs, c.characters, c.bytes, c.deepest);
    for (const auto& [name, count] : c.byName)
        std::printf("  %-8s %lu\n", name.c_str(), count);
}

void describe(const char* label, const NodeImpl& node) {
    if (node.isNull()) {
        std::printf("  %-22s none\n", label);
        return;
    }
    XMLString name = node.getNodeName();
    std::printf("  %-22s type %u, %s\n", label, static_cast<unsigned>(node.getNodeType()),
                name.empty() ? "(no name)" : static_cast<const char*>(name));
}

// Every node holds a cursor on the database, which refuses to close while
// one is alive: the nodes live in this function, the database outlives it.
// In this view the document's children are the root element's content, its
// document element is the last item of that content, and an element stored
// with attributes reports type 2.
void look(XMLDOMObject& dom) {
    DocumentImpl document = dom.getOwnerDocument();
    describe("document", document);
    describe("its first child", document.firstChildGet());

    ElementImpl element = document.getDocumentElement();
    describe("document element", element);
    NodeImpl child = element.firstChildGet();
    describe("  its first child", child);
    describe("  its last child", element.lastChildGet());
    describe("  first child's parent", child.parentNodeGet());
}

int run(const std::string& directory, const char* xmlFile) {
    std::string builtIn = directory + "/example.xml";
    std::string database = directory + "/example.xdb";
    bool ownDocument = xmlFile == nullptr;
    if (ownDocument) {
        if (!writeBuiltIn(builtIn)) {
            std::fprintf(stderr, "cannot write %s\n", builtIn.c_str());
            return 1;
        }
        xmlFile = builtIn.c_str();
    }
    store(xmlFile, database);
    std::printf("stored %s in example.xdb\n", ownDocument ? "example.xml" : xmlFile);
    replay(database);

    XMLDOMObject dom(database.c_str());
    dom.Open();
    std::printf("DOM view:\n");
    look(dom);
    dom.Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        std::fprintf(stderr, "usage: %s [directory [xmlfile]]\n", argv[0]);
        return 1;
    }
    try {
        return run(argc > 1 ? argv[1] : ".", argc > 2 ? argv[2] : nullptr);
    } catch (const LumXMLSAX::SAXException& e) {
        const unsigned char* message = e.getMessage();
        std::fprintf(stderr, "%s: %s\n", argv[0],
                     message != nullptr ? reinterpret_cast<const char*>(message) : "");
    } catch (const LumXMLException& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.message());
    }
    return 1;
}
