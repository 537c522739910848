// Types that hold a device context refuse pickling.
#pragma once

#include "support/texts.hpp"
#include "support/python.hpp"

namespace vx {

inline PyObject* refuse_reduce(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, texts::kNoReduce);
    return nullptr;
}

inline PyObject* refuse_setstate(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, texts::kNoReduce);
    return nullptr;
}

}  // namespace vx

// The two method-table entries every context-holding type carries.
#define VX_PICKLE_REFUSAL                                                        \
    {"__reduce__", reinterpret_cast<PyCFunction>(vx::refuse_reduce), METH_NOARGS, nullptr}, \
    {"__setstate__", reinterpret_cast<PyCFunction>(vx::refuse_setstate), METH_O, nullptr}
