#include "tools/progress.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tool {
namespace {

constexpr std::chrono::milliseconds kInterval(250);
constexpr double kMiB = 1024.0 * 1024.0;

// "1:05" or "2:01:05".
std::string clockText(double seconds) {
    const long s = seconds < 0 ? 0 : long(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string lineFor(uint64_t done, uint64_t total, double elapsed) {
    const double rate = elapsed > 0 ? double(done) / elapsed : 0;
    const int percent = total > 0 ? int(double(done) * 100 / double(total)) : 100;
    const std::string left = done >= total ? "finishing"
                             : rate > 0    ? clockText(double(total - done) / rate) + " left"
                                           : "";
    char text[128];
    std::snprintf(text, sizeof text, "%.1f of %.1f MiB parsed (%d%%), %.1f MiB/s, %s",
                  double(done) / kMiB, double(total) / kMiB, percent, rate / kMiB, left.c_str());
    return text;
}

}  // namespace

Progress::Progress(int fd, std::chrono::milliseconds after)
    : _fd(fd), _terminal(isatty(fd) == 1), _start(Clock::now()), _after(after), _next(_start) {}

void Progress::update(uint64_t done, uint64_t total) {
    if (!_terminal) return;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(_mutex);
    if (now - _start < _after || (now < _next && done < total)) return;
    _next = now + kInterval;
    std::string line = lineFor(done, total, std::chrono::duration<double>(now - _start).count());
    const size_t length = line.size();
    // Spaces over what a longer line before left.
    if (length < _shown) line.append(_shown - length, ' ');
    _write("\r" + line);
    _shown = length;
}

void Progress::clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_shown == 0) return;
    _write("\r" + std::string(_shown, ' ') + "\r");
    _shown = 0;
}

// Whatever the terminal refuses is lost: the line is only a courtesy.
void Progress::_write(const std::string& text) {
    const int saved = errno;
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(_fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += size_t(n);
    }
    errno = saved;
}

std::chrono::milliseconds ProgressDelay() {
    if (const char* hook = std::getenv("TARN_PROGRESS_AFTER_MS")) {
        char* end = nullptr;
        const long ms = std::strtol(hook, &end, 10);
        if (end != hook && *end == '\0' && ms >= 0) return std::chrono::milliseconds(ms);
    }
    return std::chrono::seconds(2);
}

}  // namespace tool
