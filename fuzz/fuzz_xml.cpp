// XML text stored with the storing handler into a fresh database and replayed
// through the database driver must give back what a second parse of the same
// text reports: element names, every element's attributes in order, text
// runs; and the replay written out as XML text by the dumping handler must
// parse to the same again.
#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/scratch_file.h"
#include "xml/sax/attributelist.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/saxexception.h"

namespace {

using LumXMLSAX::AttributeList;

// Events in a canonical form: text runs joined up to each element boundary.
class Recorder : public LumXMLSAX::HandlerBase {
public:
    std::string events;
    bool sawReservedName = false;

    void startElement(const unsigned char* name, const AttributeList& attributes) override {
        flush();
        const std::string n = reinterpret_cast<const char*>(name);
        if (n == "SOD") sawReservedName = true;
        events += "<" + n;
        note(n);
        for (unsigned i = 0; i < attributes.getLength(); ++i) {
            note(str(attributes.getName(i)));
            events += " " + str(attributes.getName(i)) + "=" + str(attributes.getValue(i));
        }
        events += ">";
    }

    // Read from a document in a single-byte encoding, expat takes every byte
    // from 0x80 up for a name character; the same characters in UTF-8, the
    // output's encoding, are not all name characters, so such a name cannot
    // be written back as it stands.
    bool namesFitUtf8 = true;
    void endElement(const unsigned char* name) override {
        flush();
        events += "</" + str(name) + ">";
    }
    void characters(const unsigned char* chars, unsigned start, unsigned length) override {
        text_.append(reinterpret_cast<const char*>(chars) + start, length);
    }

private:
    static std::string str(const unsigned char* s) { return s ? reinterpret_cast<const char*>(s) : "(null)"; }
    void note(const std::string& name) {
        for (unsigned char c : name) {
            if (c < 0x80) continue;
            const std::string probe = "<" + name + "/>";
            XML_Parser parser = XML_ParserCreate("UTF-8");
            if (XML_Parse(parser, probe.data(), int(probe.size()), 1) != XML_STATUS_OK) namesFitUtf8 = false;
            XML_ParserFree(parser);
            return;
        }
    }
    void flush() {
        if (!text_.empty()) events += "[" + text_ + "]";
        text_.clear();
    }
    std::string text_;
};

void parse(const std::string& path, LumXMLSAX::DocumentHandler* handler, const char* what) {
    try {
        LumXMLSAX::DriverText driver;
        driver.setDocumentHandler(handler);
        driver.parse(path.c_str());
    } catch (const LumXMLSAX::SAXException& e) {
        std::fprintf(stderr, "%s failed: %s\n", what, e.getMessage());
        std::abort();
    }
}

// The document in the database written as XML text into `path`, through
// file descriptor 1 as the dumping handler writes.
void dump(const std::string& db, const std::string& path) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int out = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (saved < 0 || out < 0 || dup2(out, 1) < 0) std::abort();
    try {
        LumXMLSAX::DriverOrlo driver;
        LumXMLSAX::HandlerDump writer;
        driver.setDocumentHandler(&writer);
        driver.parse(db.c_str());
    } catch (const LumXMLSAX::SAXException& e) {
        std::fprintf(stderr, "dump failed: %s\n", e.getMessage());
        std::abort();
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(out);
}

void expectSame(const Recorder& reference, const Recorder& other, const char* what) {
    if (other.events == reference.events) return;
    std::fprintf(stderr, "parsed: %s\n%s: %s\n", reference.events.c_str(), what, other.events.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string xmlPath = fuzz_scratch::file("/dev/shm/tarn-fuzz-xml-XXXXXX");
    static const std::string dbPath = fuzz_scratch::file("/dev/shm/tarn-fuzz-xdb-XXXXXX");
    static const std::string dumpPath = fuzz_scratch::file("/dev/shm/tarn-fuzz-dump-XXXXXX");
    FILE* f = std::fopen(xmlPath.c_str(), "wb");
    if (f == nullptr || (size && std::fwrite(data, 1, size, f) != size)) std::abort();
    std::fclose(f);

    Recorder reference;
    try {
        LumXMLSAX::DriverText driver;
        driver.setDocumentHandler(&reference);
        driver.parse(xmlPath.c_str());
    } catch (const LumXMLSAX::SAXException&) {
        return 0;  // malformed: nothing to compare
    }
    try {
        LumXMLSAX::DriverText driver;
        LumXMLSAX::HandlerOrlo store(dbPath.c_str());
        driver.setDocumentHandler(&store);
        driver.setErrorHandler(&store);
        driver.parse(xmlPath.c_str());
    } catch (const LumXMLSAX::SAXException& e) {
        std::fprintf(stderr, "storing a well-formed document failed: %s\n", e.getMessage());
        std::abort();
    }
    Recorder replay;
    try {
        LumXMLSAX::DriverOrlo driver;
        driver.setDocumentHandler(&replay);
        driver.parse(dbPath.c_str());
    } catch (const LumXMLSAX::SAXException& e) {
        std::fprintf(stderr, "replay failed: %s\n", e.getMessage());
        std::abort();
    }
    // An element named like the document chain's own fields ends a replay early.
    if (reference.sawReservedName) return 0;
    expectSame(reference, replay, "replayed");
    // An empty file stores no document, and a dump of none is no document.
    if (reference.events.empty() || !reference.namesFitUtf8) return 0;
    dump(dbPath, dumpPath);
    Recorder dumped;
    parse(dumpPath, &dumped, "parsing the dump");
    expectSame(reference, dumped, "dumped");
    return 0;
}
