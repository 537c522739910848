// Types that hold a device context refuse pickling.
#pragma once

#include "support/texts.hpp"
#include "support/python.hpp"

namespace vx {

// Serves both entries: METH_NOARGS and METH_O both call it with (self, arg).
inline PyObject* refuse_pickling(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, texts::kNoReduce);
    return nullptr;
}

}  // namespace vx

// The two method-table entries every context-holding type carries.
#define VX_PICKLE_REFUSAL                                                        \
    {"__reduce__", reinterpret_cast<PyCFunction>(vx::refuse_pickling), METH_NOARGS, nullptr}, \
    {"__setstate__", reinterpret_cast<PyCFunction>(vx::refuse_pickling), METH_O, nullptr}
