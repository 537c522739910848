// numpy's type objects, checked at start-up.
#pragma once

#include <initializer_list>

#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

// numpy's type objects, which every module but the device context needs
// before its body runs.
inline int import_numpy_types() noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const char* name : {"dtype", "ndarray", "flatiter", "broadcast", "ufunc", "generic", "number", "integer",
                             "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating",
                             "flexible", "character"}) {
        Ref type = Ref::steal(PyObject_GetAttrString(numpy.get(), name));
        if (!type) return -1;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, texts::kNotAType, "numpy", name);
            return -1;
        }
    }
    return 0;
}

}  // namespace vx
