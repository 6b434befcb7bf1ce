// xmlload xmlfile dbfile: stores one XML file as a new database file.
#include <signal.h>
#include <unistd.h>

#include "tools/progress.h"
#include "tools/tool_main.h"
#include "xml/load.h"

namespace {

// A signal that ends the process takes the unfinished database with it.
void removeAndEnd(int signal) {
    LumXMLRemoveTemporaryFiles();
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
    tool::waitForBusyDatabases();
    removeOnSignals();
    return tool::run("XML file", argv[1], [&] {
        // Destroyed, and its line cleared, before an error line.
        tool::Progress progress(STDERR_FILENO, tool::ProgressDelay());
        LumXMLLoadOptions options;
        options.progress = [&progress](uint64_t done, uint64_t total) {
            progress.update(done, total);
            return true;
        };
        LumXMLLoad(LumXMLInput::File(argv[1]), argv[2], options);
    });
}
