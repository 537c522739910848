// Names the SDK hands over as C strings. One rule wherever a monitor's name
// is read, so that a name read fine at opening reads the same in every event:
// names are for people, and bytes that are not UTF-8 stay visible as escapes.
#pragma once

#include <cstring>

#include "support/python.hpp"

namespace vx {

// A new str, or null with an error.
inline PyObject* decode_sdk_name(const char* name) noexcept {
    return PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(strlen(name)), "backslashreplace");
}

}  // namespace vx
