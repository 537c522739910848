// The PixelChip instance record, shared with the modules that import the type.
#pragma once

#include "support/capi.hpp"

namespace vx {

struct PixelChipObject {
    PyObject_HEAD
    int chip_id;
    PyObject* info;     // the ChipInfo handed to the constructor, owned
    PyObject* context;  // _DeviceContext, owned; None once cleared
};

inline constexpr char kPixelChipModule[] = "vexasdk.pixel_chip";
inline constexpr char kPixelChipName[] = "PixelChip";

// Bound by import_pixel_chip() in each module that uses the type.
inline PyTypeObject* pixel_chip_type = nullptr;

inline int import_pixel_chip() noexcept {
    pixel_chip_type = import_type(kPixelChipModule, kPixelChipName, sizeof(PixelChipObject));
    return pixel_chip_type ? 0 : -1;
}

}  // namespace vx
