// The ChipArray instance record, shared with the modules that import the type.
#pragma once

#include "support/capi.hpp"

namespace vx {

struct ChipArrayObject {
    PyObject_HEAD
    PyObject* single_chips;  // the list given at construction (not a copy), owned; None once cleared
    PyObject* context;       // _DeviceContext, owned; None once cleared
};

inline constexpr char kChipArrayModule[] = "vexasdk.chip_array";
inline constexpr char kChipArrayName[] = "ChipArray";

// Bound by import_chip_array() in each module that uses the type.
inline PyTypeObject* chip_array_type = nullptr;

inline int import_chip_array() noexcept {
    chip_array_type = import_type(kChipArrayModule, kChipArrayName, sizeof(ChipArrayObject));
    return chip_array_type ? 0 : -1;
}

}  // namespace vx
