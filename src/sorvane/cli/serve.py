"""``serve`` in one process: the modules imported, exposed (through the
exposure guard when installed) and served until a signal asks to stop.
Several processes on one port are :mod:`sorvane.cli.supervisor`'s."""

import argparse
import importlib
import importlib.util
import logging
import sys
from typing import Any, Callable, Dict, Sequence

from sorvane.cli.security import describe_security, serve_warnings, server_security
from sorvane.cli.status import (EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, UsageError, _fail,
                                _warn)
from sorvane.cli.supervisor import (STOP_GRACE, _exit_soon, _serve_processes, _StopRequest,
                                    _watch_parent)

LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s [%(process)d] %(message)s"

# Every part of the command line logs under one name.
log = logging.getLogger("sorvane.cli")


def _configure_logging(level: str) -> None:
    logging.basicConfig(level=getattr(logging, level), format=LOG_FORMAT, stream=sys.stderr)


def only_modules(modules: Sequence[str]) -> Callable[[Any], str]:
    """A clazz handler that lets calls name the given modules and no other."""
    allowed = frozenset(modules)

    def clazz_handler(clazz: Any) -> str:
        if isinstance(clazz, str) and clazz in allowed:
            return clazz
        raise LookupError("module %r is not served here" % (clazz,))

    return clazz_handler


def have_guard() -> bool:
    """Whether this installation has the exposure guard, ``sorvane.guard``."""
    return importlib.util.find_spec("sorvane.guard") is not None


def expose(server: Any, modules: Sequence[str]) -> None:
    """Lets calls reach the listed modules only, through the guard if there is one."""
    if have_guard():
        from sorvane.guard import guard

        guard(server, list(modules))
    else:
        server.set_clazz_handler(only_modules(modules))


def serve_command(ns: argparse.Namespace) -> int:
    # TLS files, the token and the address are checked before anything listens.
    settings = server_security(ns)
    if ns.metrics_port is not None:
        if ns.processes > 1:
            raise UsageError("--metrics-port serves one process's metrics: use it with "
                             "--processes 1")
        if importlib.util.find_spec("prometheus_client") is None:
            raise UsageError("--metrics-port needs the prometheus_client package: "
                             "pip install sorvane[metrics]")
        settings["metrics_port"] = ns.metrics_port
    if ns.parent_pid is None:  # a multi-process parent has warned for its children
        for warning in serve_warnings(ns.host, settings, ns.token_file, ns.tls_key):
            _warn(warning)
    _configure_logging(ns.log_level)
    if ns.processes > 1:
        return _serve_processes(ns)
    return _serve_one(ns, settings)


def _serve_one(ns: argparse.Namespace, settings: Dict[str, Any]) -> int:
    stop = _StopRequest()
    stop.install()
    server = None  # type: Any
    try:
        for name in ns.modules:
            try:
                importlib.import_module(name)
            except Exception as e:
                _fail("error: cannot import module %r: %s: %s" % (name, type(e).__name__, e))
                return EXIT_ERROR
        from sorvane.corvex import GrpcServer

        server = GrpcServer(ns.host, ns.port, ns.workers, ns.max_message_length,
                            max_queued_calls=ns.max_queued_calls,
                            max_queued_bytes=ns.max_queued_bytes,
                            request_wait=ns.request_wait, **settings)
        try:
            expose(server, ns.modules)
        except (TypeError, ValueError) as e:
            _fail("error: cannot expose %s: %s" % (" ".join(ns.modules), e))
            return EXIT_ERROR
        if stop.signal_name is not None:
            log.info("%s: stopped before serving", stop.signal_name)
            return EXIT_OK
        try:
            server.run_background()
        except Exception as e:
            _fail("error: cannot serve on %s: %s: %s" % (server.address, type(e).__name__, e))
            return EXIT_ERROR
        from sorvane import engine

        log.info("transport engine: %s; security: %s", engine.current(),
                 describe_security(ns, settings))
        metrics = getattr(getattr(server, "ops", None), "metrics", None)
        if metrics is not None:
            log.info("metrics on %s", metrics.url)
        if ns.parent_pid is not None:
            _watch_parent(ns.parent_pid)
        stop.wait()
        log.info("%s: stopping, calls in flight get %gs", stop.signal_name, STOP_GRACE)
        server.rpc_server.stop(STOP_GRACE).wait()
        log.info("stopped")
        status = EXIT_OK
    except KeyboardInterrupt:
        # A second Ctrl-C: calls in flight get no more time.
        if server is None or server.rpc_server is None:
            return EXIT_INTERRUPTED
        server.rpc_server.stop(0)
        status = EXIT_INTERRUPTED
    finally:
        stop.close()
    _exit_soon(status)
    return status
