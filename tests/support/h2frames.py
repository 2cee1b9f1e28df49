"""HTTP/2 frames by hand, for tests that must send what no gRPC library would.

The writer builds any frame byte by byte: header blocks are HPACK literals
without indexing and without Huffman coding, so a header may be oversized,
malformed or in any order. `Client` speaks as a gRPC client on one socket and
collects what the server answers per stream (responses decoded with the
`hpack` package); `RawServer` answers gRPC requests with whatever frames a
test scripts, for checking how clients read odd servers.
"""
import socket
import struct
import threading
import time

import hpack

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"

DATA, HEADERS, PRIORITY, RST_STREAM, SETTINGS, PUSH_PROMISE, PING, GOAWAY, \
    WINDOW_UPDATE, CONTINUATION = range(10)
END_STREAM = ACK = 0x1
END_HEADERS = 0x4
PADDED = 0x8
PRIORITY_FLAG = 0x20

NO_ERROR, PROTOCOL_ERROR, INTERNAL_ERROR, FLOW_CONTROL_ERROR, SETTINGS_TIMEOUT, \
    STREAM_CLOSED, FRAME_SIZE_ERROR, REFUSED_STREAM, CANCEL, COMPRESSION_ERROR, \
    CONNECT_ERROR, ENHANCE_YOUR_CALM, INADEQUATE_SECURITY, HTTP_1_1_REQUIRED = range(14)

SETTINGS_INITIAL_WINDOW_SIZE = 0x4
SETTINGS_MAX_FRAME_SIZE = 0x5
MAX_FRAME = 16384
BIG_WINDOW = 2 ** 31 - 1 - 65535  # what a reader adds to never stall a sender


# ---- writing ------------------------------------------------------------------

def frame(kind, flags, stream_id, payload=b"", length=None):
    """One frame; `length` overrides the header's length field (for lying frames)."""
    size = len(payload) if length is None else length
    return struct.pack(">I", size)[1:] + struct.pack(">BBI", kind, flags,
                                                     stream_id & 0xFFFFFFFF) + payload


def hpack_int(value, prefix_bits, first=0):
    """An HPACK integer with an N-bit prefix; `first` holds the bits above it."""
    limit = (1 << prefix_bits) - 1
    if value < limit:
        return bytes([first | value])
    out = [first | limit]
    value -= limit
    while value >= 128:
        out.append(value % 128 + 128)
        value //= 128
    out.append(value)
    return bytes(out)


def to_bytes(text):
    return text if isinstance(text, bytes) else text.encode("utf-8")


def literal(name, value):
    """One header as a literal without indexing, new name, no Huffman coding."""
    name, value = to_bytes(name), to_bytes(value)
    return (b"\x00" + hpack_int(len(name), 7) + name + hpack_int(len(value), 7) + value)


def header_block(headers):
    return b"".join(literal(n, v) for n, v in headers)


def padded(payload, padding):
    return bytes([padding]) + payload + b"\x00" * padding


def headers_frames(stream_id, headers, end_stream=False, split=MAX_FRAME, padding=None,
                   end_headers=True):
    """HEADERS (+ CONTINUATION frames of at most `split` bytes) for a header list
    or an already encoded block; `padding` pads the HEADERS frame."""
    block = headers if isinstance(headers, bytes) else header_block(headers)
    chunks = [block[i:i + split] for i in range(0, len(block), split)] or [b""]
    flags = END_STREAM if end_stream else 0
    first = chunks[0]
    if padding is not None:
        first, flags = padded(first, padding), flags | PADDED
    last = len(chunks) == 1
    out = [frame(HEADERS, flags | (END_HEADERS if last and end_headers else 0), stream_id, first)]
    for i, chunk in enumerate(chunks[1:], 2):
        last = i == len(chunks)
        out.append(frame(CONTINUATION, END_HEADERS if last and end_headers else 0, stream_id,
                         chunk))
    return b"".join(out)


