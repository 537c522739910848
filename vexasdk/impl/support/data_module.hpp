// What the data modules share: the trampoline signature in export tables and
// the record-array view their callbacks receive.
#pragma once

#include "support/capi.hpp"
#include "support/frame.hpp"
#include "support/utils_api.hpp"
#include "vexasdk/acquisition.h"

namespace vx {

inline constexpr char kTrampolineSignature[] = "void (vexasdk_dev_ctx *, void *)";

// Where a data trampoline reports from: its qualified name, the module's file
// and namespace, and its text for a failed fetch.
inline TrampolineSite data_site(const char* qualname, const char* file, PyObject** globals, const char* fetch_failed,
                                int line = __builtin_LINE()) noexcept {
    return {qualname, file, line, fetch_failed, texts::kDataCallbackFailed, texts::kNoDataCallback, globals};
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

// `array.view(np.recarray)`, `np` as the module namespace holds it now.
inline Ref recarray_view(PyObject* globals, PyObject* array) noexcept {
    Ref np = lookup_global(globals, "np");
    if (!np) return {};
    Ref recarray = Ref::steal(PyObject_GetAttrString(np.get(), "recarray"));
    if (!recarray) return {};
    return Ref::steal(PyObject_CallMethod(array, "view", "O", recarray.get()));
}

// A module-level dtype by name, as the trampolines look it up at each block,
// for SDK records of `record_size` bytes. The name may have been rebound:
// c_to_np_arr copies count * itemsize bytes, so a dtype of any other size
// would read past the SDK's records.
inline Ref module_dtype(PyObject* globals, const char* name, size_t record_size) noexcept {
    Ref dtype = lookup_global(globals, name);
    if (!dtype) return {};
    Ref itemsize = Ref::steal(PyObject_GetAttrString(dtype.get(), "itemsize"));
    if (!itemsize) return {};
    size_t size = PyLong_Check(itemsize.get()) ? PyLong_AsSize_t(itemsize.get()) : 0;
    if (size == static_cast<size_t>(-1)) PyErr_Clear();
    if (size != record_size) {
        PyErr_Format(PyExc_TypeError, "%s has items of %R bytes, the SDK's records %zu", name, itemsize.get(),
                     record_size);
        return {};
    }
    return dtype;
}

// Common start of a data module: its export table, numpy's types, and
// _c_to_np_arr.
inline int start_data_module(PyObject* module, std::initializer_list<std::pair<const char*, void*>> trampolines) noexcept {
    for (auto [name, fn] : trampolines)
        if (export_function(module, name, fn, kTrampolineSignature) < 0) return -1;
    if (import_numpy_types() < 0) return -1;
    return import_c_to_np_arr();
}

}  // namespace vx
