// What the data modules share: the trampoline signature in export tables, the
// arrays their callbacks receive, and the names they look up at each block.
//
// Trampolines look names up in their module's namespace at every block (a
// user may rebind them), and call what they find. Where what they find is
// still numpy's own object, they do in C what the call would do, with the
// same result: a block then runs no Python code that numpy does not run
// itself.
#pragma once

#include "support/capi.hpp"
#include "support/frame.hpp"
#include "support/numpy_array.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/acquisition.h"

#include <numpy/arrayobject.h>

namespace vx {

inline constexpr char kTrampolineSignature[] = "void (vexasdk_dev_ctx *, void *)";

namespace names {
inline Name np{"np"};
inline Name recarray{"recarray"};
inline Name empty{"empty"};
inline Name ndarray{"ndarray"};
inline Name uint64{"uint64"};
inline Name itemsize{"itemsize"};
}  // namespace names

// numpy's own objects, as the module found them at initialisation; owned for
// the life of the process.
struct NumpyObjects {
    PyObject* recarray = nullptr;
    PyObject* record = nullptr;
    PyObject* dtype = nullptr;
    PyObject* empty = nullptr;
    PyObject* ndarray = nullptr;
    PyObject* uint64 = nullptr;
};
inline NumpyObjects numpy_objects;

// One object a module keeps of a library: `library.name`, or
// `library.within.name` when `within` is given.
struct LibraryObject {
    PyObject** slot;
    const char* name;
    const char* within = nullptr;
};

// Fills the slots from `library`, once for the life of the process: a
// start-up retried after a failed one keeps what the failed one found.
inline int find_library_objects(const char* library, std::initializer_list<LibraryObject> objects) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(library));
    if (!module) return -1;
    for (const LibraryObject& object : objects) {
        if (*object.slot != nullptr) continue;
        Ref owner = object.within ? Ref::steal(PyObject_GetAttrString(module.get(), object.within)) : module;
        *object.slot = owner ? PyObject_GetAttrString(owner.get(), object.name) : nullptr;
        if (*object.slot == nullptr) return -1;
    }
    return 0;
}

inline int find_numpy_objects() noexcept {
    NumpyObjects& found = numpy_objects;
    return find_library_objects("numpy", {{&found.recarray, "recarray"}, {&found.record, "record"},
                                          {&found.dtype, "dtype"}, {&found.empty, "empty"},
                                          {&found.ndarray, "ndarray"}, {&found.uint64, "uint64"}});
}

// Where a data trampoline reports from: its qualified name, the module's file
// and namespace, and its text for a failed fetch.
inline TrampolineSite data_site(const char* qualname, const char* file, PyObject** globals, const char* fetch_failed,
                                int line = __builtin_LINE()) noexcept {
    return trampoline_site(qualname, file, globals, fetch_failed, texts::kDataCallbackFailed, texts::kNoDataCallback,
                           line);
}

// The delivery frame for a processed block of `device`. A callback that ends
// the process also ends the acquisition, which the main thread may be
// waiting for.
template <class Fetch, class BuildAndCall>
void deliver_block(const TrampolineSite& site, vexasdk_dev_ctx* device, void* user_data, Fetch&& fetch,
                   BuildAndCall&& build_and_call) noexcept {
    deliver(site, user_data, std::forward<Fetch>(fetch), std::forward<BuildAndCall>(build_and_call),
            [device] { vexasdk_acq_abort(device); });
}

namespace data_detail {

// The dtype that numpy's record array gives an array of `descr`, as
// recarray.__array_finalize__ makes it: np.dtype((np.record, descr)) for a
// structured void dtype, `descr` itself otherwise. Remembered for the last
// few dtypes, which are the modules' own. New reference or null.
inline PyArray_Descr* record_descr(PyArray_Descr* descr) noexcept {
    struct Entry {
        PyArray_Descr* given = nullptr;  // both owned
        PyArray_Descr* record = nullptr;
    };
    static Entry entries[8];
    static unsigned next = 0;
    for (const Entry& entry : entries)
        if (entry.given == descr) return reinterpret_cast<PyArray_Descr*>(Py_NewRef(entry.record));
    auto* record_type = reinterpret_cast<PyTypeObject*>(numpy_objects.record);
    Ref record = Ref::borrow(reinterpret_cast<PyObject*>(descr));
    if (descr->typeobj != record_type && PyType_IsSubtype(descr->typeobj, &PyVoidArrType_Type) &&
        PyDataType_HASFIELDS(descr)) {
        Ref spec = Ref::steal(PyTuple_Pack(2, numpy_objects.record, descr));
        record = Ref::steal(spec ? PyObject_CallOneArg(numpy_objects.dtype, spec.get()) : nullptr);
        if (!record) return nullptr;
        if (!PyArray_DescrCheck(record.get())) {
            PyErr_SetString(PyExc_TypeError, "np.dtype did not make a dtype");
            return nullptr;
        }
    }
    // The entry is replaced before what it held goes: freeing a dtype may run
    // code that comes back here.
    Entry& entry = entries[next++ % 8];
    Entry replaced = entry;
    entry.given = reinterpret_cast<PyArray_Descr*>(Py_NewRef(descr));
    entry.record = reinterpret_cast<PyArray_Descr*>(Py_NewRef(record.get()));
    Py_XDECREF(replaced.given);
    Py_XDECREF(replaced.record);
    return reinterpret_cast<PyArray_Descr*>(record.release());
}

}  // namespace data_detail

