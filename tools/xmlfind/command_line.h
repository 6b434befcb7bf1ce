// The command line of xmlfind:
//
//   xmlfind [OPTIONS] DBFILE TAG VALUE [HIGH] [JOIN [MATCH] TAG VALUE [HIGH]]...
//
// OPTIONS are the program's own (--within, --wrap, --count, --limit, --help)
// and the MATCH options of the first condition (--prefix, --contains,
// --range, --attr); every further condition starts with a JOIN (--and, --or,
// --and-not) followed by its own MATCH options. HIGH belongs to --range and
// only to it. After the options of a part, arguments are taken by position,
// so a TAG or VALUE may begin with dashes; "--" ends a part's options early.
// An option's value follows as the next argument or after "=".
#ifndef TARN_TOOLS_XMLFIND_COMMAND_LINE_H
#define TARN_TOOLS_XMLFIND_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "xml/search.h"

namespace xmlfind {

// A condition as given, with the join before it: none for the first.
struct Condition : LumXMLCondition {
    std::optional<LumXMLJoin> join;
};

struct Request {
    bool help = false;  // nothing else is set then
    std::string database;
    std::optional<std::string> within;
    std::optional<std::string> wrap;
    bool count = false;
    std::optional<uint64_t> limit;
    std::vector<Condition> conditions;  // one at least
};

// A command line that does not follow the grammar; what() is one line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads argv[1] to argv[argc - 1]. Throws UsageError.
Request ParseCommandLine(int argc, const char* const* argv);

// Whether `name` can be written as an element name and read back: an XML
// name of ASCII letters, digits and . - _ :, or of bytes from 0x80 up, not
// beginning with a digit, '.' or '-'.
bool IsElementName(const std::string& name);

}  // namespace xmlfind

#endif
