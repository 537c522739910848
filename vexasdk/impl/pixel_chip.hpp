// The PixelChip instance record, shared with the modules that import the type.
#pragma once

#include "support/controller.hpp"

namespace vx {

// Header, _chip_id, _info (the ChipInfo handed to the constructor), _context.
using PixelChipObject = ControllerObject;

// Bound by import_pixel_chip() in each module that uses the type.
inline PyTypeObject* pixel_chip_type = nullptr;

inline int import_pixel_chip() noexcept {
    return import_type(pixel_chip_type, "vexasdk.pixel_chip", "PixelChip", sizeof(PixelChipObject));
}

}  // namespace vx
