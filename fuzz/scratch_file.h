// Scratch files of a fuzz target: made once per process in /dev/shm and
// removed when the process exits (libFuzzer ends a timed run with exit()), so
// that repeated runs leave nothing behind.
#ifndef TARN_FUZZ_SCRATCH_FILE_H
#define TARN_FUZZ_SCRATCH_FILE_H

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz_scratch {

constexpr int kMax = 4;
inline char made[kMax][64];
inline int count = 0;

inline void removeAll() {
    for (int i = 0; i < count; ++i) unlink(made[i]);
}

// A new empty file named after `pattern` (ending in XXXXXX).
inline std::string file(const char* pattern) {
    std::string path = pattern;
    const int fd = mkstemp(path.data());
    if (fd < 0 || count == kMax || path.size() >= sizeof made[0]) std::abort();
    close(fd);
    if (count == 0) std::atexit(removeAll);
    std::strcpy(made[count++], path.c_str());
    return path;
}

}  // namespace fuzz_scratch

#endif
