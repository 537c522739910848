// Memory the modules allocate outside Python objects. The modules are built
// without C++ exceptions (so that a thread the interpreter ends mid-call
// unwinds through them as through C), and so never call anything that
// reports failure by throwing; what has to is contained in memory.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "support/python.hpp"

namespace vx {

// For std::unique_ptr over PyMem allocations, which tracemalloc sees.
struct PyMemFree {
    void operator()(void* p) const noexcept { PyMem_Free(p); }
};

// The same over PyMem_Raw allocations: work that runs without the
// interpreter lock sizes its buffers as it goes.
struct PyMemRawFree {
    void operator()(void* p) const noexcept { PyMem_RawFree(p); }
};

// A new std::string holding `size` bytes at `data`, or null when there is no
// memory for it. Free with delete.
std::string* new_string(const char* data, size_t size) noexcept;

}  // namespace vx
