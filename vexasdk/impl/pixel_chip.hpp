// The PixelChip instance record, shared with the modules that import the type.
#pragma once

#include "support/controller.hpp"

namespace vx {

// Header, _chip_id, _info (the ChipInfo handed to the constructor), _context.
using PixelChipObject = ControllerObject;

inline constexpr char kPixelChipModule[] = "vexasdk.pixel_chip";
inline constexpr char kPixelChipName[] = "PixelChip";

// Bound by import_pixel_chip() in each module that uses the type.
inline PyTypeObject* pixel_chip_type = nullptr;

inline int import_pixel_chip() noexcept {
    pixel_chip_type = import_type(kPixelChipModule, kPixelChipName, sizeof(PixelChipObject));
    return pixel_chip_type ? 0 : -1;
}

}  // namespace vx
