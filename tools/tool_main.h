// What the command-line programs share: the usage text, and a run that turns
// any failure into one error line on standard error and exit status 1.
#ifndef TARN_TOOLS_TOOL_MAIN_H
#define TARN_TOOLS_TOOL_MAIN_H

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "xml/lumxmldb.h"
#include "xml/sax/saxexception.h"

namespace tool {

// How long the tools wait for a database that other processes hold, unless
// TARN_BUSY_TIMEOUT (milliseconds, 0 for no wait) says otherwise.
constexpr unsigned int kDefaultBusyTimeout = 5000;

// The busy timeout of this run: TARN_BUSY_TIMEOUT when it is a number of
// milliseconds (digits only, at most a day), else the default.
inline unsigned int busyTimeout() {
    const char* text = std::getenv("TARN_BUSY_TIMEOUT");
    if (text == nullptr || *text == 0) return kDefaultBusyTimeout;
    unsigned long ms = 0;
    for (const char* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9' || ms > 86400000) return kDefaultBusyTimeout;
        ms = ms * 10 + unsigned(*p - '0');
    }
    return ms <= 86400000 ? unsigned(ms) : kDefaultBusyTimeout;
}

// Makes every open of the run wait that long.
inline void waitForBusyDatabases() { LumXMLDb::SetBusyTimeout(busyTimeout()); }

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
