// Helpers for tests that work on real database files: those of
// tests/test_files.h, a count of open descriptors, and a guard that puts the
// system-call table back after a test replaced some of its entries.
#ifndef TARN_TESTS_TEMP_DIR_H
#define TARN_TESTS_TEMP_DIR_H

#include <dirent.h>

#include "engine/storage/os.h"
#include "tests/test_files.h"

namespace tarn_test {

// Open descriptors of this process: a failed open must not leave one behind.
inline int openFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// Restores the real system calls when the test ends, whatever happened.
struct SysRestore {
    ~SysRestore() { tarn::os::Sys() = tarn::os::DefaultSys(); }
};

}  // namespace tarn_test

#endif
