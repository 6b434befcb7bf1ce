#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarntest {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void closeBoth() {
        for (int& f : fd) {
            if (f >= 0) close(f);
            f = -1;
        }
    }
};

// In the child: only async-signal-safe calls between fork and exec.
[[noreturn]] void execChild(const std::vector<char*>& args, int outFd,
                            int errFd) {
    int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    execv(args[0], args.data());
    const char msg[] = "tool_runner: exec failed\n";
    ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(127);
}

// Moves what is readable on fd into sink; false once the pipe is drained
// (a terminal's master side reads EIO once the child has closed its side).
bool drain(int fd, std::string& sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            sink.append(buf, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// A child sent a gentler signal than SIGKILL has this long to end by itself.
constexpr auto kGrace = std::chrono::seconds(10);

void collect(int outFd, int errFd, pid_t pid, Clock::time_point deadline, int killSignal,
             ToolResult& result) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openPipes = (outFd >= 0) + (errFd >= 0);
    while (openPipes > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        if (left.count() <= 0) {
            kill(pid, killSignal);
            result.timedOut = true;
            return;
        }
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            if (!drain(fds[i].fd, *sinks[i])) {
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
}

// Waits for the child, killing it at the deadline should it outlive its pipes.
int awaitExit(pid_t pid, Clock::time_point deadline, int killSignal, ToolResult& result) {
    int status = 0;
    bool escalated = false;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return status;
        const auto now = Clock::now();
        if (!result.timedOut && now >= deadline) {
            kill(pid, killSignal);
            result.timedOut = true;
        } else if (!escalated && now >= deadline + kGrace) {
            kill(pid, SIGKILL);
            escalated = true;
        }
        usleep(2000);
    }
}

// argv as execv takes it; the strings must outlive it.
std::vector<char*> pointersTo(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// The child's end, as the result tells it.
void reap(pid_t pid, Clock::time_point deadline, int killSignal, ToolResult& result) {
    int status = awaitExit(pid, deadline, killSignal, result);
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

ToolResult runTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   int killSignal) {
    ToolResult result;
    if (argv.empty()) {
        result.exitStatus = 127;
        result.err = "tool_runner: empty argument vector\n";
        return result;
    }
    const std::vector<char*> args = pointersTo(argv);

    Pipe out, err;
    if (!out.open() || !err.open()) {
        out.closeBoth();
        err.closeBoth();
        result.exitStatus = 127;
        result.err = std::string("tool_runner: pipe: ") + std::strerror(errno) + "\n";
        return result;
    }
    auto deadline = Clock::now() + timeout;
    pid_t pid = fork();
    if (pid == 0) execChild(args, out.fd[1], err.fd[1]);
    close(out.fd[1]);
    close(err.fd[1]);
    if (pid < 0) {
        close(out.fd[0]);
        close(err.fd[0]);
        result.exitStatus = 127;
        result.err = std::string("tool_runner: fork: ") + std::strerror(errno) + "\n";
        return result;
    }
    collect(out.fd[0], err.fd[0], pid, deadline, killSignal, result);
    close(out.fd[0]);
    close(err.fd[0]);

    reap(pid, deadline, killSignal, result);
    return result;
}

ToolResult runOnTerminal(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout) {
    ToolResult result;
    const std::vector<char*> args = pointersTo(argv);
    auto deadline = Clock::now() + timeout;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        result.exitStatus = 127;
        result.err = std::string("tool_runner: forkpty: ") + std::strerror(errno) + "\n";
        return result;
    }
    collect(master, -1, pid, deadline, SIGKILL, result);
    close(master);
    reap(pid, deadline, SIGKILL, result);
    return result;
}

}  // namespace tarntest
