// Importing another module's extension type, checked against the size of
// the instance record this module reads.
#pragma once

#include <cstddef>

#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

// Imports the extension type `module_name.name`, whose instances this module
// reads through a record of `size` bytes. A smaller type fails; a larger one
// warns. Returns a new reference or null.
inline PyTypeObject* import_type(const char* module_name, const char* name, size_t size) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref obj = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, texts::kNotAType, module_name, name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    auto basic = static_cast<size_t>(type->tp_basicsize);
    if (basic < size) {
        PyErr_Format(PyExc_ValueError, texts::kSizeChanged, module_name, name, size, basic);
        return nullptr;
    }
    if (basic > size && PyErr_WarnFormat(nullptr, 0, texts::kSizeChanged, module_name, name, size, basic) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// The same into `slot`, kept for the life of the process: 0, or -1 with the
// error set.
inline int import_type(PyTypeObject*& slot, const char* module_name, const char* name, size_t size) noexcept {
    slot = import_type(module_name, name, size);
    return slot ? 0 : -1;
}

}  // namespace vx
