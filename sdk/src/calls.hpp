// The call log and fault table: every SDK function enters through `enter`.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <type_traits>

namespace vsim {

struct Arg {
    const char* name;
    std::string json;
};

std::string json_string(const char* text);

template <class T>
Arg arg(const char* name, T value) {
    if constexpr (std::is_same_v<T, bool>) {
        return {name, value ? "true" : "false"};
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        using U = std::conditional_t<std::is_enum_v<T>, int64_t, T>;
        return {name, std::to_string(static_cast<U>(value))};
    } else if constexpr (std::is_floating_point_v<T>) {
        // Not JSON proper, but what Python's json module reads back.
        if (std::isnan(value)) return {name, "NaN"};
        if (std::isinf(value)) return {name, value > 0 ? "Infinity" : "-Infinity"};
        char text[40];
        // Enough digits to give back the exact float or double.
        snprintf(text, sizeof text, "%.17g", static_cast<double>(value));
        return {name, text};
    } else if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
        return {name, value ? json_string(value) : "null"};
    } else {
        static_assert(std::is_pointer_v<T>, "unsupported argument type");
        return {name, value ? std::to_string(reinterpret_cast<uintptr_t>(value)) : "null"};
    }
}

// A byte range, logged as a hex string.
Arg bytes_arg(const char* name, const void* data, uint64_t size);

// Logs the call and answers the code a scripted fault asks for, or 0.
int32_t enter(const char* function, std::initializer_list<Arg> args);

void reset_calls();

// Guards the call log and the fault table; held across a fork.
std::mutex& calls_mutex();

}  // namespace vsim

#define VSIM_ENTER(...)                                                \
    do {                                                               \
        if (int32_t vsim_fault_ = ::vsim::enter(__func__, {__VA_ARGS__})) \
            return static_cast<vexasdk_err_code>(vsim_fault_);         \
    } while (0)
