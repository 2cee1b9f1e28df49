"""The native function type behaves like a Python function.

Each check compares a native function of brindlow with the three-line Python
function of the same shape, on the running host. Last, the support layer's
rule that every difference between CPython versions stays in support/compat.hpp.
"""
import functools
import gc
import inspect
import os
import re
import sys
import types
import weakref

import pytest

import brindlow
from locations import REPO

# No transport engine is involved: ./run-tests runs these on its first engine only.
pytestmark = pytest.mark.engine_free

native_static = brindlow.CommonService.handle
native_method = brindlow.CommonServiceServicer.handle
native_plain = brindlow.add_CommonServiceServicer_to_server


class CommonService:  # the Python twin of brindlow.CommonService
    @staticmethod
    def handle(request, target, options=(), channel_credentials=None, call_credentials=None,
               insecure=False, compression=None, wait_for_ready=None, timeout=None,
               metadata=None):
        return (request, target, options, channel_credentials, call_credentials, insecure,
                compression, wait_for_ready, timeout, metadata)


def add_CommonServiceServicer_to_server(servicer, server):
    return None


def _error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.fixture
def restore_metadata():
    """Put back whatever a test copies onto the shared native function."""
    fn = native_plain
    saved = (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__, dict(fn.__annotations__),
             dict(fn.__dict__))
    yield fn
    fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__ = saved[:4]
    fn.__annotations__ = saved[4]
    fn.__dict__.clear()
    fn.__dict__.update(saved[5])


class TestArguments:
    @pytest.mark.parametrize("args,kwargs", [
        ((), {}),
        (("r",), {}),
        (tuple(range(11)), {}),
        (("r", "t"), {"bogus": 1}),
        (("r", "t"), {"request": 1}),
        (("r",), {"timeout": 1}),
        ((), {"target": 1, "metadata": 2}),
        (tuple(range(12)), {"zzz": 1}),
    ])
    def test_errors_match_python(self, args, kwargs):
        assert _error(native_static, *args, **kwargs) == _error(CommonService.handle, *args, **kwargs)

    def test_three_missing_arguments(self):
        class CommonServiceServicer:
            def handle(self, request, context):
                pass
        expected = _error(CommonServiceServicer.handle).replace(
            "TestArguments.test_three_missing_arguments.<locals>.", "")
        assert _error(native_method) == expected

    def test_no_defaults_wording(self):
        assert _error(native_plain, 1, 2, 3) == _error(add_CommonServiceServicer_to_server, 1, 2, 3)
        assert _error(native_plain, 1) == _error(add_CommonServiceServicer_to_server, 1)

    def test_keywords_must_be_strings(self):
        with pytest.raises(TypeError):
            native_static(**{1: 2})

    def test_positional_and_keyword_mix(self, monkeypatch):
        import grpc.experimental
        seen = []
        monkeypatch.setattr(grpc.experimental, "unary_unary", lambda *a: seen.append(a))
        native_static("r", target="t", timeout=3, options=("o",))
        native_static(metadata="m", request="r", target="t")
        assert seen[0][5] == ("o",) and seen[0][11] == 3
        assert seen[1][:2] == ("r", "t") and seen[1][12] == "m"


class TestBinding:
    def test_binds_as_a_method(self):
        servicer = brindlow.CommonServiceServicer()
        bound = servicer.handle
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is servicer and bound.__func__ is native_method
        assert native_method.__get__(None, brindlow.CommonServiceServicer) is native_method
        assert brindlow.CommonServiceServicer.__dict__["handle"] is native_method
        assert inspect.ismethoddescriptor(native_method)

    def test_classmethod_staticmethod_property(self):
        class Fake:
            def __init__(self):
                self.handlers = []

            def add_generic_rpc_handlers(self, h):
                self.handlers.append(h)

        class K:
            handle = staticmethod(lambda request, context: None)
            register = classmethod(native_plain)
            plain = staticmethod(native_plain)
            prop = property(brindlow.CommonServiceStub.__init__)

        server = Fake()
        assert K.register(server) is None and len(server.handlers) == 1
        assert K().register(server=server) is None and len(server.handlers) == 2
        assert K.plain(K, server) is None and len(server.handlers) == 3
        with pytest.raises(TypeError, match="channel"):
            K().prop  # the instance arrives as `self`; `channel` is missing

    def test_subclass_override_and_super(self):
        class Servicer(brindlow.CommonServiceServicer):
            def handle(self, request, context):
                return ("mine", super().handle)

        tag, parent = Servicer().handle(None, None)
        assert tag == "mine" and parent.__func__ is native_method


