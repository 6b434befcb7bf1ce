// xmlload xmlfile dbfile: stores one XML file as a new database file.
#include <signal.h>

#include "tools/parse_ahead.h"
#include "tools/progress.h"
#include "tools/tool_main.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"

namespace {

// The storing handler hears of the texts ahead of their events, so that
// the index looks up where they go many at a time.
class Announcer final : public tool::LookAhead {
public:
    explicit Announcer(LumXMLSAX::HandlerOrlo& handler) : _handler(handler) {}
    void text(Kind kind, const unsigned char* chars) override {
        switch (kind) {
        case Kind::AttributeName: _handler.expectAttributeName(chars); break;
        case Kind::AttributeValue: _handler.expectAttributeValue(chars); break;
        case Kind::Data: _handler.expectText(chars); break;
        }
    }

private:
    LumXMLSAX::HandlerOrlo& _handler;
};

// A signal that ends the process takes the unfinished database with it.
void removeAndEnd(int signal) {
    LumXMLSAX::HandlerOrlo::removeTemporaryFiles();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void removeOnSignals() {
    struct sigaction action {};
    action.sa_handler = removeAndEnd;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaction(signal, &action, nullptr);
    // Past a file size limit a write then fails and is reported, instead of
    // the signal ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return tool::usage(
            "Reads an XML data from a file and outputs XML data to\n"
            "a database file.\n"
            "\n"
            "Usage:\n"
            "  %s xmlfile dbfile\n",
            argc, argv, "xmlload");
    }
    // The driver opens the XML file before it reports the start of the
    // document, so a file that cannot be read leaves dbfile untouched; the
    // database takes dbfile's name only once it is complete.
    removeOnSignals();
    return tool::run("XML file", argv[1], [&] {
        LumXMLSAX::DriverText driver;
        LumXMLSAX::HandlerOrlo handler(argv[2], LumXMLSAX::HandlerOrlo::Storing::WholeOrNothing);
        Announcer announcer(handler);
        tool::ProgressSource source(argv[1]);  // destroyed, and its line cleared, before an error line
        tool::ParseAhead(driver, source, tool::HandlersOf(handler), &announcer);
    });
}
