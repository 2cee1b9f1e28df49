"""One server's admission state (:class:`_Gate`): the calls it holds, the
request bytes waiting for a worker and the workers; each admitted call's
:class:`_Ticket`, and :func:`step_aside` for a call that waits elsewhere."""
import threading
from typing import Any, Optional

import grpc

# MAX_AWAITING is read from the package at each use: that is where it is
# documented, and where an application (or a test) sets it.
from sorvane import admission as _package, memory
from sorvane.admission.settings import Limits
from sorvane.admission.waiting import _Slots

# Calls of the priority methods held at once (they need no more: health
# checks are small and quick).
_PRIORITY_HELD = 8


class _Ticket:
    """What one admitted call holds: its place among the calls held, request
    bytes waiting for a worker, a worker."""

    __slots__ = ("gate", "priority", "bytes", "size", "worker", "awaiting")

    def __init__(self, gate: "_Gate", priority: bool) -> None:
        self.gate = gate
        self.priority = priority
        self.bytes = 0      # counted as waiting for a worker
        self.size = 0       # of its request message
        self.worker = False
        self.awaiting = False  # counted among the awaiting calls, not the held ones


_current = threading.local()


class _Gate:
    """One server's admission state, shared by its executor and behaviours."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._lock = threading.Lock()
        self.calls = 0       # admitted, not finished (priority methods apart)
        self.priority_calls = 0
        self.awaiting = 0    # calls that stepped aside (not among `calls`)
        self.bytes = 0       # request bytes waiting for a worker
        self._workers = _Slots(limits.workers)
        self._priority = _Slots(1)

    def admit(self, priority: bool) -> Optional[_Ticket]:
        """A ticket for a new call, or None when it is past the bound."""
        with self._lock:
            if priority:
                if self.priority_calls >= _PRIORITY_HELD:
                    return None
                self.priority_calls += 1
            else:
                if self.limits.max_calls is not None and self.calls >= self.limits.max_calls:
                    return None
                self.calls += 1
        return _Ticket(self, priority)

    def waiting(self) -> bool:
        """True while request bytes wait for a worker."""
        return self.bytes > 0

    def bytes_full(self) -> bool:
        limit = self.limits.max_bytes
        return limit is not None and self.bytes >= limit

    def hold_bytes(self, ticket: _Ticket, size: int) -> bool:
        ticket.size = size
        if ticket.priority:
            return True
        with self._lock:
            limit = self.limits.max_bytes
            if limit is not None and self.bytes + size > limit:
                return False
            self.bytes += size
            ticket.bytes = size
        return True

    def _let_go_bytes(self, ticket: _Ticket) -> None:
        size, ticket.bytes = ticket.bytes, 0
        if size:
            with self._lock:
                self.bytes -= size

    def wait_for_worker(self, ticket: _Ticket, context: Any) -> None:
        slots = self._priority if ticket.priority else self._workers
        if not slots.acquire(context):
            self._let_go_bytes(ticket)
            context.abort(grpc.StatusCode.CANCELLED, "cancelled")
        ticket.worker = True
        self._let_go_bytes(ticket)

    def finished(self, ticket: _Ticket) -> None:
        self._let_go_bytes(ticket)
        memory.request_done(ticket.size, self.waiting)
        if ticket.worker:
            ticket.worker = False
            (self._priority if ticket.priority else self._workers).release()
        with self._lock:
            if ticket.priority:
                self.priority_calls -= 1
            elif ticket.awaiting:
                ticket.awaiting = False
                self.awaiting -= 1
            else:
                self.calls -= 1

    def release_worker(self, ticket: _Ticket) -> None:
        if ticket.worker:
            ticket.worker = False
            (self._priority if ticket.priority else self._workers).release()

    def step_aside(self, ticket: _Ticket) -> None:
        self.release_worker(ticket)
        if ticket.priority or ticket.awaiting:
            return
        with self._lock:
            # Read from the package, where the bound is documented and may be set.
            if self.awaiting < _package.MAX_AWAITING:
                self.awaiting += 1
                self.calls -= 1
                ticket.awaiting = True


def step_aside() -> None:
    """The call on this thread now waits for work done elsewhere (a coroutine
    target on an event loop): its worker slot goes to the next call waiting
    for one, and while fewer than :data:`MAX_AWAITING` calls wait so, its
    place among the calls the server holds goes to the next call too."""
    ticket = getattr(_current, "ticket", None)
    if ticket is not None:
        ticket.gate.step_aside(ticket)