class TestMetadata:
    def test_names(self):
        assert native_method.__name__ == "handle"
        assert native_method.__qualname__ == "CommonServiceServicer.handle"
        assert native_method.__module__ == "brindlow"
        assert native_plain.__qualname__ == "add_CommonServiceServicer_to_server"
        assert repr(native_method).startswith("<function CommonServiceServicer.handle at 0x")
        assert native_method.__annotations__ == {}

    def test_signature_matches_python(self):
        assert inspect.signature(native_static) == inspect.signature(CommonService.handle)
        assert str(inspect.signature(brindlow.CommonServiceServicer().handle)) == "(request, context)"
        assert inspect.signature(native_plain) == inspect.signature(add_CommonServiceServicer_to_server)
        assert native_static.__defaults__ == CommonService.handle.__defaults__

    def test_wraps_onto_native(self, restore_metadata):
        fn = restore_metadata

        def source(a, b=2):
            """Source doc."""
        source.__annotations__["a"] = int
        source.extra = "x"
        assert functools.update_wrapper(fn, source) is fn
        assert (fn.__name__, fn.__qualname__, fn.__doc__) == (
            "source", source.__qualname__, "Source doc.")
        assert fn.__module__ == __name__ and fn.__annotations__ == {"a": int}
        assert fn.__wrapped__ is source and fn.extra == "x"
        assert str(inspect.signature(fn)) == "(a: int, b=2)"  # follows __wrapped__

    def test_wraps_from_native(self):
        @functools.wraps(native_method)
        def wrapper(*a, **k):
            return native_method(*a, **k)

        assert wrapper.__name__ == "handle" and wrapper.__doc__ == native_method.__doc__
        assert wrapper.__wrapped__ is native_method
        assert str(inspect.signature(wrapper)) == "(self, request, context)"

    def test_attribute_rules(self, restore_metadata):
        fn = restore_metadata
        with pytest.raises(TypeError):
            fn.__name__ = 3
        with pytest.raises(TypeError):
            fn.__qualname__ = None
        with pytest.raises(TypeError):
            fn.__annotations__ = [1]
        with pytest.raises(AttributeError):
            fn.__text_signature__ = "(x)"
        with pytest.raises(AttributeError):
            fn.no_such_attribute
        fn.__doc__ = "changed"
        fn.anything = 1
        assert fn.__doc__ == "changed" and fn.__dict__ == {"anything": 1}
        assert not hasattr(fn, "__signature__")

    def test_code_object_for_introspection(self):
        servicer = brindlow.CommonServiceServicer()
        for fn in (native_static, native_method, servicer.handle):
            assert not inspect.iscoroutinefunction(fn)
            assert not inspect.isgeneratorfunction(fn)
        code = native_method.__code__
        assert (code.co_name, code.co_argcount) == ("handle", 3)
        assert code.co_varnames == ("self", "request", "context")

    def test_pickles_by_reference(self):
        import copy
        import pickle
        for fn in (native_static, native_method, native_plain):
            assert pickle.loads(pickle.dumps(fn)) is fn
            assert copy.deepcopy(fn) is fn

    def test_weak_references(self):
        ref = weakref.ref(native_plain)
        assert ref() is native_plain


class TestReferenceCounts:
    def test_no_leak_over_many_calls(self):
        class Ctx:
            def set_code(self, code):
                pass

            def set_details(self, details):
                pass

        servicer = brindlow.CommonServiceServicer()
        ctx, req = Ctx(), object()

        def run(n):
            for _ in range(n):
                try:
                    servicer.handle(req, context=ctx)
                except NotImplementedError:
                    pass
                try:
                    native_static(req)
                except TypeError:
                    pass

        run(200)
        gc.collect()
        before = (sys.getrefcount(ctx), sys.getrefcount(req), len(gc.get_objects()))
        run(20000)
        gc.collect()
        after = (sys.getrefcount(ctx), sys.getrefcount(req), len(gc.get_objects()))
        assert after[:2] == before[:2]
        # a per-call leak would leave tens of thousands of objects; the margin
        # absorbs threads of other tests still winding down
        assert abs(after[2] - before[2]) < 2000

    def test_bound_methods_and_functions_are_collected(self):
        import brindlow as mod
        servicer = mod.CommonServiceServicer()
        ref = weakref.ref(servicer)
        bound = servicer.handle
        del servicer
        assert ref() is not None
        del bound
        gc.collect()
        assert ref() is None


