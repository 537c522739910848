// Types that hold a device context refuse pickling.
#pragma once

#include <array>

#include "support/texts.hpp"
#include "support/python.hpp"

namespace vx {

// Serves both entries: METH_NOARGS and METH_O both call it with (self, arg).
inline PyObject* refuse_pickling(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, texts::kNoReduce);
    return nullptr;
}

// The method table of a type that holds a device context: its own methods,
// then the two entries that refuse pickling, then the end of the table.
template <class... Methods>
std::array<PyMethodDef, sizeof...(Methods) + 3> refusing_pickles(Methods... own) noexcept {
    auto refusal = reinterpret_cast<PyCFunction>(refuse_pickling);
    return {own..., PyMethodDef{"__reduce__", refusal, METH_NOARGS, nullptr},
            PyMethodDef{"__setstate__", refusal, METH_O, nullptr}, PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace vx
