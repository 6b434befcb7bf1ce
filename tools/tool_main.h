// What the command-line programs share: a driver wired to every face of its
// handler, and a run that turns any failure into one error line on standard
// error and exit status 1.
#ifndef TARN_TOOLS_TOOL_MAIN_H
#define TARN_TOOLS_TOOL_MAIN_H

#include <cstdio>
#include <exception>

#include "xml/sax/sax.h"
#include "xml/sax/saxexception.h"

namespace tool {

// The faces of a handler a driver reports to; a null face receives nothing,
// as with the driver itself.
struct Handlers {
    LumXMLSAX::DocumentHandler* document = nullptr;
    LumXMLSAX::ErrorHandler* error = nullptr;
    LumXMLSAX::DTDHandler* dtd = nullptr;
};

template <typename Handler>
Handlers HandlersOf(Handler& handler) {
    return {static_cast<LumXMLSAX::DocumentHandler*>(&handler),
            static_cast<LumXMLSAX::ErrorHandler*>(&handler),
            static_cast<LumXMLSAX::DTDHandler*>(&handler)};
}

inline void connect(LumXMLSAX::Parser& driver, const Handlers& to) {
    driver.setDocumentHandler(to.document);
    driver.setErrorHandler(to.error);
    driver.setDTDHandler(to.dtd);
}

template <typename Handler>
void connect(LumXMLSAX::Parser& driver, Handler& handler) {
    connect(driver, HandlersOf(handler));
}

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
