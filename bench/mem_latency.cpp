// Time of one dependent load at random over working sets of growing size,
// with small and with huge pages: what a descent through a large index tree
// pays per node on this machine, whatever the code around it does.
//
//   mem_latency [MAX_MIB]      (default 512)
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr size_t kLine = 64;
constexpr size_t kHuge = size_t(2) << 20;
constexpr long kSteps = 20'000'000;

// Nanoseconds per load, following a random cycle through every line of a
// `bytes`-long area.
double chase(size_t bytes, bool huge) {
    void* block = mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return -1;
    auto* area = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1));
    madvise(area, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    const size_t lines = bytes / kLine;
    std::vector<uint32_t> order(lines);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    for (size_t i = 0; i < lines; ++i) {
        const uint64_t next = uint64_t(order[(i + 1) % lines]) * kLine;
        std::copy_n(reinterpret_cast<const uint8_t*>(&next), sizeof next, area + order[i] * kLine);
    }
    uint64_t at = uint64_t(order[0]) * kLine;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kSteps; ++i) at = *reinterpret_cast<const uint64_t*>(area + at);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    munmap(block, bytes + kHuge);
    // `at` is printed so that the loop cannot be left out.
    std::fprintf(stderr, "%s", at == UINT64_MAX ? "?" : "");
    return took.count() / kSteps;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t maxMib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    std::printf("| working set MiB | ns per load, 4 KiB pages | ns per load, 2 MiB pages |\n|---|---|---|\n");
    for (size_t mib = 1; mib <= maxMib; mib *= 2)
        std::printf("| %zu | %.1f | %.1f |\n", mib, chase(mib << 20, false), chase(mib << 20, true));
    return 0;
}
