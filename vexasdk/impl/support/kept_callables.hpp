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
// Touched only with the interpreter lock held. Kept in Python containers, so
// that running out of memory is an exception like any other; a module's
// instance is never destroyed: at exit it is too late to release Python
// objects.
#pragma once

#include <cstdint>

#include "support/ref.hpp"
#include "vexasdk/context.h"

namespace vx {

class KeptCallables {
public:
    // What the SDK holds callables under: a context and, within it, whatever
    // the module tells apart (monitor and event kind; nothing for acquisitions).
    struct Key {
        uintptr_t context;
        uint32_t id;
        uint32_t kind;
    };

    static Key key(const void* context, uint32_t id = 0, uint32_t kind = 0) noexcept {
        return {reinterpret_cast<uintptr_t>(context), id, kind};
    }

    struct Ticket {
        Key key;
        uint64_t number = 0;
        bool alone = false;  // no other registration of the key was in progress at the start
    };

    // Before the SDK call that hands a callable over. False (error set) when
    // there is no room to keep it.
    bool begin(const Key& key, Ticket& ticket) noexcept {
        ticket.key = key;
        Slot* slot = find(key, /*make=*/true);
        if (slot == nullptr) return false;
        ticket.number = slot->last_ticket = ++tickets_;
        ticket.alone = slot->pending++ == 0;
        return true;
    }

    // After the SDK call: `accepted` is the callable the SDK now holds, or
    // null when it refused. With `replaces`, the SDK holds one callable per key:
    // a registration that had the key to itself from start to end replaced
    // whatever was kept before (overlapping ones cannot tell which the SDK
    // took last, so they keep both).
    void end(const Ticket& ticket, PyObject* accepted, bool replaces) noexcept {
        Ref replaced;  // dropped last: dropping may run any code, this class's included
        Slot* slot = find(ticket.key, /*make=*/true);  // made anew if the context was released meanwhile
        if (slot == nullptr) return keep_forever(accepted);
        if (slot->pending > 0) --slot->pending;
        if (accepted == nullptr) {
            if (slot->pending == 0 && PyList_GET_SIZE(slot->entries) == 0) forget(ticket.key);
            return;
        }
        Ref entry = Ref::steal(Py_BuildValue("(KO)", static_cast<unsigned long long>(accepted_ + 1), accepted));
        Ref fresh = entry ? Ref::steal(PyList_New(0)) : Ref();
        if (!fresh) return keep_forever(accepted);
        bool replacing = replaces && ticket.alone && slot->pending == 0 && slot->last_ticket == ticket.number;
        PyObject* into = replacing ? fresh.get() : slot->entries;
        if (PyList_Append(into, entry.get()) < 0) return keep_forever(accepted);
        ++accepted_;
        if (replacing) {
            replaced = Ref::steal(slot->entries);
            slot->entries = fresh.release();
        }
    }

    // The newest acceptance so far. What was accepted up to it is what a wait
    // for the end that begins now can see end.
    uint64_t mark() const noexcept { return accepted_; }

    // The SDK calls nothing of `key` accepted up to `mark` any more.
    void release(const Key& key, uint64_t mark) noexcept {
        Slot* slot = find(key, /*make=*/false);
        if (slot == nullptr) return;
        Ref still = Ref::steal(PyList_New(0));
        if (!still) return PyErr_Clear();  // everything stays kept
        Py_ssize_t count = PyList_GET_SIZE(slot->entries);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* entry = PyList_GET_ITEM(slot->entries, i);
            unsigned long long accepted = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(entry, 0));
            if (accepted > mark && PyList_Append(still.get(), entry) < 0) return PyErr_Clear();
        }
        Ref released = Ref::steal(slot->entries);  // dropped last
        slot->entries = still.release();
        if (slot->pending == 0 && PyList_GET_SIZE(slot->entries) == 0) forget(key);
    }

    // The SDK has closed `context` (every context when null): it calls nothing
    // kept for it any more.
    void release_context(const void* context) noexcept {
        if (slots_ == nullptr) return;
        Ref doomed = Ref::steal(PyList_New(0));
        if (!doomed) return PyErr_Clear();
        Py_ssize_t pos = 0;
        PyObject *py_key, *capsule;
        while (PyDict_Next(slots_, &pos, &py_key, &capsule)) {
            if (context == nullptr || PyLong_AsVoidPtr(PyTuple_GET_ITEM(py_key, 0)) == context)
                if (PyList_Append(doomed.get(), py_key) < 0) return PyErr_Clear();
        }
        Ref slots = Ref::steal(PyList_New(0));  // what the removed slots held, dropped last
        if (!slots) return PyErr_Clear();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(doomed.get()); ++i) {
            PyObject* py_key = PyList_GET_ITEM(doomed.get(), i);
            PyObject* capsule = PyDict_GetItemWithError(slots_, py_key);
            if (capsule == nullptr || PyList_Append(slots.get(), capsule) < 0 || PyDict_DelItem(slots_, py_key) < 0)
                PyErr_Clear();
        }
    }

    // How many callables are kept for `key`.
    Py_ssize_t count(const Key& key) noexcept {
        Slot* slot = find(key, /*make=*/false);
        return slot == nullptr ? 0 : PyList_GET_SIZE(slot->entries);
    }

