// The call log and fault table: every SDK function enters through `enter`.
// A call is logged as values; the JSON the harness reads is made only when
// it reads the log, so that a call costs little more than a lock.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <initializer_list>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace vsim {

struct Arg {
    enum class Kind : uint8_t { null, boolean, sign, unsign, real, pointer, json };
    explicit Arg(const char* arg_name) : name(arg_name) {}
    const char* name;
    Kind kind = Kind::null;
    union {
        int64_t i = 0;
        uint64_t u;
        double d;
    };
    std::string json;  // Kind::json: strings and byte ranges, already as JSON
};

std::string json_string(const char* text);

template <class T>
Arg arg(const char* name, T value) {
    Arg a{name};
    if constexpr (std::is_same_v<T, bool>) {
        a.kind = Arg::Kind::boolean;
        a.i = value;
    } else if constexpr (std::is_enum_v<T> || (std::is_integral_v<T> && std::is_signed_v<T>)) {
        a.kind = Arg::Kind::sign;
        a.i = static_cast<int64_t>(value);
    } else if constexpr (std::is_integral_v<T>) {
        a.kind = Arg::Kind::unsign;
        a.u = value;
    } else if constexpr (std::is_floating_point_v<T>) {
        a.kind = Arg::Kind::real;
        a.d = static_cast<double>(value);
    } else if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
        if (value != nullptr) {
            a.kind = Arg::Kind::json;
            a.json = json_string(value);
        }
    } else {
        static_assert(std::is_pointer_v<T>, "unsupported argument type");
        if (value != nullptr) {
            a.kind = Arg::Kind::pointer;
            a.u = reinterpret_cast<uintptr_t>(value);
        }
    }
    return a;
}

// A byte range, logged as a hex string.
Arg bytes_arg(const char* name, const void* data, uint64_t size);

// An SDK function as the log knows it: one per function, constant-initialised
// where it is declared, and counted under calls_mutex().
struct CallSite {
    const char* function;
    uint64_t count = 0;
    CallSite* next = nullptr;  // the sites that have been called, in a list
    bool listed = false;
};

// Logs the call and answers the code a scripted fault asks for, or 0.
int32_t enter(CallSite& site, std::initializer_list<Arg> args);

void reset_calls();

// Guards the call log and the fault table; held across a fork.
std::mutex& calls_mutex();

// The call log, the counts and the fault table, as the sim calls read and
// script them (sim_calls.cpp). All under `mu`.
struct Fault {
    int32_t code;
    int64_t remaining;  // negative: every call
};

// One logged call, as values; made into JSON only when the log is read.
struct Entry {
    const CallSite* site;
    std::vector<Arg> args;

    size_t bytes() const {
        size_t size = sizeof(Entry) + args.size() * sizeof(Arg);
        for (const Arg& a : args) size += a.json.capacity();
        return size;
    }
};

struct Calls {
    std::mutex mu;
    std::deque<Entry> log;
    size_t log_bytes = 0;
    CallSite* called = nullptr;  // every site called since the counts were last cleared
    uint64_t total = 0;
    std::map<std::string, Fault, std::less<>> faults;
};

Calls& calls();
// `entry` as the harness reads it: {"fn": ..., "args": {...}}.
void append_json(std::string& out, const Entry& entry);
// Sets every call count back to 0.
void clear_counts(Calls& c);

}  // namespace vsim

#define VSIM_ENTER(...)                                                         \
    do {                                                                        \
        static ::vsim::CallSite vsim_site_{__func__};                           \
        if (int32_t vsim_fault_ = ::vsim::enter(vsim_site_, {__VA_ARGS__}))     \
            return static_cast<vexasdk_err_code>(vsim_fault_);                  \
    } while (0)
