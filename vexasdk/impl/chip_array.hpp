// The ChipArray instance record, shared with the modules that import the type.
#pragma once

#include "support/capi.hpp"

namespace vx {

struct ChipArrayObject {
    PyObject_HEAD
    PyObject* single_chips;  // the list given at construction (not a copy), owned; None once cleared
    PyObject* context;       // _DeviceContext, owned; None once cleared
};

// Bound by import_chip_array() in the acquisition runner, which takes a
// ChipArray.
inline PyTypeObject* chip_array_type = nullptr;

inline int import_chip_array() noexcept {
    return import_type(chip_array_type, "vexasdk.chip_array", "ChipArray", sizeof(ChipArrayObject));
}

}  // namespace vx
