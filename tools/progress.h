// A line of progress for a long load: bytes parsed of the total, rate and
// time left, on standard error when it is a terminal and only once the load
// has run for a while, so that scripts and short loads see nothing.
#ifndef TARN_TOOLS_PROGRESS_H
#define TARN_TOOLS_PROGRESS_H

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>


namespace tool {

// The line on one terminal. Safe to update from any thread.
class Progress {
public:
    // Nothing is ever written unless `fd` is a terminal; the first line comes
    // with the first update once `after` has passed since construction.
    Progress(int fd, std::chrono::milliseconds after);
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of `total` bytes parsed. Rewrites the line at most a few times a
    // second, and at once when done reaches total (what is left then is the
    // storing's end, not parsing).
    void update(uint64_t done, uint64_t total);
    // Erases the line, if one is shown, so that whatever is written next
    // starts on a clean line.
    void clear();

private:
    void _write(const std::string& text);

    using Clock = std::chrono::steady_clock;
    const int _fd;
    const bool _terminal;
    const Clock::time_point _start;
    const std::chrono::milliseconds _after;
    std::mutex _mutex;
    Clock::time_point _next;  // no new line before this
    size_t _shown = 0;        // length of the line on the terminal, 0: none
};

// Two seconds. Test hook: TARN_PROGRESS_AFTER_MS, a number of milliseconds,
// replaces it, so that tests see the line on loads that are short.
std::chrono::milliseconds ProgressDelay();

}  // namespace tool

#endif
