// What sorvane.corvex offers the native engine, as the capsule
// sorvane.corvex._wire_api: its dispatcher served straight from a call's
// bytes, without a CommonRequest or CommonResponse object in between when
// nothing could tell the difference. Both sides are built from this header,
// in separate extension modules.
#pragma once

#include <Python.h>

namespace sorvane::support {

constexpr const char* kWireApiCapsule = "sorvane.corvex._wire_api";
constexpr int kWireApiVersion = 3;

struct WireApi {
    int version;  // kWireApiVersion
    // 1 when a unary method handler's parts are corvex's own dispatcher as
    // brindlow adds it: CommonService.handle (as rpc_log wraps it) bound to a
    // service, CommonRequest.FromString and CommonResponse.SerializeToString
    // of the classes corvex imported; 0 when not; -1 with an exception set.
    int (*accepts)(PyObject* behavior, PyObject* deserializer, PyObject* serializer);
    // The call of an accepted `behavior` served from *payload, the engine's
    // reference to the bytes of its CommonRequest (exact bytes, or for a
    // large one the engine's read-only buffer object, whose storage does not
    // move while it lives), with the servicer `context`. A new reference to
    // the serialized CommonResponse (exact bytes, or in parts: a tuple of
    // exact bytes objects to be sent one after the other, so that a large
    // bytes value goes out uncopied), to whatever else handle returned (a reply to come, a response
    // object: the engine treats it as the handler's own), or to
    // NotImplemented when the request is to go the ordinary way (deserialized
    // by the handler's deserializer, then handled); nullptr with the exception
    // handle raised. Except on NotImplemented, the reference to the payload is
    // taken (*payload is then nullptr): the call reads its fields where they
    // lie and holds it until it ends.
    PyObject* (*handle)(PyObject* behavior, PyObject** payload, PyObject* context);
};

// A message in parts, as the wire path may carry a large one both ways: a
// tuple of one or more exact bytes objects, sent one after the other.
inline bool is_parts(PyObject* o) noexcept {
    if (!PyTuple_CheckExact(o) || PyTuple_GET_SIZE(o) == 0) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
        if (!PyBytes_CheckExact(PyTuple_GET_ITEM(o, i))) return false;
    return true;
}

// What the native engine offers corvex, as the capsule sorvane._native._wire_api:
// a unary call of corvex's own stub made with the request's bytes, its
// reply's bytes back.
constexpr const char* kChannelWireApiCapsule = "sorvane._native._wire_api";

struct ChannelWireApi {
    int version;  // kWireApiVersion
    PyTypeObject* unary_type;  // the engine's unary callable
    // callable(payload, **keywords) with the callable's serializer and
    // deserializer left out: `args` and `kwnames` as a vector call of it
    // passes them, the request (args[0]) already serialized (exact bytes, or
    // in parts as handle's reply may be). A
    // new reference to the reply's bytes (exact bytes, or for a large reply
    // the engine's read-only buffer object); NotImplemented when `callable` is
    // not the native engine's unary callable with exactly `serializer` and
    // `deserializer`; nullptr with the error the call raises.
    PyObject* (*call_bytes)(PyObject* callable, PyObject* serializer, PyObject* deserializer,
                            PyObject* const* args, size_t nargs, PyObject* kwnames);
    // The reply's bytes through the callable's deserializer, raising what the
    // callable raises when that fails.
    PyObject* (*deserialize)(PyObject* callable, PyObject* reply);
    // As call_bytes, for a call awaited on an event loop: the call started
    // as callable._sorvane_start(wake, item, ...) starts it (a new reference
    // to its ClientCall), NotImplemented or nullptr as call_bytes gives them.
    PyObject* (*start_bytes)(PyObject* callable, PyObject* serializer, PyObject* deserializer,
                             PyObject* wake, PyObject* item, PyObject* const* args,
                             size_t nargs, PyObject* kwnames);
    // The reply's bytes of such a call once it is done, as call_bytes
    // returns them, or nullptr with the error it ended with raised.
    PyObject* (*reply_bytes)(PyObject* callable, PyObject* call);
};

// The API `module` offers as its capsule `_wire_api`, named `capsule`, when
// that module is loaded and the capsule is of this header's version; nullptr
// otherwise, with no exception set.
template <class Api>
const Api* loaded_wire_api(const char* module, const char* capsule) {
    const Api* api = nullptr;
    if (PyObject* name = PyUnicode_FromString(module)) {
        PyObject* loaded = PyImport_GetModule(name);
        Py_DECREF(name);
        PyObject* found = loaded ? PyObject_GetAttrString(loaded, "_wire_api") : nullptr;
        Py_XDECREF(loaded);
        if (found && PyCapsule_IsValid(found, capsule))
            api = static_cast<const Api*>(PyCapsule_GetPointer(found, capsule));
        Py_XDECREF(found);
    }
    PyErr_Clear();
    return api && api->version == kWireApiVersion ? api : nullptr;
}

}  // namespace sorvane::support
