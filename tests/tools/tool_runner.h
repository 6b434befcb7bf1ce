// Runs a program as a child process and captures what it writes.
#ifndef TARN_TESTS_TOOLS_TOOL_RUNNER_H
#define TARN_TESTS_TOOLS_TOOL_RUNNER_H

#include <chrono>
#include <string>
#include <vector>

namespace tarntest {

struct ToolResult {
    // Exit status when the child exited normally, else -1.
    int exitStatus = -1;
    // Signal that ended the child, else 0.
    int signal = 0;
    // The child was killed because it ran longer than the timeout.
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Executes argv[0] (a path, not searched in PATH) with argv as its argument
// vector, so argv[0] is also the name the program sees. Standard input is
// /dev/null. After `timeout` the child is sent `killSignal`, and SIGKILL
// should it still not end. A failure to start the program is reported as
// exit status 127 with a line on `err`.
ToolResult runTool(const std::vector<std::string>& argv,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60),
                   int killSignal = 9);

// The same on a new pseudo-terminal, which is the child's standard input,
// output and error: `out` receives everything the terminal was sent (line
// feeds as the terminal turns them: "\r\n"), `err` stays empty.
ToolResult runOnTerminal(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tarntest

#endif
