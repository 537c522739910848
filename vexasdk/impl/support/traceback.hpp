// Traceback entries for C functions.
#pragma once

#include "support/ref.hpp"

namespace vx {

// Adds an entry for C function `qualname` to the traceback of the exception
// being raised, as if a Python frame of that name had seen it pass.
inline void add_traceback(const char* qualname, const char* filename, int line, PyObject* globals) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(filename, qualname, line);
    Ref code_ref = Ref::steal(reinterpret_cast<PyObject*>(code));
    PyFrameObject* frame = code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Ref frame_ref = Ref::steal(reinterpret_cast<PyObject*>(frame));
    PyErr_Clear();  // a failure here only loses the entry
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) PyTraceBack_Here(frame);
}

}  // namespace vx
