// xmlquery: prints, as XML on standard output, the element of a given name
// that encloses the first element of a tag holding a value.
#include "tools/tool_main.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/inputsource.h"

namespace {

const unsigned char* bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        return tool::usage(
            "Querys an LUMXML database and outputs XML data to\n"
            "standard output in plain text.\n"
            "\n"
            "Usage:\n"
            "  %s xmlfile environment tag value\n",
            argc, argv, "xmlquery");
    }
    tool::waitForBusyDatabases();
    return tool::run("database", argv[1], [&] {
        LumXMLSAX::DriverOrlo driver;
        LumXMLSAX::InputSource source(argv[1]);
        LumXMLSAX::HandlerDump writer(LumXMLSAX::HandlerDump::Flushing::AtEnd);
        driver.setDocumentHandler(&writer);
        driver.queryUnique(source, bytes(argv[2]), bytes(argv[3]), bytes(argv[4]));
    });
}
