// A fresh numpy buffer: the one way the native layer makes a new array that
// it then fills itself.
#pragma once

#include "support/ref.hpp"

#include <numpy/arrayobject.h>

namespace vx {

// A new one-dimensional array of `count` items of `descr`, in C order, as
// np.empty makes it: the items are whatever the memory held, object items
// None. Takes `descr` over, even on failure. The module must have imported
// numpy's C interface.
inline Ref fresh_array(PyArray_Descr* descr, npy_intp count) noexcept {
    return Ref::steal(PyArray_Empty(1, &count, descr, 0));
}

}  // namespace vx