private:
    static constexpr char kSlotName[] = "vexasdk.kept_callables.slot";

    struct Slot {
        uint64_t last_ticket;  // of the registration begun last
        int pending;           // registrations inside their SDK call
        PyObject* entries;     // list of (acceptance, callable), owned: one per callable the SDK may hold
    };

    static void free_slot(PyObject* capsule) noexcept {
        auto* slot = static_cast<Slot*>(PyCapsule_GetPointer(capsule, kSlotName));
        if (slot == nullptr) return PyErr_Clear();
        Py_XDECREF(slot->entries);
        PyMem_Free(slot);
    }

    static Ref py_key(const Key& key) noexcept {
        return Ref::steal(Py_BuildValue("(NII)", PyLong_FromVoidPtr(reinterpret_cast<void*>(key.context)),
                                        static_cast<unsigned>(key.id), static_cast<unsigned>(key.kind)));
    }

    // The slot of `key`, made when `make` and missing; null when missing or
    // not made (error set then).
    Slot* find(const Key& key, bool make) noexcept {
        if (slots_ == nullptr) {
            if (!make) return nullptr;
            slots_ = PyDict_New();
            if (slots_ == nullptr) return nullptr;
        }
        Ref k = py_key(key);
        if (!k) {
            if (!make) PyErr_Clear();
            return nullptr;
        }
        PyObject* capsule = PyDict_GetItemWithError(slots_, k.get());
        if (capsule != nullptr) return static_cast<Slot*>(PyCapsule_GetPointer(capsule, kSlotName));
        if (PyErr_Occurred() || !make) {
            if (!make) PyErr_Clear();
            return nullptr;
        }
        auto* slot = static_cast<Slot*>(PyMem_Malloc(sizeof(Slot)));
        if (slot == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        *slot = {0, 0, PyList_New(0)};
        Ref made = Ref::steal(slot->entries ? PyCapsule_New(slot, kSlotName, free_slot) : nullptr);
        if (!made) {
            Py_XDECREF(slot->entries);
            PyMem_Free(slot);
            return nullptr;
        }
        return PyDict_SetItem(slots_, k.get(), made.get()) < 0 ? nullptr : slot;
    }

    void forget(const Key& key) noexcept {
        Ref k = py_key(key);
        if (!k || PyDict_DelItem(slots_, k.get()) < 0) PyErr_Clear();
    }

    // No room left to keep `callable` properly: leaking it is the one safe
    // answer left.
    static void keep_forever(PyObject* callable) noexcept {
        PyErr_Clear();
        Py_XINCREF(callable);
    }

    PyObject* slots_ = nullptr;  // {(context, id, kind): capsule of Slot}
    uint64_t tickets_ = 0;
    uint64_t accepted_ = 0;
};

// A module's own instance, made on first use and never destroyed.
inline KeptCallables& kept_callables() noexcept {
    static KeptCallables kept;
    return kept;
}

inline constexpr char kReleaseCallablesName[] = "_release_callables";
inline constexpr char kReleaseCallablesSignature[] = "void (vexasdk_dev_ctx *)";

// Exported by every module that keeps callables, for the device-opening code:
// the SDK has closed `context` (every context when null).
inline void release_callables(vexasdk_dev_ctx* context) noexcept { kept_callables().release_context(context); }

}  // namespace vx
