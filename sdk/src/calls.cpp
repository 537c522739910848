#include "calls.hpp"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>
#include <deque>
#include <map>
#include <mutex>

#include "vexasdk/sim.h"

namespace vsim {
namespace {

constexpr size_t kLogLimit = 100000;
// Mask transfers log their bytes: bound the memory too, not only the count.
constexpr size_t kLogByteLimit = size_t{64} << 20;

void append_json(std::string& out, const Arg& a) {
    char text[40];
    switch (a.kind) {
    case Arg::Kind::null:
        out += "null";
        return;
    case Arg::Kind::boolean:
        out += a.i ? "true" : "false";
        return;
    case Arg::Kind::sign:
        out += std::to_string(a.i);
        return;
    case Arg::Kind::unsign:
    case Arg::Kind::pointer:
        out += std::to_string(a.u);
        return;
    case Arg::Kind::real:
        // Not JSON proper, but what Python's json module reads back.
        if (std::isnan(a.d)) {
            out += "NaN";
        } else if (std::isinf(a.d)) {
            out += a.d > 0 ? "Infinity" : "-Infinity";
        } else {
            // Enough digits to give back the exact float or double.
            snprintf(text, sizeof text, "%.17g", a.d);
            out += text;
        }
        return;
    case Arg::Kind::json:
        out += a.json;
        return;
    }
}

}  // namespace

Calls& calls() {
    // Never destroyed: SDK threads may still log while the process exits.
    static Calls* instance = new Calls;
    return *instance;
}

void append_json(std::string& out, const Entry& entry) {
    out += "{\"fn\":\"";
    out += entry.site->function;
    out += "\",\"args\":{";
    bool first = true;
    for (const Arg& a : entry.args) {
        if (!first) out += ',';
        first = false;
        out += '"';
        out += a.name;
        out += "\":";
        append_json(out, a);
    }
    out += "}}";
}

void clear_counts(Calls& c) {
    for (CallSite* site = c.called; site != nullptr;) {
        CallSite* next = site->next;
        site->count = 0;
        site->next = nullptr;
        site->listed = false;
        site = next;
    }
    c.called = nullptr;
    c.total = 0;
}

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
    Arg a{name};
    if (data == nullptr) return a;
    static const char digits[] = "0123456789abcdef";
    a.kind = Arg::Kind::json;
    a.json.reserve(size * 2 + 2);
    a.json += '"';
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < size; ++i) {
        a.json += digits[p[i] >> 4];
        a.json += digits[p[i] & 15];
    }
    a.json += '"';
    return a;
}

int32_t enter(CallSite& site, std::initializer_list<Arg> args) {
    Entry entry{&site, std::vector<Arg>(args)};
    size_t bytes = entry.bytes();
    Calls& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    c.log_bytes += bytes;
    c.log.push_back(std::move(entry));
    while (c.log.size() > 1 && (c.log.size() > kLogLimit || c.log_bytes > kLogByteLimit)) {
        c.log_bytes -= c.log.front().bytes();
        c.log.pop_front();
    }
    if (!site.listed) {
        site.listed = true;
        site.next = c.called;
        c.called = &site;
    }
    ++site.count;
    ++c.total;
    if (c.faults.empty()) return 0;
    auto fault = c.faults.find(std::string_view(site.function));
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
    clear_counts(c);
    c.faults.clear();
}

}  // namespace vsim