def grpc_message(body, compressed=False, length=None):
    """A gRPC length-prefixed message; `length` overrides the announced length."""
    body = to_bytes(body)
    return struct.pack(">BI", 1 if compressed else 0,
                       len(body) if length is None else length) + body


def data_frames(stream_id, payload, end_stream=False, split=MAX_FRAME, padding=None):
    """DATA frames of at most `split` bytes carrying `payload` (already framed
    as gRPC messages, any number of them, cut anywhere)."""
    chunks = [payload[i:i + split] for i in range(0, len(payload), split)] or [b""]
    out = []
    for i, chunk in enumerate(chunks, 1):
        flags = END_STREAM if end_stream and i == len(chunks) else 0
        if padding is not None:
            chunk, flags = padded(chunk, padding), flags | PADDED
        out.append(frame(DATA, flags, stream_id, chunk))
    return b"".join(out)


def settings(pairs=(), ack=False):
    return frame(SETTINGS, ACK if ack else 0, 0,
                 b"".join(struct.pack(">HI", k, v) for k, v in pairs))


def rst_stream(stream_id, code=CANCEL):
    return frame(RST_STREAM, 0, stream_id, struct.pack(">I", code))


def ping(data=b"12345678", ack=False):
    return frame(PING, ACK if ack else 0, 0, data)


def window_update(stream_id, increment):
    return frame(WINDOW_UPDATE, 0, stream_id, struct.pack(">I", increment))


def goaway(last_stream_id, code=NO_ERROR, debug=b""):
    return frame(GOAWAY, 0, 0, struct.pack(">II", last_stream_id, code) + debug)


def request_headers(path, authority="localhost", extra=(), timeout=None):
    """A gRPC request's header list, pseudo-headers first as HTTP/2 demands."""
    headers = [(":method", "POST"), (":scheme", "http"), (":path", path),
               (":authority", authority), ("content-type", "application/grpc"),
               ("te", "trailers")]
    if timeout is not None:
        headers.append(("grpc-timeout", timeout))
    return headers + list(extra)


def request(stream_id, path, message=b"", extra=(), timeout=None):
    """A whole unary request: HEADERS and one DATA frame ending the stream."""
    return (headers_frames(stream_id, request_headers(path, extra=extra, timeout=timeout))
            + data_frames(stream_id, grpc_message(message), end_stream=True))


# ---- reading ------------------------------------------------------------------

class Frame:
    __slots__ = ("kind", "flags", "stream_id", "payload")

    def __init__(self, kind, flags, stream_id, payload):
        self.kind, self.flags, self.stream_id, self.payload = kind, flags, stream_id, payload

    def __repr__(self):
        return "Frame(%d, 0x%x, %d, %r)" % (self.kind, self.flags, self.stream_id,
                                            self.payload[:40])

    def content(self):
        """The payload less padding and priority fields (DATA and HEADERS)."""
        body, start, end = self.payload, 0, len(self.payload)
        if self.kind in (DATA, HEADERS) and self.flags & PADDED:
            start, end = 1, end - body[0]
        if self.kind == HEADERS and self.flags & PRIORITY_FLAG:
            start += 5
        return body[start:end]


class Reader:
    """Splits bytes from a socket into frames."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.eof = False

    def read_frame(self, timeout):
        """The next frame, or None at end of stream or when `timeout` passed."""
        deadline = time.monotonic() + timeout
        while len(self.buffer) < 9 or len(self.buffer) < 9 + int.from_bytes(self.buffer[:3],
                                                                           "big"):
            left = deadline - time.monotonic()
            if self.eof or left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            except OSError:  # reset by the peer counts as its end
                chunk = b""
            if not chunk:
                self.eof = True
                return None
            self.buffer += chunk
        size = int.from_bytes(self.buffer[:3], "big")
        kind, flags, stream_id = struct.unpack(">BBI", self.buffer[3:9])
        payload, self.buffer = self.buffer[9:9 + size], self.buffer[9 + size:]
        return Frame(kind, flags, stream_id & 0x7FFFFFFF, payload)


def messages_of(data):
    """The gRPC messages in a stream's DATA bytes (a torn tail is left out)."""
    out = []
    while len(data) >= 5:
        size = int.from_bytes(data[1:5], "big")
        if len(data) < 5 + size:
            break
        out.append(data[5:5 + size])
        data = data[5 + size:]
    return out


