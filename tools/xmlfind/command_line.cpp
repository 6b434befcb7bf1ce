#include "tools/xmlfind/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace xmlfind {

namespace {

// Reads the arguments in order, one part (the program's options with the
// first condition, then each JOIN with its condition) at a time.
class Parser {
public:
    Parser(int argc, const char* const* argv) : _argc(argc), _argv(argv) {}

    Request run() {
        Request request;
        Condition first;
        if (!options(&request, &first)) {
            request.help = true;
            return request;
        }
        request.database = positional("DBFILE");
        operands(&first);
        request.conditions.push_back(std::move(first));
        while (_next < _argc) {
            Condition condition;
            condition.join = join(_argv[_next++]);
            options(nullptr, &condition);
            operands(&condition);
            request.conditions.push_back(std::move(condition));
        }
        if (request.count && request.wrap) fail("--count and --wrap exclude each other");
        return request;
    }

private:
    [[noreturn]] static void fail(const std::string& message) { throw UsageError(message); }

    static LumXMLJoin join(const std::string& word) {
        if (word == "--and") return LumXMLJoin::And;
        if (word == "--or") return LumXMLJoin::Or;
        if (word == "--and-not") return LumXMLJoin::AndNot;
        fail("unexpected argument '" + word +
             "': a further condition begins with --and, --or or --and-not");
    }

    // One option as given: its name, and its value when it came after "=".
    struct Option {
        std::string word;
        std::optional<std::string> inlineValue;
    };

    // The option's value, after "=" or as the next argument.
    std::string value(const Option& option, const char* what) {
        if (option.inlineValue) return *option.inlineValue;
        if (_next == _argc) fail(option.word + " needs " + what);
        return _argv[_next++];
    }
    static void flag(const Option& option) {
        if (option.inlineValue) fail(option.word + " takes no value");
    }
    static void once(const Option& option, bool given) {
        if (given) fail(option.word + " is given twice");
    }

    // The options of one part, into `request` for the first part only (null
    // for the others) and into `condition`. False when --help was met.
    bool options(Request* request, Condition* condition) {
        bool moded = false;
        while (_next < _argc && std::strncmp(_argv[_next], "--", 2) == 0) {
            Option option{_argv[_next++], std::nullopt};
            if (option.word == "--") break;
            const size_t equals = option.word.find('=');
            if (equals != std::string::npos) {
                option.inlineValue = option.word.substr(equals + 1);
                option.word.erase(equals);
            }
            if (matchOption(option, condition, &moded)) continue;
            if (request == nullptr) {
                fail(option.word +
                     (isProgramOption(option.word) ? " belongs before DBFILE" : " is not an option"));
            }
            if (!programOption(option, request)) return false;
        }
        return true;
    }

    // False when `option` is not one of a condition's.
    bool matchOption(const Option& option, Condition* condition, bool* moded) {
        const std::string& word = option.word;
        if (word == "--attr") {
            once(option, condition->attribute.has_value());
            condition->attribute = value(option, "an attribute name");
            return true;
        }
        LumXMLMatch match;
        if (word == "--exact") {
            match = LumXMLMatch::Exact;
        } else if (word == "--prefix") {
            match = LumXMLMatch::Prefix;
        } else if (word == "--contains") {
            match = LumXMLMatch::Contains;
        } else if (word == "--range") {
            match = LumXMLMatch::Range;
        } else {
            return false;
        }
        flag(option);
        if (*moded) fail("one of --exact, --prefix, --contains and --range per condition");
        *moded = true;
        condition->match = match;
        return true;
    }

    // One of the program's own options; false for --help.
    bool programOption(const Option& option, Request* request) {
        const std::string& word = option.word;
        if (word == "--help") return false;
        if (word == "--within") {
            once(option, request->within.has_value());
            request->within = value(option, "an element name");
        } else if (word == "--wrap") {
            once(option, request->wrap.has_value());
            request->wrap = value(option, "an element name");
            if (!IsElementName(*request->wrap))
                fail("--wrap needs an element name, not '" + *request->wrap + "'");
        } else if (word == "--count") {
            flag(option);
            once(option, request->count);
            request->count = true;
        } else if (word == "--limit") {
            once(option, request->limit.has_value());
            request->limit = number(value(option, "a number"));
        } else if (word == "--and" || word == "--or" || word == "--and-not") {
            fail(word + " comes after the first condition");
        } else {
            fail(word + " is not an option");
        }
        return true;
    }

    static bool isProgramOption(const std::string& word) {
        return word == "--within" || word == "--wrap" || word == "--count" || word == "--limit" ||
               word == "--help";
    }

    static uint64_t number(const std::string& text) {
        const auto bad = [&] { fail("--limit needs a whole number, not '" + text + "'"); };
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) bad();
        errno = 0;
        const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == ERANGE) bad();
        return n;
    }

    void operands(Condition* condition) {
        condition->tag = positional("TAG");
        condition->value = positional("VALUE");
        if (condition->match == LumXMLMatch::Range) condition->high = positional("HIGH (after --range)");
    }

    std::string positional(const char* what) {
        if (_next == _argc) fail(std::string("missing ") + what);
        return _argv[_next++];
    }

    int _argc;
    const char* const* _argv;
    int _next = 1;
};

bool nameByte(unsigned char c, bool first) {
    if (c >= 0x80 || c == '_' || c == ':' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    return !first && ((c >= '0' && c <= '9') || c == '.' || c == '-');
}

}  // namespace

Request ParseCommandLine(int argc, const char* const* argv) { return Parser(argc, argv).run(); }

bool IsElementName(const std::string& name) {
    for (size_t i = 0; i < name.size(); ++i)
        if (!nameByte(static_cast<unsigned char>(name[i]), i == 0)) return false;
    return !name.empty();
}

}  // namespace xmlfind
