// Which method handler serves a call: the registered handlers, grpcio's
// dictionary handlers (read from their tables, behind a token gate too), then
// each generic handler asked in turn; the answer is kept per method path
// where it cannot change. A handler that is corvex's own dispatcher is marked
// to be served from the request's bytes (wire_api.hpp). GIL held throughout.
#include "binding.hpp"
#include "wire_api.hpp"

namespace sorvane::native::binding {
namespace {

// corvex's wire path, when corvex is loaded (a handler of its own can only
// be there if it is); looked for again until found.
const support::WireApi* wire_api(ServerPython& py) {
    if (!py.wire)
        py.wire = support::loaded_wire_api<support::WireApi>("sorvane.corvex",
                                                              support::kWireApiCapsule);
    return py.wire;
}

bool flag(PyObject* o, const char* name) {
    Ref v = Ref::steal(PyObject_GetAttrString(o, name));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    return PyObject_IsTrue(v.get()) == 1;
}

// Whether the call's metadata has `key` with exactly `value`, in time that
// does not depend on where a wrong value differs.
bool carries(InboundCall& call, const std::string& key, const std::string& value) {
    for (const auto& kv : call.metadata()) {
        if (kv.first != key) continue;
        if (kv.second.size() != value.size()) return false;
        unsigned char diff = 0;
        for (size_t i = 0; i < value.size(); ++i)
            diff |= static_cast<unsigned char>(kv.second[i] ^ value[i]);
        return diff == 0;
    }
    return false;
}

// Reads a method handler's parts (None: nothing serves the path).
std::shared_ptr<Resolved> resolved_from(ServerPython& py, Ref handler) {
    auto r = std::make_shared<Resolved>();
    r->handler = std::move(handler);
    if (r->handler.get() == Py_None) return r;
    r->request_streaming = flag(r->handler.get(), "request_streaming");
    r->streaming = flag(r->handler.get(), "response_streaming");
    r->behavior = Ref::steal(PyObject_GetAttrString(
        r->handler.get(), r->streaming ? "unary_stream" : "unary_unary"));
    if (!r->behavior) PyErr_Clear();
    // Missing ones stay empty: the call then fails where it uses them.
    r->deserializer = Ref::steal(PyObject_GetAttrString(r->handler.get(), "request_deserializer"));
    r->serializer = Ref::steal(PyObject_GetAttrString(r->handler.get(), "response_serializer"));
    PyErr_Clear();
    if (!r->streaming && !r->request_streaming && r->behavior && r->deserializer && r->serializer)
        if (const support::WireApi* api = wire_api(py)) {
            const int takes = api->accepts(r->behavior.get(), r->deserializer.get(), r->serializer.get());
            if (takes == 1) r->wire = api;
            PyErr_Clear();  // -1: the ordinary way
        }
    return r;
}

// The handler of `method` in grpcio's dictionary handler `h`, or nullptr
// when `h` is not one (its table gives what its service() would return).
PyObject* from_table(ServerPython& py, PyObject* h, PyObject* method, bool* is_table) {
    *is_table = false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(h)) != py.dict_type.get()) return nullptr;
    Ref table = getattr(h, "_method_handlers");
    if (!PyDict_Check(table.get())) return nullptr;
    *is_table = true;
    PyObject* v = PyDict_GetItemWithError(table.get(), method);
    if (!v && PyErr_Occurred()) throw PyErrAlreadySet{};
    return v ? v : Py_None;
}

}  // namespace

// What serves one call: the cached answer for its path when there is one,
// else the registered handlers, then each generic handler in turn.
std::shared_ptr<const Resolved> resolve(ServerPython& py, InboundCall& call) {
    auto hit = py.cache.find(call.method());
    if (hit != py.cache.end()) {
        const Resolved& r = *hit->second;
        if (r.gate_key.empty() || carries(call, r.gate_key, r.gate_value)) return hit->second;
    }
    Ref method = py_text(call.method());
    if (PyDict_Size(py.registered.get()) > 0) {
        PyObject* h = PyDict_GetItemWithError(py.registered.get(), method.get());
        if (h) {
            std::shared_ptr<Resolved> r = resolved_from(py, Ref::borrow(h));
            py.cache[call.method()] = r;
            return r;
        }
        if (PyErr_Occurred()) throw PyErrAlreadySet{};
    }
    Ref handlers = Ref::borrow(py.handlers.get());
    Ref details;
    bool cacheable = true;
    std::string gate_key, gate_value;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
        Ref h = Ref::borrow(PyList_GET_ITEM(handlers.get(), i));
        Ref found;
        bool is_table;
        if (PyObject* v = from_table(py, h.get(), method.get(), &is_table)) {
            found = Ref::borrow(v);
        } else if (cacheable && gate_key.empty()) {
            // A token gate (sorvane.security) over a dictionary handler: the
            // gate's own check, made here on the call's headers.
            Ref key = Ref::steal(PyObject_GetAttrString(h.get(), "_sorvane_header"));
            if (!key) PyErr_Clear();
            if (key && PyUnicode_Check(key.get())) {
                Ref inner = getattr(h.get(), "_inner");
                Ref expected = getattr(h.get(), "_expected");
                std::string k = bytes_of(key.get(), "a header"), e = bytes_of(expected.get(), "a value");
                PyObject* v = carries(call, k, e) ? from_table(py, inner.get(), method.get(), &is_table)
                                                  : nullptr;
                if (v) {
                    found = Ref::borrow(v);
                    gate_key = std::move(k);
                    gate_value = std::move(e);
                }
            }
        }
        if (!found) {
            cacheable = false;
            if (!details) {
                Ref md = metadata_to(call.metadata(), getattr(py.support.get(), "metadatum").get());
                details = ::sorvane::support::call(
                    getattr(py.support.get(), "call_details").get(), {method.get(), md.get()});
            }
            found = ::sorvane::support::call(getattr(h.get(), "service").get(), {details.get()});
        }
        if (found.get() != Py_None) {
            std::shared_ptr<Resolved> r = resolved_from(py, std::move(found));
            if (cacheable) {
                r->gate_key = std::move(gate_key);
                r->gate_value = std::move(gate_value);
                py.cache[call.method()] = r;
            }
            return r;
        }
        // A gate whose handler does not serve the path: the next handlers
        // are asked without it.
        gate_key.clear();
        gate_value.clear();
    }
    return resolved_from(py, Ref::borrow(Py_None));
}

}  // namespace sorvane::native::binding