class TestKeywordOnly:
    """A native function with keyword-only parameters (GrpcServer.__init__)
    against its Python twin: errors, signature, __kwdefaults__, __code__."""

    @staticmethod
    def twin():
        class GrpcServer:
            def __init__(self, host="0.0.0.0", port=6565, max_workers=10,
                         max_message_length=268435456, *, tls=None, token=None,
                         metrics_port=None, max_queued_calls=None, max_queued_bytes=None,
                         request_wait=None):
                pass
        return GrpcServer.__init__

    @staticmethod
    def native():
        from sorvane.corvex import GrpcServer
        return GrpcServer.__init__

    def clean(self, text):
        return text.replace("TestKeywordOnly.twin.<locals>.", "")

    @pytest.mark.parametrize("args,kwargs", [
        ((0, 1, 2, 3, 4, 5), {}),
        ((0, 1, 2, 3, 4, 5), {"token": "x"}),
        ((0, 1, 2, 3, 4, 5, 6), {"tls": 1, "token": "x"}),
        ((0,), {"tls": 1, "bogus": 2}),
        ((0, "h"), {"host": "x"}),
    ])
    def test_errors_match_python(self, args, kwargs):
        assert _error(self.native(), *args, **kwargs) == self.clean(
            _error(self.twin(), *args, **kwargs))

    def test_introspection_matches_python(self):
        native, twin = self.native(), self.twin()
        assert str(inspect.signature(native)) == str(inspect.signature(twin))
        assert native.__defaults__ == twin.__defaults__
        assert native.__kwdefaults__ == twin.__kwdefaults__
        assert native.__kwdefaults__ is not native.__kwdefaults__  # a copy each time
        code = native.__code__
        assert (code.co_argcount, code.co_kwonlyargcount) == (5, 6)
        assert code.co_varnames[:8] == twin.__code__.co_varnames[:8]


class TestCompatibilityHeader:
    """Every version test and every private or version-bound CPython name the
    C++ relies on is in support/compat.hpp; the other sources call its names."""

    SOURCES = os.path.join(REPO, "cpp")
    FOLDERS = ("support", "corvex", "marvetta", "brindlow", "native")
    HEADER = os.path.join("support", "compat.hpp")
    PATTERN = re.compile(r"PY_VERSION_HEX|\b_Py\w+|\bma_version_tag\b|->tp_dict\b|"
                         r"\bPyUnicode_(?:IS_)?READY\b|\bPyEval_InitThreads\b|"
                         r"\bPy_IsFinalizing\b|\bPyType_GetDict\b|\bPyDict_(?:Add)?Watch\w*")
    def scan(self):
        """{(file, code line): names found}, comments left out."""
        found = {}
        for folder in self.FOLDERS:
            for name in sorted(os.listdir(os.path.join(self.SOURCES, folder))):
                if not name.endswith((".cpp", ".hpp", ".h")):
                    continue
                relative = os.path.join(folder, name)
                with open(os.path.join(self.SOURCES, relative), encoding="utf-8") as f:
                    for line in f:
                        code = line.split("//")[0].strip()
                        names = self.PATTERN.findall(code)
                        if names:
                            found[(relative, code)] = set(names)
        return found

    @pytest.mark.skipif(not os.path.isdir(os.path.join(REPO, "cpp", "support")),
                        reason="needs the source tree")
    def test_version_branches_live_in_one_header(self):
        found = self.scan()
        in_header = set().union(*(names for (path, _), names in found.items()
                                  if path == self.HEADER))
        # The scan reads the real sources: the header holds what it is for.
        assert {"PY_VERSION_HEX", "_Py_IsFinalizing", "ma_version_tag",
                "_PyObject_Vectorcall"} <= in_header
        with open(os.path.join(self.SOURCES, self.HEADER), encoding="utf-8") as f:
            header = f.read()
        elsewhere = {key: names for key, names in found.items() if key[0] != self.HEADER}
        assert elsewhere == {}, sorted(elsewhere)
        for name in ("is_finalizing", "init_threads", "type_dict", "take_raised"):
            assert re.search(r"\binline [\w:*& ]+\b%s\(" % name, header), name


class TestArchitecturePage:
    """docs/architecture.md names only files that exist, and each function it
    places in a file is defined there."""

    PAGE = os.path.join(REPO, "docs", "architecture.md")

    @pytest.mark.skipif(not os.path.exists(PAGE), reason="needs the source tree")
    def test_named_files_and_functions_exist(self):
        with open(self.PAGE, encoding="utf-8") as f:
            page = f.read()
        paths = set(re.findall(r"`((?:cpp|src|docs|tests|bench)/[\w./-]*)`", page))
        assert len(paths) >= 20, paths  # the page still maps the parts
        missing = sorted(p for p in paths if not os.path.exists(os.path.join(REPO, p)))
        assert missing == []
        steps = re.findall(r"`(\w+)` \(`([\w./]+)`\)", page)
        assert len(steps) >= 25, steps
        absent = []
        for name, path in steps:
            with open(os.path.join(REPO, path), encoding="utf-8") as f:
                source = f.read()
            # A definition: a C++ function or member, or a Python def or class.
            if not re.search(r"(?:(?:::|[\w>*&] )%s\(|\b(?:def|class) %s\b)"
                             % (re.escape(name), re.escape(name)), source):
                absent.append((name, path))
        assert absent == []
