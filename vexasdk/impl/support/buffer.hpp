// HeldBuffer: a buffer taken from an exporter (PyObject_GetBuffer) and given
// back however the scope ends.
#pragma once

#include <cstddef>

#include "support/python.hpp"

namespace vx {

class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    ~HeldBuffer() { release(); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // 0, or -1 with the error set.
    int hold(PyObject* exporter, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(exporter, &view_, flags) < 0) return -1;
        held_ = true;
        return 0;
    }
    // Gives it back before the scope ends, so that what follows (Python code
    // among it) finds the exporter free again.
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    void* data() const noexcept { return view_.buf; }
    size_t size() const noexcept { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vx
