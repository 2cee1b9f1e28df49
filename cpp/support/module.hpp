// Module definition helpers: a typed, C++-constructed module state and the
// PyInit boundary. Each module's State holds its Python objects as Refs (never
// in C++ statics), is built in place when the module is created and destroyed
// when the module is freed.
#pragma once

#include "function.hpp"

#include <new>

// The module-initialisation entry, exported even where the host's
// PyMODINIT_FUNC carries no visibility attribute (3.7, 3.8) and the build hides
// symbols by default.
#if defined(_WIN32)
#define SORVANE_MODINIT(name) extern "C" __declspec(dllexport) PyObject* PyInit_##name(void)
#else
#define SORVANE_MODINIT(name) \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void)
#endif

namespace sorvane::support {

template <class State>
State& module_state(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

template <class State>
void module_state_free(void* module) noexcept {
    auto* m = static_cast<PyObject*>(module);
    if (void* p = PyModule_GetState(m)) {
        auto* st = static_cast<State*>(p);
        if (st->constructed) st->~State();
    }
}

template <class State>
int module_state_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st && st->constructed) return st->traverse(visit, arg);
    return 0;
}

template <class State>
int module_state_clear(PyObject* module) noexcept {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st && st->constructed) st->clear();
    return 0;
}

// Creates the module from `def` (single-phase, so it exists once per process),
// constructs its State and runs `exec(module)`. Returns a new reference or NULL.
template <class State, class Exec>
PyObject* init_module(PyModuleDef* def, Exec&& exec) noexcept {
    return entry([&]() -> Ref {
        function_type();
        Ref module = check(PyModule_Create(def));
        new (PyModule_GetState(module.get())) State();
        module_state<State>(module.get()).constructed = true;
        exec(module.get());
        return module;
    });
}

}  // namespace sorvane::support
