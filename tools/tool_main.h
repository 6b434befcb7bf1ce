// What the command-line programs share: the usage text, and a run that turns
// any failure into one error line on standard error and exit status 1.
#ifndef TARN_TOOLS_TOOL_MAIN_H
#define TARN_TOOLS_TOOL_MAIN_H

#include <cstdio>
#include <exception>

#include "xml/sax/saxexception.h"

namespace tool {

// Prints the usage text (with a %s for the program's name, as it was called
// or else `name`) on standard output; returns the exit status for wrong
// arguments.
inline int usage(const char* text, int argc, char** argv, const char* name) {
    std::printf(text, argc > 0 && argv[0] != nullptr ? argv[0] : name);
    std::fflush(stdout);
    return 1;
}

// Runs `work`; a failure prints "Error reading <what> <file>: <message>",
// after everything written to standard output before it.
template <typename Work>
int run(const char* what, const char* file, Work&& work) {
    const auto failure = [&](const char* message) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error reading %s %s: %s\n", what, file, message);
        std::fflush(stderr);
        return 1;
    };
    try {
        work();
        return 0;
    } catch (const LumXMLSAX::SAXException& e) {
        const unsigned char* message = e.getMessage();
        return failure(message != nullptr ? reinterpret_cast<const char*>(message) : "");
    } catch (const std::exception& e) {
        // Out of memory and the like: still one line and a failure status.
        return failure(e.what());
    }
}

}  // namespace tool

#endif