class Stream:
    """What one stream received: header lists, DATA bytes, its end."""

    def __init__(self):
        self.headers = []     # one list of (name, value) pairs per header block
        self.data = b""
        self.reset = None     # the RST_STREAM error code, if reset
        self.ended = False    # END_STREAM seen, or reset

    def header(self, name, block=None):
        """The value of `name` in the last block that has it (or block number `block`)."""
        blocks = self.headers if block is None else [self.headers[block]]
        for block_items in reversed(blocks):
            for n, v in block_items:
                if n == name:
                    return v
        return None

    @property
    def status(self):
        value = self.header(":status")
        return None if value is None else int(value)

    @property
    def grpc_status(self):
        value = self.header("grpc-status")
        return None if value is None else int(value)

    @property
    def messages(self):
        return messages_of(self.data)


class Client:
    """A client connection on 127.0.0.1:port that writes raw frames and
    collects the server's answers per stream, acknowledging SETTINGS and
    PING and opening flow control wide so a large answer never stalls."""

    def __init__(self, port, preface=True, host="127.0.0.1", timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.reader = Reader(self.sock)
        self.decoder = hpack.Decoder()
        self.decoder.max_header_list_size = 1 << 24
        self.streams = {}
        self.goaway = None    # (last stream id, error code) once received
        self.closed = False
        self.next_id = 1
        self._block = None    # (stream id, bytes) of a header block awaiting CONTINUATION
        if preface:
            self.send(PREFACE + settings([(SETTINGS_INITIAL_WINDOW_SIZE, 2 ** 31 - 1)])
                      + window_update(0, BIG_WINDOW))

    def send(self, data):
        """Writes `data`; False when the server has already closed the connection."""
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            return False

    def new_id(self):
        stream_id, self.next_id = self.next_id, self.next_id + 2
        return stream_id

    def call(self, path, message=b"", extra=(), timeout=None):
        """Sends one unary request on a new stream; returns its id."""
        stream_id = self.new_id()
        self.send(request(stream_id, path, message, extra, timeout))
        return stream_id

    def stream(self, stream_id):
        return self.streams.setdefault(stream_id, Stream())

    def pump(self, timeout):
        """Handles one frame; False when none came within `timeout` or the connection ended."""
        f = self.reader.read_frame(timeout)
        if f is None:
            self.closed = self.reader.eof
            return False
        if f.kind == SETTINGS and not f.flags & ACK:
            self.send(settings(ack=True))
        elif f.kind == PING and not f.flags & ACK:
            self.send(ping(f.payload, ack=True))
        elif f.kind == GOAWAY:
            self.goaway = struct.unpack(">II", f.payload[:8])
            self.goaway = (self.goaway[0] & 0x7FFFFFFF, self.goaway[1])
        elif f.kind in (HEADERS, CONTINUATION):
            start = f.content() if f.kind == HEADERS else f.payload
            self._block = (f.stream_id, (self._block[1] if f.kind == CONTINUATION and self._block
                                         else b"") + start)
            if f.flags & END_HEADERS:
                stream = self.stream(f.stream_id)
                stream.headers.append([(n, v) for n, v in self.decoder.decode(self._block[1])])
                self._block = None
            if f.kind == HEADERS and f.flags & END_STREAM:
                self.stream(f.stream_id).ended = True
        elif f.kind == DATA:
            stream = self.stream(f.stream_id)
            stream.data += f.content()
            stream.ended = stream.ended or bool(f.flags & END_STREAM)
            if f.payload:
                self.send(window_update(0, len(f.payload)))
        elif f.kind == RST_STREAM:
            stream = self.stream(f.stream_id)
            stream.reset, stream.ended = struct.unpack(">I", f.payload[:4])[0], True
        return True

    def wait(self, condition, timeout=10):
        """Reads frames until `condition()` holds, the connection ends or time
        runs out; returns condition()."""
        deadline = time.monotonic() + timeout
        while not condition():
            left = deadline - time.monotonic()
            if left <= 0 or not self.pump(left):
                if self.closed or left <= 0:
                    break
        return condition()

    def finish(self, stream_id, timeout=10):
        """Waits for the stream's end; returns its Stream."""
        self.wait(lambda: self.stream(stream_id).ended, timeout)
        return self.stream(stream_id)

    def wait_closed(self, timeout):
        """Reads until the server closes the connection; True when it did."""
        deadline = time.monotonic() + timeout
        while not self.closed and time.monotonic() < deadline:
            self.pump(deadline - time.monotonic())
        return self.closed

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- a scripted server ----------------------------------------------------------

def response_headers(extra=(), status="200"):
    return [(":status", status), ("content-type", "application/grpc")] + list(extra)


def reply_frames(stream_id, messages=(), code=0, message=None, trailers=(), split=MAX_FRAME):
    """A normal gRPC response: headers, messages, then trailers with the status."""
    body = b"".join(grpc_message(m) for m in messages)
    tail = [("grpc-status", str(code))] + ([("grpc-message", message)] if message else [])
    return (headers_frames(stream_id, response_headers())
            + (data_frames(stream_id, body, split=split) if body else b"")
            + headers_frames(stream_id, tail + list(trailers), end_stream=True))


class RawServer:
    """Listens on 127.0.0.1 and answers each request with what `respond(stream_id,
    headers, body)` returns (bytes of frames); runs until stop()."""

    def __init__(self, respond):
        self.respond = respond
        self.requests = []          # (headers dict, body) of every request seen
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.address = "127.0.0.1:%d" % self.port
        self.stopping = False
        self.connections = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        reader, decoder = Reader(conn), hpack.Decoder()
        pending, block = {}, None
        try:
            conn.settimeout(10)
            got = b""
            while len(got) < len(PREFACE):
                chunk = conn.recv(len(PREFACE) - len(got))
                if not chunk:
                    return
                got += chunk
            conn.sendall(settings([(SETTINGS_INITIAL_WINDOW_SIZE, 2 ** 31 - 1)])
                         + window_update(0, BIG_WINDOW))
            while not self.stopping:
                f = reader.read_frame(0.5)
                if f is None:
                    if reader.eof:
                        return
                    continue
                if f.kind == SETTINGS and not f.flags & ACK:
                    conn.sendall(settings(ack=True))
                elif f.kind == PING and not f.flags & ACK:
                    conn.sendall(ping(f.payload, ack=True))
                elif f.kind == GOAWAY:
                    return
                elif f.kind in (HEADERS, CONTINUATION):
                    part = f.content() if f.kind == HEADERS else f.payload
                    block = (block or b"") + part
                    if f.flags & END_HEADERS:
                        pending[f.stream_id] = [dict(decoder.decode(block)), b""]
                        block = None
                    if f.kind == HEADERS and f.flags & END_STREAM:
                        self._answer(conn, f.stream_id, pending.pop(f.stream_id))
                elif f.kind == DATA and f.stream_id in pending:
                    pending[f.stream_id][1] += f.content()
                    if f.payload:
                        conn.sendall(window_update(0, len(f.payload))
                                     + window_update(f.stream_id, len(f.payload)))
                    if f.flags & END_STREAM:
                        self._answer(conn, f.stream_id, pending.pop(f.stream_id))
                elif f.kind == RST_STREAM:
                    pending.pop(f.stream_id, None)
        except OSError:
            return
        finally:
            conn.close()

    def _answer(self, conn, stream_id, request_seen):
        headers, body = request_seen
        self.requests.append((headers, body))
        conn.sendall(self.respond(stream_id, headers, body))

    def stop(self):
        self.stopping = True
        self.listener.close()
        for conn in self.connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
