// xmlfind: prints every stored element that matches, found through the
// value index of a database opened read-only.
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "tools/tool_main.h"
#include "tools/xmlfind/command_line.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/search.h"
#include "xml/sax/attributelist.h"
#include "xml/sax/handlerdump.h"

namespace {

const char kHelp[] =
    "Usage: xmlfind [OPTIONS] DBFILE TAG VALUE [HIGH] [JOIN [MATCH] TAG VALUE [HIGH]]...\n"
    "Prints, one per line and in document order, the elements named TAG in the\n"
    "database DBFILE whose text (a run of character data of the element itself)\n"
    "equals VALUE, as XML without a declaration.\n"
    "\n"
    "Match, for the condition that follows (the first one's go before DBFILE):\n"
    "  --exact        the text equals VALUE (the default)\n"
    "  --prefix       the text begins with VALUE\n"
    "  --contains     the text contains VALUE\n"
    "  --range        the text lies between VALUE and HIGH (in either order),\n"
    "                 both included, in byte order; an empty VALUE or HIGH\n"
    "                 leaves that end open\n"
    "  --attr NAME    the value of the attribute NAME is matched instead\n"
    "Join: every further condition begins with one; they apply left to right.\n"
    "  --and          the elements selected so far and by this condition\n"
    "  --or           the elements selected so far or by this condition\n"
    "  --and-not      the elements selected so far but not by this condition\n"
    "Output:\n"
    "  --within ENV   the nearest element named ENV around each match (the\n"
    "                 match itself when it is named ENV) instead, each once\n"
    "  --wrap NAME    a declaration, then everything inside one element NAME\n"
    "  --count        only the number of elements\n"
    "  --limit N      the first N elements at most\n"
    "  --help         this text\n"
    "\n"
    "The database is only read. Exit status: 0 whether or not anything\n"
    "matched, 1 when the database cannot be read, 2 for a wrong command line.\n";

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.c_str());
}

LumXMLSearch searchOf(const xmlfind::Request& request) {
    LumXMLSearch search(request.conditions.front());
    for (size_t i = 1; i < request.conditions.size(); ++i)
        search.join(*request.conditions[i].join, request.conditions[i]);
    if (request.within) search.within(*request.within);
    if (request.limit) search.limit(*request.limit);
    return search;
}

// Writes every element through one writer, each on a line of its own. The
// writer hands its bytes on in large pieces, and what it holds when a replay
// fails goes out as it is destroyed, before the error line.
void print(LumXMLMatches& matches, const std::optional<std::string>& wrap) {
    LumXMLSAX::HandlerDump writer(LumXMLSAX::HandlerDump::Flushing::AtEnd);
    const auto endLine = [&] { writer.ignorableWhitespace(bytes("\n"), 0, 1); };
    if (wrap) {
        LumXMLSAX::AttributeListImpl none;
        writer.startDocument();
        writer.startElement(bytes(*wrap), none);
        endLine();
    }
    while (const std::optional<LumXMLElement> element = matches.next()) {
        element->xml(writer);
        endLine();
    }
    if (wrap) {
        writer.endElement(bytes(*wrap));
        writer.endDocument();
    }
}

void answer(const xmlfind::Request& request) {
    LumXMLDb database(request.database.c_str());
    database.OpenReadOnly();
    const LumXMLSearch search = searchOf(request);
    if (request.count) {
        std::printf("%" PRIu64 "\n", search.count(database));
        std::fflush(stdout);
    } else {
        LumXMLMatches matches = search.find(database);
        print(matches, request.wrap);
    }
    database.Close();
}

}  // namespace

int main(int argc, char** argv) {
    xmlfind::Request request;
    try {
        request = xmlfind::ParseCommandLine(argc, argv);
    } catch (const xmlfind::UsageError& e) {
        std::fprintf(stderr, "xmlfind: %s; see xmlfind --help\n", e.what());
        return 2;
    }
    if (request.help) {
        std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    tool::waitForBusyDatabases();
    return tool::run("database", request.database.c_str(), [&] {
        try {
            answer(request);
        } catch (const LumXMLException& e) {
            throw LumXMLSAX::SAXException(e.message());
        }
    });
}
