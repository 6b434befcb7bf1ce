// The C boundary: no exception leaves an exported function.
#ifndef TARN_C_BOUNDARY_H
#define TARN_C_BOUNDARY_H

#include <cstdint>

#include "engine/result_codes.h"

namespace tarn {

// Runs `body`, which returns a result code, so that no exception crosses the
// C interface: the exported functions whose work can meet one end in it.
// The engine throws nothing itself; the standard containers some calls use
// throw only when memory cannot be had (std::bad_alloc, or std::length_error
// for a size no allocation could satisfy), so any exception is that failure
// and becomes 0x1000. What `body` held is released by its destructors on the
// way out, so a call that ends here leaves nothing half done it would not
// leave after any other failure.
template <typename Body>
uint32_t Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return rc::kMalloc;
    }
}

}  // namespace tarn

#endif
