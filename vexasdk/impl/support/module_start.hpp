// A module's start-up, written as the list of its steps. Every module starts
// the same way (once per process, a module object, then its own steps in its
// own order); the order is each module's, so ModuleStart only runs the steps
// it is given, one call a step, and after the first failure runs no more.
//
//     return vx::ModuleStart(module)
//         .ready(chip_type)
//         .annotate(chip_type)
//         .then(vx::import_numpy_types, vx::import_raise_if_err)
//         .body("vexasdk/impl/pixel_chip", kBody, {"ChipInfo"})
//         .done();
#pragma once

#include <initializer_list>

#include "support/capi.hpp"
#include "support/method.hpp"

namespace vx {

// Runs a module's Python-level part in its namespace, with annotations kept
// as strings.
inline int run_module_body(PyObject* module, const char* filename, const char* source) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (PyDict_GetItemString(globals, "__builtins__") == nullptr &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;
    PyCompilerFlags flags = {CO_FUTURE_ANNOTATIONS, PY_MINOR_VERSION};
    Ref code = Ref::steal(Py_CompileStringExFlags(source, filename, Py_file_input, &flags, -1));
    if (!code) return -1;
    Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
    return result ? 0 : -1;
}

// typing.NamedTuple wraps string annotations in ForwardRef; the named records
// of `module` get them back as written, on the class and on its __new__.
inline int keep_record_annotations(PyObject* module, std::initializer_list<const char*> records) noexcept {
    for (const char* name : records) {
        Ref record = Ref::steal(PyObject_GetAttrString(module, name));
        if (!record) return -1;
        Ref wrapped = Ref::steal(PyObject_GetAttrString(record.get(), "__annotations__"));
        if (!wrapped) return -1;
        if (!PyDict_Check(wrapped.get())) {
            PyErr_Format(PyExc_TypeError, "%s.__annotations__ is not a dict", name);
            return -1;
        }
        Ref plain = Ref::steal(PyDict_New());
        if (!plain) return -1;
        Py_ssize_t pos = 0;
        PyObject *field, *annotation;
        while (PyDict_Next(wrapped.get(), &pos, &field, &annotation)) {
            PyObject* found = nullptr;
            if (PyObject_GetOptionalAttrString(annotation, "__forward_arg__", &found) < 0) return -1;
            Ref text = Ref::steal(found);
            if (PyDict_SetItem(plain.get(), field, text ? text.get() : annotation) < 0) return -1;
        }
        Ref constructor = Ref::steal(PyObject_GetAttrString(record.get(), "__new__"));
        if (!constructor || PyObject_SetAttrString(record.get(), "__annotations__", plain.get()) < 0 ||
            PyObject_SetAttrString(constructor.get(), "__annotations__", plain.get()) < 0)
            return -1;
    }
    return 0;
}

// Single-phase modules are initialised once per process. An initialisation
// that failed (numpy missing, say) did not count: the next import tries again.
inline int first_initialisation(bool& done, const char* module_name) noexcept {
    if (done) {
        PyErr_Format(PyExc_ImportError, texts::kInitialisedTwice, module_name);
        return -1;
    }
    return 0;
}

// The end of a module's initialisation: `module`, or null with the error set.
inline PyObject* initialised(bool& done, PyObject* module) noexcept {
    if (module != nullptr) done = true;
    return module;
}

// A C function a module publishes in its export table.
struct Export {
    template <class Fn>
    Export(const char* name, Fn* fn, const char* signature) noexcept
        : name(name), fn(reinterpret_cast<void*>(fn)), signature(signature) {}
    const char* name;
    void* fn;
    const char* signature;
};

// A single-phase module's definition, and whether it has been initialised.
struct Module {
    PyModuleDef def;
    bool initialised = false;
};

class ModuleStart {
public:
    using Step = int (*)();
    using ModuleStep = int (*)(PyObject* module);

    explicit ModuleStart(Module& module) noexcept : done_(module.initialised) {
        if (first_initialisation(done_, module.def.m_name) == 0) module_ = Ref::steal(PyModule_Create(&module.def));
        ok_ = static_cast<bool>(module_);
    }
    // The same, keeping the module's namespace in `globals` (borrowed: the
    // module lives for the process) for the trampolines and methods that
    // look names up at call time.
    ModuleStart(Module& module, PyObject*& globals) noexcept : ModuleStart(module) {
        if (ok_) globals = PyModule_GetDict(module_.get());
    }
    ModuleStart(const ModuleStart&) = delete;
    ModuleStart& operator=(const ModuleStart&) = delete;

    // The module's own steps (imports, constants, ...), in the order given.
    template <class... Steps>
    ModuleStart& then(Steps... steps) noexcept {
        (run(steps), ...);
        return *this;
    }
    ModuleStart& ready(PyTypeObject& type) noexcept {
        ok_ = ok_ && PyType_Ready(&type) == 0;
        return *this;
    }
    ModuleStart& vtable(PyTypeObject& type, void* table) noexcept {
        ok_ = ok_ && set_vtable(&type, table) == 0;
        return *this;
    }
    // Annotates the type's methods as their signatures say.
    ModuleStart& annotate(PyTypeObject& type) noexcept {
        ok_ = ok_ && annotate_methods(&type) == 0;
        return *this;
    }
    ModuleStart& function(PyMethodDef& def) noexcept {
        ok_ = ok_ && add_annotated_function(module_.get(), &def) == 0;
        return *this;
    }
    ModuleStart& add(const char* name, PyTypeObject& type) noexcept {
        ok_ = ok_ && PyModule_AddObjectRef(module_.get(), name, reinterpret_cast<PyObject*>(&type)) == 0;
        return *this;
    }
    ModuleStart& exports(std::initializer_list<Export> entries) noexcept {
        for (const Export& entry : entries)
            ok_ = ok_ && export_function(module_.get(), entry.name, entry.fn, entry.signature) == 0;
        return *this;
    }
    // The Python-level part, then the annotations of its named records put back.
    ModuleStart& body(const char* file, const char* source, std::initializer_list<const char*> records = {}) noexcept {
        ok_ = ok_ && run_module_body(module_.get(), file, source) == 0 &&
              keep_record_annotations(module_.get(), records) == 0;
        return *this;
    }
    // The module, or null with the error set.
    PyObject* done() noexcept { return initialised(done_, ok_ ? module_.release() : nullptr); }

private:
    void run(Step step) noexcept { ok_ = ok_ && step() == 0; }
    void run(ModuleStep step) noexcept { ok_ = ok_ && step(module_.get()) == 0; }

    bool& done_;
    Ref module_;
    bool ok_ = false;
};

}  // namespace vx
