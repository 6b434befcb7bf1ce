// xmldump dbfile: prints the document stored in a database file as XML text.
#include <cstdio>
#include <exception>

#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace {

int usage(const char* program) {
    std::printf(
        "Reads an XML document from a LUMXML database and outputs it to\n"
        "standard output in plain text.\n"
        "\n"
        "Usage:\n"
        "  %s dbfile\n",
        program);
    std::fflush(stdout);
    return 1;
}

int failure(const char* file, const char* message) {
    std::fprintf(stderr, "Error reading database %s: %s\n", file, message);
    std::fflush(stderr);
    return 1;
}

int dump(const char* file) {
    LumXMLSAX::DriverOrlo driver;
    LumXMLSAX::InputSource source(file);
    LumXMLSAX::HandlerDump writer;
    driver.setDocumentHandler(static_cast<LumXMLSAX::DocumentHandler*>(&writer));
    driver.setErrorHandler(static_cast<LumXMLSAX::ErrorHandler*>(&writer));
    driver.setDTDHandler(static_cast<LumXMLSAX::DTDHandler*>(&writer));
    driver.parse(source);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return usage(argc > 0 && argv[0] != nullptr ? argv[0] : "xmldump");
    try {
        return dump(argv[1]);
    } catch (const LumXMLSAX::SAXException& e) {
        const unsigned char* message = e.getMessage();
        return failure(argv[1], message != nullptr ? reinterpret_cast<const char*>(message) : "");
    } catch (const std::exception& e) {
        // Out of memory and the like: still one line and a failure status.
        return failure(argv[1], e.what());
    }
}
