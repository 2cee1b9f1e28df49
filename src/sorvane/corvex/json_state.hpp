// Module state of corvex's JSON codec (jsoncodec.cpp).
//
// The codec answers json.dumps(obj, ensure_ascii=False) and json.loads(text)
// natively only while everything the host's functions read at call time is
// still what it was at import. The state keeps snapshots of those objects and
// the places they are read from; jsoncodec.cpp explains which are watched.
#pragma once

#include "ref.hpp"

namespace sorvane::corvex {

using native::Ref;

// One name the host codec looks up at every call: `ns[name] is value` must hold.
struct JsonBinding {
    Ref ns;     // a module namespace or a class's own dict
    Ref name;   // interned
    Ref value;  // the object bound at import
};

// The conditions under which one host function can be replaced natively.
struct JsonGuard {
    static constexpr int kMaxBindings = 10;
    static constexpr int kMaxSized = 2;

    bool armed = false;  // the snapshot was taken and found as expected
    JsonBinding bindings[kMaxBindings];
    int nbindings = 0;
    Ref sized[kMaxSized];  // dicts that must keep their number of entries
    Py_ssize_t sizes[kMaxSized] = {};
    int nsized = 0;

    int traverse(visitproc visit, void* arg) noexcept {
        for (int i = 0; i < nbindings; ++i) {
            Py_VISIT(bindings[i].ns.get());
            Py_VISIT(bindings[i].name.get());
            Py_VISIT(bindings[i].value.get());
        }
        for (int i = 0; i < nsized; ++i) Py_VISIT(sized[i].get());
        return 0;
    }
    void clear() noexcept {
        armed = false;
        for (int i = 0; i < nbindings; ++i) {
            bindings[i].ns.reset();
            bindings[i].name.reset();
            bindings[i].value.reset();
        }
        for (int i = 0; i < nsized; ++i) sized[i].reset();
        nbindings = nsized = 0;
    }
};

struct JsonState {
    Ref name_json;        // "json", looked up in corvex's namespace
    Ref name_dumps;       // "dumps"
    Ref name_loads;       // "loads"
    Ref kw_ensure_ascii;  // ("ensure_ascii",): keyword names of the host call
    Ref json;             // the json module bound at import

    JsonGuard dumps;  // when armed and holding, json.dumps(o, ensure_ascii=False) is native
    JsonGuard loads;  // when armed and holding, json.loads(text) is native

    Ref decoder_type;    // type(json._default_decoder) at import
    Ref constants;       // the dict behind the default scanner's parse_constant
    Ref name_nan;        // "NaN"
    Ref name_inf;        // "Infinity"
    Ref name_neg_inf;    // "-Infinity"

    int traverse(visitproc visit, void* arg) noexcept {
        Py_VISIT(name_json.get());
        Py_VISIT(name_dumps.get());
        Py_VISIT(name_loads.get());
        Py_VISIT(kw_ensure_ascii.get());
        Py_VISIT(json.get());
        if (int rc = dumps.traverse(visit, arg)) return rc;
        if (int rc = loads.traverse(visit, arg)) return rc;
        Py_VISIT(decoder_type.get());
        Py_VISIT(constants.get());
        Py_VISIT(name_nan.get());
        Py_VISIT(name_inf.get());
        Py_VISIT(name_neg_inf.get());
        return 0;
    }
    void clear() noexcept {
        dumps.clear();
        loads.clear();
        name_json.reset();
        name_dumps.reset();
        name_loads.reset();
        kw_ensure_ascii.reset();
        json.reset();
        decoder_type.reset();
        constants.reset();
        name_nan.reset();
        name_inf.reset();
        name_neg_inf.reset();
    }
};

}  // namespace sorvane::corvex
