// xmlquery: prints, as XML on standard output, the element of a given name
// that encloses the first element of a tag holding a value.
#include <cstdio>
#include <exception>
#include <string>

#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace {

const unsigned char* bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

int usage(const char* program) {
    std::printf(
        "Querys an LUMXML database and outputs XML data to\n"
        "standard output in plain text.\n"
        "\n"
        "Usage:\n"
        "  %s xmlfile environment tag value\n",
        program);
    std::fflush(stdout);
    return 1;
}

int failure(const char* file, const char* message) {
    std::fprintf(stderr, "Error reading database %s: %s\n", file, message);
    std::fflush(stderr);
    return 1;
}

int query(const char* file, const char* environment, const char* tag, const char* value) {
    LumXMLSAX::DriverOrlo driver;
    LumXMLSAX::InputSource source(file);
    LumXMLSAX::HandlerDump writer;
    driver.setDocumentHandler(static_cast<LumXMLSAX::DocumentHandler*>(&writer));
    driver.setErrorHandler(static_cast<LumXMLSAX::ErrorHandler*>(&writer));
    driver.setDTDHandler(static_cast<LumXMLSAX::DTDHandler*>(&writer));
    driver.queryUnique(source, bytes(environment), bytes(tag), bytes(value));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return usage(argv[0] != nullptr ? argv[0] : "xmlquery");
    try {
        return query(argv[1], argv[2], argv[3], argv[4]);
    } catch (const LumXMLSAX::SAXException& e) {
        const unsigned char* message = e.getMessage();
        return failure(argv[1], message != nullptr ? reinterpret_cast<const char*>(message) : "");
    } catch (const std::exception& e) {
        // Out of memory and the like: still one line and a failure status.
        return failure(argv[1], e.what());
    }
}
