// xmldump dbfile: prints the document stored in a database file as XML text.
#include "tools/tool_main.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerdump.h"
#include "xml/sax/inputsource.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return tool::usage(
            "Reads an XML document from a LUMXML database and outputs it to\n"
            "standard output in plain text.\n"
            "\n"
            "Usage:\n"
            "  %s dbfile\n",
            argc, argv, "xmldump");
    }
    tool::waitForBusyDatabases();
    return tool::run("database", argv[1], [&] {
        LumXMLSAX::DriverOrlo driver;
        LumXMLSAX::InputSource source(argv[1]);
        LumXMLSAX::HandlerDump writer(LumXMLSAX::HandlerDump::Flushing::AtEnd);
        driver.setDocumentHandler(&writer);
        driver.parse(source);
    });
}