// `array.view(np.recarray)`, `np` as the module namespace holds it now. For
// numpy's own recarray and a plain array, the view is made as ndarray.view
// makes it, with the record dtype that its __array_finalize__ would set
// already given.
inline Ref recarray_view(PyObject* globals, PyObject* array) noexcept {
    Ref np = lookup_global(globals, names::np);
    if (!np) return {};
    Ref recarray = attr(np.get(), names::recarray);
    if (!recarray) return {};
    if (recarray.get() != numpy_objects.recarray || !PyArray_CheckExact(array))
        return Ref::steal(PyObject_CallMethod(array, "view", "O", recarray.get()));
    auto* base = reinterpret_cast<PyArrayObject*>(array);
    PyArray_Descr* descr = data_detail::record_descr(PyArray_DESCR(base));
    if (descr == nullptr) return {};
    // Steals descr, even on failure.
    Ref view = Ref::steal(PyArray_NewFromDescr(reinterpret_cast<PyTypeObject*>(numpy_objects.recarray), descr,
                                               PyArray_NDIM(base), PyArray_DIMS(base), PyArray_STRIDES(base),
                                               PyArray_DATA(base), PyArray_FLAGS(base), array));
    if (!view || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(array)) < 0)
        return {};
    return view;
}

// empty(count, dtype=dtype), for the `empty` found in the module's `np`.
// When that is numpy's own and `dtype` one it takes as it is, numpy's
// PyArray_Empty makes the array directly.
inline Ref np_empty(PyObject* empty, uint64_t count, PyObject* dtype) noexcept {
    PyArray_Descr* descr = nullptr;
    if (empty == numpy_objects.empty && count <= static_cast<uint64_t>(NPY_MAX_INTP)) {
        if (dtype == numpy_objects.ndarray)
            descr = PyArray_DescrFromType(NPY_OBJECT);
        else if (dtype == numpy_objects.uint64)
            descr = PyArray_DescrFromType(NPY_UINT64);
        else if (PyArray_DescrCheck(dtype))
            descr = reinterpret_cast<PyArray_Descr*>(Py_NewRef(dtype));
    }
    if (descr != nullptr) return fresh_array(descr, static_cast<npy_intp>(count));
    Ref length = Ref::steal(PyLong_FromUnsignedLongLong(count));
    Ref args = Ref::steal(length ? PyTuple_Pack(1, length.get()) : nullptr);
    Ref kwargs = Ref::steal(args ? Py_BuildValue("{s:O}", "dtype", dtype) : nullptr);
    if (!kwargs) return {};
    return Ref::steal(PyObject_Call(empty, args.get(), kwargs.get()));
}

// A module-level dtype, looked up at each block, for SDK records of
// `record_size` bytes. The name may have been rebound: c_to_np_arr copies
// count * itemsize bytes, so a dtype of any other size would read past the
// SDK's records. A dtype object's size never changes: each is checked once.
class ModuleDtype {
public:
    constexpr ModuleDtype(const char* name, size_t record_size) noexcept : name_(name), record_size_(record_size) {}

    Ref get(PyObject* globals) noexcept {
        Ref dtype = lookup_global(globals, name_);
        if (!dtype || dtype.get() == checked_) return dtype;
        Ref itemsize = attr(dtype.get(), names::itemsize);
        if (!itemsize) return {};
        size_t size = PyLong_Check(itemsize.get()) ? PyLong_AsSize_t(itemsize.get()) : 0;
        if (size == static_cast<size_t>(-1)) PyErr_Clear();
        if (size != record_size_) {
            PyErr_Format(PyExc_TypeError, "%s has items of %R bytes, the SDK's records %zu", name_.text(),
                         itemsize.get(), record_size_);
            return {};
        }
        if (PyArray_DescrCheck(dtype.get())) Py_XSETREF(checked_, Py_NewRef(dtype.get()));
        return dtype;
    }

    // `count` SDK records at `records` as a new array of the dtype: the one
    // copy a block makes of them.
    Ref array(PyObject* globals, const void* records, uint64_t count) noexcept {
        Ref dtype = get(globals);
        if (!dtype) return {};
        return Ref::steal(c_to_np_arr(const_cast<void*>(records), count, dtype.get()));
    }

    // The same, as the record-array view a callback receives.
    Ref view(PyObject* globals, const void* records, uint64_t count) noexcept {
        Ref copied = array(globals, records, count);
        return copied ? recarray_view(globals, copied.get()) : Ref();
    }

private:
    Name name_;
    size_t record_size_;
    PyObject* checked_ = nullptr;  // owned: the last dtype that passed
};

// Common start of a data module, once its trampolines are exported: numpy's
// types and C interface, and _c_to_np_arr.
inline int start_data_module() noexcept {
    if (import_numpy_types() < 0 || PyArray_ImportNumPyAPI() < 0 || find_numpy_objects() < 0) return -1;
    return import_c_to_np_arr();
}

}  // namespace vx
