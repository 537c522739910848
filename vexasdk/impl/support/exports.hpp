// C export tables between modules: functions published in a module's
// __pyx_capi__ table, and a type's C method table in its dictionary.
#pragma once

#include "support/ref.hpp"
#include "support/texts.hpp"

namespace vx {

inline constexpr char kExportTable[] = "__pyx_capi__";
inline constexpr char kVtableKey[] = "__pyx_vtable__";

// Publishes `fn` in the module's export table under `name`, with `signature`
// as the capsule's name.
inline int export_function(PyObject* module, const char* name, void* fn, const char* signature) noexcept {
    Ref table = Ref::steal(PyObject_GetAttrString(module, kExportTable));
    if (!table) {
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, kExportTable, table.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

// The function `name` from the export table of `module_name`, checked
// against `signature`; null with the error set otherwise.
inline void* import_function(const char* module_name, const char* name, const char* signature) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref table = Ref::steal(PyObject_GetAttrString(module.get(), kExportTable));
    if (!table) return nullptr;
    PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, texts::kMissingExport, module_name, "function", name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* actual = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Format(PyExc_TypeError, texts::kWrongSignature, "function", module_name, name, signature,
                     actual ? actual : "");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

template <class Fn>
int import_function(const char* module_name, const char* name, const char* signature, Fn** out) noexcept {
    *out = reinterpret_cast<Fn*>(import_function(module_name, name, signature));
    return *out ? 0 : -1;
}

// Stores a type's C method table in its dictionary.
inline int set_vtable(PyTypeObject* type, void* vtable) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(vtable, nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(type->tp_dict, kVtableKey, capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

inline void* get_vtable(PyTypeObject* type) noexcept {
    Ref capsule = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), kVtableKey));
    if (!capsule) return nullptr;
    void* vtable = PyCapsule_CheckExact(capsule.get()) ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (vtable == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, texts::kInvalidVtable);
    }
    return vtable;
}

}  // namespace vx
