// Sim calls on the call log and the fault table: scripted faults, call
// counts, the log as JSON.
#include <cstring>
#include <mutex>
#include <string>

#include "calls.hpp"
#include "vexasdk/sim.h"

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
    for (const vsim::CallSite* site = c.called; site != nullptr; site = site->next)
        if (strcmp(site->function, function) == 0) return site->count;
    return 0;
}

VEXASDK_API size_t vexasdk_sim_call_log(char* buf, size_t capacity) {
    auto& c = calls();
    std::lock_guard<std::mutex> lock(c.mu);
    std::string out = "[";
    for (size_t i = 0; i < c.log.size(); ++i) {
        if (i) out += ',';
        append_json(out, c.log[i]);
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
    clear_counts(c);
    return VEXASDK_SUCCESS;
}
