// Seconds one write() of BYTES to /dev/null costs on this machine: what a
// tool's output pays per call when no copy is made, so that calls counted
// with strace can be turned into time without tracing's own cost.
//
//   write_cost BYTES
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const long bytes = argc == 2 ? std::atol(argv[1]) : 0;
    if (bytes <= 0) {
        std::fprintf(stderr, "usage: write_cost BYTES\n");
        return 2;
    }
    const int sink = open("/dev/null", O_WRONLY);
    if (sink < 0) return 1;
    const std::vector<char> block(static_cast<size_t>(bytes), 'x');
    constexpr long kCalls = 200'000;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kCalls; ++i) {
        if (write(sink, block.data(), block.size()) != bytes) return 1;
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    std::printf("%.9f\n", spent.count() / kCalls);
    return 0;
}
