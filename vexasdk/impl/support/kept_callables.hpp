// Callables the SDK holds by address only.
//
// Invariant: whenever the SDK may call a callable that the layer handed it as
// user data, a KeptCallables holds a strong reference to it, whatever its
// caller (or the controller that registered it) has dropped since. A reference
// goes only once the SDK has said it can no longer call the callable: a later
// registration of the same key replaced it, the acquisition it was started
// with was seen to end, or its context was closed. Keeping one too long is
// safe; dropping one too early lets the SDK call freed memory.
//
// Touched only with the interpreter lock held. A module's instance is never
// destroyed: at exit it is too late to release Python objects.
#pragma once

#include <cstdint>
#include <map>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "support/ref.hpp"
#include "vexasdk/context.h"

namespace vx {

class KeptCallables {
public:
    // What the SDK holds callables under: a context and, within it, whatever
    // the module tells apart (monitor and event kind; nothing for acquisitions).
    using Key = std::tuple<uintptr_t, uint32_t, uint32_t>;

    static Key key(const void* context, uint32_t id = 0, uint32_t kind = 0) noexcept {
        return {reinterpret_cast<uintptr_t>(context), id, kind};
    }

    struct Ticket {
        Key key;
        uint64_t number = 0;
        bool alone = false;  // no other registration of the key was in progress at the start
    };

    // Before the SDK call that hands a callable over. False (MemoryError set)
    // when there is no room to keep it.
    bool begin(const Key& key, Ticket& ticket) noexcept {
        ticket.key = key;
        try {
            Slot& slot = slots_[key];
            ticket.number = slot.last_ticket = ++tickets_;
            ticket.alone = slot.pending++ == 0;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // After the SDK call: `accepted` is the callable the SDK now holds, or
    // null when it refused. With `replaces`, the SDK holds one callable per key:
    // a registration that had the key to itself from start to end replaced
    // whatever was kept before (overlapping ones cannot tell which the SDK
    // took last, so they keep both).
    void end(const Ticket& ticket, PyObject* accepted, bool replaces) noexcept {
        std::vector<Entry> replaced;  // dropped last: dropping may run any code, this class's included
        try {
            Slot& slot = slots_[ticket.key];  // made anew if the context was released meanwhile
            if (slot.pending > 0) --slot.pending;
            if (accepted == nullptr) {
                if (slot.pending == 0 && slot.kept.empty()) slots_.erase(ticket.key);
                return;
            }
            if (replaces && ticket.alone && slot.pending == 0 && slot.last_ticket == ticket.number)
                replaced.swap(slot.kept);
            slot.kept.push_back({++accepted_, Ref::borrow(accepted)});
        } catch (const std::bad_alloc&) {
            Py_XINCREF(accepted);  // leaking it is the one safe answer left
        }
    }

    // The newest acceptance so far. What was accepted up to it is what a wait
    // for the end that begins now can see end.
    uint64_t mark() const noexcept { return accepted_; }

    // The SDK calls nothing of `key` accepted up to `mark` any more.
    void release(const Key& key, uint64_t mark) noexcept {
        std::vector<Entry> released;
        auto found = slots_.find(key);
        if (found == slots_.end()) return;
        Slot& slot = found->second;
        try {
            std::vector<Entry> still;
            for (Entry& entry : slot.kept) (entry.accepted <= mark ? released : still).push_back(std::move(entry));
            slot.kept.swap(still);
        } catch (const std::bad_alloc&) {
            return;  // everything stays kept
        }
        if (slot.pending == 0 && slot.kept.empty()) slots_.erase(found);
    }

    // The SDK has closed `context` (every context when null): it calls nothing
    // kept for it any more.
    void release_context(const void* context) noexcept {
        std::map<Key, Slot> released;  // destroyed last, once the map is consistent again
        for (auto it = slots_.begin(); it != slots_.end();) {
            auto next = std::next(it);
            if (context == nullptr || std::get<0>(it->first) == reinterpret_cast<uintptr_t>(context))
                released.insert(slots_.extract(it));  // moves the node: no allocation
            it = next;
        }
    }

    // How many callables are kept for `key`.
    size_t count(const Key& key) const noexcept {
        auto found = slots_.find(key);
        return found == slots_.end() ? 0 : found->second.kept.size();
    }

private:
    struct Entry {
        uint64_t accepted;  // order of acceptance
        Ref callable;
    };

    struct Slot {
        std::vector<Entry> kept;  // one per callable the SDK may hold for the key
        uint64_t last_ticket = 0;  // of the registration begun last
        int pending = 0;           // registrations inside their SDK call
    };

    std::map<Key, Slot> slots_;
    uint64_t tickets_ = 0;
    uint64_t accepted_ = 0;
};

// A module's own instance, made on first use and never destroyed.
inline KeptCallables& kept_callables() noexcept {
    static auto* kept = new KeptCallables;
    return *kept;
}

inline constexpr char kReleaseCallablesName[] = "_release_callables";
inline constexpr char kReleaseCallablesSignature[] = "void (vexasdk_dev_ctx *)";

// Exported by every module that keeps callables, for the device-opening code:
// the SDK has closed `context` (every context when null).
inline void release_callables(vexasdk_dev_ctx* context) noexcept { kept_callables().release_context(context); }

}  // namespace vx
