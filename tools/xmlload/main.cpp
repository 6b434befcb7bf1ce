// xmlload xmlfile dbfile: stores one XML file as a new database file.
#include <cstdio>
#include <exception>

#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/saxexception.h"

namespace {

void printUsage(const char* program) {
    std::printf("Reads an XML data from a file and outputs XML data to\n");
    std::printf("a database file.\n");
    std::printf("\n");
    std::printf("Usage:\n");
    std::printf("  %s xmlfile dbfile\n", program);
    std::fflush(stdout);
}

// The driver opens the XML file before it reports the start of the document,
// so a file that cannot be read leaves dbfile untouched.
void load(const char* xmlFile, const char* dbFile) {
    LumXMLSAX::DriverText driver;
    LumXMLSAX::HandlerOrlo handler(dbFile);
    driver.setDocumentHandler(static_cast<LumXMLSAX::DocumentHandler*>(&handler));
    driver.setErrorHandler(static_cast<LumXMLSAX::ErrorHandler*>(&handler));
    driver.setDTDHandler(static_cast<LumXMLSAX::DTDHandler*>(&handler));
    driver.parse(xmlFile);
}

int printError(const char* xmlFile, const char* message) {
    std::fprintf(stderr, "Error reading XML file %s: %s\n", xmlFile, message);
    std::fflush(stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        printUsage(argc > 0 && argv[0] ? argv[0] : "xmlload");
        return 1;
    }
    try {
        load(argv[1], argv[2]);
    } catch (const LumXMLSAX::SAXException& e) {
        const unsigned char* message = e.getMessage();
        return printError(argv[1], message ? reinterpret_cast<const char*>(message) : "");
    } catch (const std::exception& e) {
        // Exhausted memory: still one error line, never an abort.
        return printError(argv[1], e.what());
    }
    return 0;
}
