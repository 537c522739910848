// An SDK monitor description as Python reads it. One rule for the opener's
// list of monitors and for every monitor event, so that a monitor reads the
// same in its MonitorInfo and in what its events carry: any type but float
// reads as int, and the range and the values are read in that type.
#pragma once

#include <cstdint>
#include <cstring>

#include "support/ref.hpp"
#include "vexasdk/monitor.h"

namespace vx {

class MonitorReading {
public:
    explicit MonitorReading(const vexasdk_mon_info& info) noexcept {
        uint32_t type;  // the SDK may leave any value in the enumeration's bytes
        memcpy(&type, &info.type, sizeof type);
        real_ = type == VEXASDK_MON_FLOAT;
    }

    // MonitorInfo.type: float or int, borrowed.
    PyObject* type() const noexcept { return reinterpret_cast<PyObject*>(real_ ? &PyFloat_Type : &PyLong_Type); }

    Ref min(const vexasdk_mon_range& range) const noexcept {
        return real_ ? Ref::steal(PyFloat_FromDouble(range.f.min)) : Ref::steal(PyLong_FromUnsignedLong(range.i.min));
    }
    Ref max(const vexasdk_mon_range& range) const noexcept {
        return real_ ? Ref::steal(PyFloat_FromDouble(range.f.max)) : Ref::steal(PyLong_FromUnsignedLong(range.i.max));
    }
    Ref value(const vexasdk_mon_value& value) const noexcept {
        return real_ ? Ref::steal(PyFloat_FromDouble(value.f)) : Ref::steal(PyLong_FromUnsignedLong(value.i));
    }

private:
    bool real_;
};

}  // namespace vx
