// XML text stored with the storing handler into a fresh database and replayed
// through the database driver must give back what a second parse of the same
// text reports: element names, attributes of non-root elements, text runs.
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
        if (depth_++ > 0)  // the root's attributes are not stored
            for (unsigned i = 0; i < attributes.getLength(); ++i)
                events += " " + str(attributes.getName(i)) + "=" + str(attributes.getValue(i));
        events += ">";
    }
    void endElement(const unsigned char* name) override {
        flush();
        --depth_;
        events += "</" + str(name) + ">";
    }
    void characters(const unsigned char* chars, unsigned start, unsigned length) override {
        text_.append(reinterpret_cast<const char*>(chars) + start, length);
    }

private:
    static std::string str(const unsigned char* s) { return s ? reinterpret_cast<const char*>(s) : "(null)"; }
    void flush() {
        if (!text_.empty()) events += "[" + text_ + "]";
        text_.clear();
    }
    std::string text_;
    int depth_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string xmlPath = fuzz_scratch::file("/dev/shm/tarn-fuzz-xml-XXXXXX");
    static const std::string dbPath = fuzz_scratch::file("/dev/shm/tarn-fuzz-xdb-XXXXXX");
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
    if (!reference.sawReservedName && replay.events != reference.events) {
        std::fprintf(stderr, "parsed:   %s\nreplayed: %s\n", reference.events.c_str(), replay.events.c_str());
        std::abort();
    }
    return 0;
}
