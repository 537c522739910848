#include "calls.hpp"

#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "vexasdk/sim.h"

namespace vsim {
namespace {

constexpr size_t kLogLimit = 100000;
// Mask transfers log their bytes: bound the memory too, not only the count.
constexpr size_t kLogByteLimit = size_t{64} << 20;

struct Fault {
    int32_t code;
    int64_t remaining;  // negative: every call
};

struct Calls {
    std::mutex mu;
    std::deque<std::string> log;
    size_t log_bytes = 0;
    std::map<std::string, uint64_t, std::less<>> counts;
    uint64_t total = 0;
    std::map<std::string, Fault, std::less<>> faults;
};

Calls& calls() {
    // Never destroyed: SDK threads may still log while the process exits.
    static Calls* instance = new Calls;
    return *instance;
}

}  // namespace

std::mutex& calls_mutex() { return calls().mu; }

std::string json_string(const char* text) {
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20 || *p >= 0x80) {
            // Bytes, not characters: the harness decodes \u00XX back to a byte.
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", *p);
            out += esc;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

Arg bytes_arg(const char* name, const void* data, uint64_t size) {
    if (data == nullptr) return {name, "null"};
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    out.reserve(size * 2 + 2);
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < size; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return {name, out + "\""};
}

int32_t enter(const char* function, std::initializer_list<Arg> args) {
    std::string entry = "{\"fn\":\"";
    entry += function;
    entry += "\",\"args\":{";
    bool first = true;
    for (const Arg& a : args) {
        if (!first) entry += ',';
        first = false;
        entry += '"';
        entry += a.name;
        entry += "\":";
        entry += a.json;
    }
    entry += "}}";

    Calls& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    c.log_bytes += entry.size();
    c.log.push_back(std::move(entry));
    while (c.log.size() > 1 && (c.log.size() > kLogLimit || c.log_bytes > kLogByteLimit)) {
        c.log_bytes -= c.log.front().size();
        c.log.pop_front();
    }
    ++c.counts[function];
    ++c.total;
    auto fault = c.faults.find(function);
    if (fault == c.faults.end()) return 0;
    int32_t code = fault->second.code;
    if (fault->second.remaining > 0 && --fault->second.remaining == 0) c.faults.erase(fault);
    return code;
}

void reset_calls() {
    Calls& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    c.log.clear();
    c.log_bytes = 0;
    c.counts.clear();
    c.total = 0;
    c.faults.clear();
}

}  // namespace vsim

using vsim::calls;

VEXASDK_API vexasdk_err_code vexasdk_sim_fail(const char* function, int32_t code, int64_t times) {
    if (function == nullptr || function[0] == '\0') return VEXASDK_ERR_EFAULT;
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    if (times == 0) {
        c.faults.erase(std::string(function));
    } else {
        c.faults[function] = {code, times};
    }
    return VEXASDK_SUCCESS;
}

VEXASDK_API vexasdk_err_code vexasdk_sim_clear_faults(void) {
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    c.faults.clear();
    return VEXASDK_SUCCESS;
}

VEXASDK_API uint64_t vexasdk_sim_call_count(const char* function) {
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    if (function == nullptr) return c.total;
    auto it = c.counts.find(std::string_view(function));
    return it == c.counts.end() ? 0 : it->second;
}

VEXASDK_API size_t vexasdk_sim_call_log(char* buf, size_t capacity) {
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    std::string out = "[";
    for (size_t i = 0; i < c.log.size(); ++i) {
        if (i) out += ',';
        out += c.log[i];
    }
    out += ']';
    if (buf != nullptr && capacity > out.size()) memcpy(buf, out.c_str(), out.size() + 1);
    return out.size() + 1;
}

VEXASDK_API vexasdk_err_code vexasdk_sim_clear_call_log(void) {
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    c.log.clear();
    c.log_bytes = 0;
    c.counts.clear();
    c.total = 0;
    return VEXASDK_SUCCESS;
}
