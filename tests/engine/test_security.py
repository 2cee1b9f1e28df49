"""TLS, mutual TLS and token authentication, on each engine.

Certificates come from a throw-away CA made for the run (tests/support/pki.py). A
call the transport refuses (wrong CA, expired certificate, missing client
certificate) fails with UNAVAILABLE, and one without the right token with
UNAUTHENTICATED; in every refused case the server's clazz handler, the first
thing the dispatcher runs, is never reached.
"""
import argparse
import logging
import os
import shlex
import threading
import time
from concurrent import futures

import grpc
import pytest

import brindlow
import h2frames as h
import marvetta
from conftest import free_port
from sorvane import corvex, engine, security
from sorvane.corvex import GrpcClient, GrpcHelper, GrpcServer, Server
from sorvane.security import ClientTls, ServerTls

pytest.importorskip("cryptography", reason="the TLS tests make their certificates with it")
from pki import Pki  # noqa: E402

HERE = __name__
TOKEN = "s3cret-Token_42"
WAIT = 10


def add(a, b):
    return a + b


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture(params=list(engine.available()))
def kind(request, monkeypatch):
    """The engine of the test's servers and channels."""
    monkeypatch.setattr(corvex, "transport", engine.transport(request.param))
    return request.param


class Served:
    """A GrpcServer on 127.0.0.1 whose clazz handler records what reached it."""

    def __init__(self, **settings):
        self.port = free_port()
        self.reached = []
        self.server = GrpcServer("127.0.0.1", self.port, **settings)
        self.server.set_clazz_handler(self.record)
        self.server.run_background()

    def record(self, clazz):
        self.reached.append(clazz)
        return clazz

    def call(self, **settings):
        entry = Server("s", "127.0.0.1", self.port, **settings)
        with entry as stub:
            return GrpcHelper.call_rpc_result(_Deadline(stub), HERE, "add", [1, 2])

    def stop(self):
        self.server.rpc_server.stop(0).wait(WAIT)


class _Deadline:
    def __init__(self, stub):
        self.stub = stub

    def handle(self, request):
        return self.stub.handle(request, timeout=WAIT)


@pytest.fixture
def served():
    made = []

    def make(**settings):
        made.append(Served(**settings))
        return made[-1]

    yield make
    for s in made:
        s.stop()


def refused(call, code):
    with pytest.raises(grpc.RpcError) as raised:
        call()
    assert raised.value.code() is code, raised.value
    return raised.value


class TestTls:
    def test_tls_round_trip(self, kind, pki, served):
        s = served(tls=ServerTls.from_files(pki.path("server.pem"), pki.path("server.key")))
        assert s.call(tls=ClientTls.from_files(pki.path("ca.pem"))) == 3
        assert s.call(tls=ClientTls.from_files(pki.path("ca.pem"), server_name="localhost")) == 3
        assert s.reached == [HERE, HERE]

    def test_the_name_verified_is_the_override(self, kind, pki, served):
        s = served(tls=ServerTls.from_files(pki.path("server.pem"), pki.path("server.key")))
        refused(lambda: s.call(tls=ClientTls.from_files(pki.path("ca.pem"),
                                                        server_name="elsewhere.example")),
                grpc.StatusCode.UNAVAILABLE)
        assert s.reached == []

    def test_through_the_registry(self, kind, pki, served):
        s = served(tls=ServerTls.from_files(pki.path("server.pem"), pki.path("server.key")),
                   token=TOKEN)
        registry = GrpcClient()
        registry.load([Server("s", "127.0.0.1", s.port, tls=ClientTls.from_files(
            pki.path("ca.pem")), token=TOKEN)])
        stub = _Deadline(registry.connect("s"))
        assert GrpcHelper.call_rpc_result(stub, HERE, "add", [2, 3]) == 5

    def test_wrong_ca_expired_and_plaintext_are_unavailable(self, kind, pki, served):
        good = served(tls=ServerTls.from_files(pki.path("server.pem"), pki.path("server.key")))
        refused(lambda: good.call(tls=ClientTls.from_files(pki.path("other-ca.pem"))),
                grpc.StatusCode.UNAVAILABLE)
        refused(lambda: good.call(), grpc.StatusCode.UNAVAILABLE)
        expired = served(tls=ServerTls.from_files(pki.path("expired.pem"), pki.path("expired.key")))
        refused(lambda: expired.call(tls=ClientTls.from_files(pki.path("ca.pem"))),
                grpc.StatusCode.UNAVAILABLE)
        assert good.reached == [] and expired.reached == []

    def test_mutual_tls(self, kind, pki, served):
        s = served(tls=ServerTls.from_files(pki.path("server.pem"), pki.path("server.key"),
                                            pki.path("ca.pem")))
        with_cert = ClientTls.from_files(pki.path("ca.pem"), pki.path("client.pem"),
                                         pki.path("client.key"))
        assert s.call(tls=with_cert) == 3
        refused(lambda: s.call(tls=ClientTls.from_files(pki.path("ca.pem"))),
                grpc.StatusCode.UNAVAILABLE)
        stranger = ClientTls.from_files(pki.path("ca.pem"), pki.path("other-client.pem"),
                                        pki.path("other-client.key"))
        refused(lambda: s.call(tls=stranger), grpc.StatusCode.UNAVAILABLE)
        assert s.reached == [HERE]


class TestToken:
    def test_right_wrong_and_missing(self, kind, served):
        s = served(token=TOKEN)
        assert s.call(token=TOKEN) == 3
        error = refused(lambda: s.call(token=TOKEN + "x"), grpc.StatusCode.UNAUTHENTICATED)
        assert error.details() == security.UNAUTHENTICATED_DETAILS
        refused(lambda: s.call(), grpc.StatusCode.UNAUTHENTICATED)
        assert s.reached == [HERE]

    def test_a_server_without_a_token_ignores_one(self, kind, served):
        assert served().call(token=TOKEN) == 3

    def test_the_token_shows_nowhere(self, kind, served, caplog):
        s = served(token=TOKEN)
        entry = Server("s", "127.0.0.1", s.port, token=TOKEN)
        with caplog.at_level(logging.DEBUG):
            assert s.call(token=TOKEN) == 3
            error = refused(lambda: s.call(token="wrong-" + TOKEN), grpc.StatusCode.UNAUTHENTICATED)
        shown = [repr(entry), repr(entry.channel), repr(s.server.rpc_server), str(error),
                 repr(error), caplog.text]
        entry.channel.close()
        assert not [text for text in shown if TOKEN in text]

    def test_refused_from_the_headers_holding_no_worker(self, kind, served):
        s = served(token=TOKEN, max_workers=2)
        with h.Client(s.port) as raw:
            # No token and no message: each is answered all the same, at once.
            ids = [raw.new_id() for _ in range(12)]
            for stream_id in ids:
                raw.send(h.headers_frames(stream_id, h.request_headers(
                    "/common.CommonService/handle")))
            assert raw.wait(lambda: all(raw.stream(i).ended for i in ids), WAIT)
            assert [raw.stream(i).grpc_status for i in ids] == [16] * 12
            assert raw.stream(ids[0]).header("grpc-message") == security.UNAUTHENTICATED_DETAILS
            assert s.call(token=TOKEN) == 3
        assert s.reached == [HERE]

    def test_every_way_of_registering_is_behind_the_token(self, kind):
        transport = engine.transport(kind)
        server = transport.server(futures.ThreadPoolExecutor(2))
        checked = security.TokenCheckedServer(server, TOKEN)
        echo = grpc.unary_unary_rpc_method_handler(lambda request, context: request)
        checked.add_registered_method_handlers("t.Registered", {"echo": echo})
        checked.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            "t.Generic", {"echo": echo}),))
        for name in ("_state", "add_http2_port", "register_method", "add_handlers"):
            with pytest.raises(AttributeError, match="add_generic_rpc_handlers"):
                getattr(checked, name)
        port = checked.add_insecure_port("127.0.0.1:0")
        checked.start()
        channel = transport.insecure_channel("127.0.0.1:%d" % port)
        try:
            for method in ("/t.Registered/echo", "/t.Generic/echo"):
                call = channel.unary_unary(method)
                refused(lambda: call(b"hi", timeout=WAIT), grpc.StatusCode.UNAUTHENTICATED)
                assert call(b"hi", timeout=WAIT, metadata=security.bearer(TOKEN)) == b"hi"
        finally:
            channel.close()
            checked.stop(0).wait(WAIT)

    def test_tokens_are_checked_when_given(self):
        for bad in ("", "with space", "tab\there", "é", "x" * 4097):
            with pytest.raises(ValueError):
                Server("s", "127.0.0.1", 1, token=bad)
            with pytest.raises(ValueError):
                GrpcServer("127.0.0.1", 1, token=bad)


class TestSettings:
    def test_defaults_keep_the_documented_shape(self):
        assert list(vars(Server("s", "h", 1))) == ["server", "host", "port", "addr", "_channel"]
        assert list(vars(GrpcServer())) == ["address", "max_workers", "service", "rpc_server",
                                            "max_message_length"]
        assert str(__import__("inspect").signature(GrpcServer)) == (
            "(host='0.0.0.0', port=6565, max_workers=10, max_message_length=268435456, *, "
            "tls=None, token=None, metrics_port=None, max_queued_calls=None, "
            "max_queued_bytes=None, request_wait=None)")

    def test_copy_keeps_tls_and_token(self, pki):
        tls = ClientTls.from_files(pki.path("ca.pem"))
        copy = Server("s", "h", 1, tls=tls, token=TOKEN).copy()
        assert (copy.tls, copy.token, copy._channel) == (tls, TOKEN, None)

    def test_keyword_only(self, pki):
        with pytest.raises(TypeError, match="positional"):
            Server("s", "h", 1, ClientTls.from_files(pki.path("ca.pem")))
        with pytest.raises(TypeError, match="ServerTls"):
            GrpcServer(tls=ClientTls.from_files(pki.path("ca.pem")))

    def test_bad_material_is_a_clear_error(self, pki, tmp_path):
        with pytest.raises(ValueError, match="cannot read the certificate file"):
            ServerTls.from_files(str(tmp_path / "missing.pem"), pki.path("server.key"))
        with pytest.raises(ValueError, match="do not load together"):
            ServerTls.from_files(pki.path("server.pem"), pki.path("client.key"))
        (tmp_path / "junk.pem").write_bytes(b"not a certificate")
        with pytest.raises(ValueError, match="not PEM"):
            ClientTls.from_files(str(tmp_path / "junk.pem"))
        with pytest.raises(ValueError, match="needs its private key"):
            ClientTls(pki.read("ca.pem"), cert_chain=pki.read("client.pem"))
        assert "BEGIN" not in repr(ServerTls.from_files(pki.path("server.pem"),
                                                        pki.path("server.key")))


class TestCommandLine:
    def namespace(self, **values):
        defaults = dict(host="127.0.0.1", tls_cert=None, tls_key=None, tls_client_ca=None,
                        token_file=None, insecure=False)
        defaults.update(values)
        return argparse.Namespace(**defaults)

    def test_beyond_loopback_needs_tls_or_a_token(self, monkeypatch, tmp_path, pki):
        from sorvane import cli
        monkeypatch.delenv("SORVANE_TOKEN", raising=False)
        for host in ("127.0.0.1", "localhost", "::1", "127.1.2.3"):
            assert cli.server_security(self.namespace(host=host)) == {}
        with pytest.raises(cli.UsageError, match="--insecure"):
            cli.server_security(self.namespace(host="0.0.0.0"))
        assert cli.server_security(self.namespace(host="0.0.0.0", insecure=True)) == {}
        (tmp_path / "token").write_text(TOKEN + "\n")
        assert cli.server_security(self.namespace(host="0.0.0.0", token_file=str(
            tmp_path / "token"))) == {"token": TOKEN}
        monkeypatch.setenv("SORVANE_TOKEN", TOKEN)
        assert cli.server_security(self.namespace(host="10.1.2.3")) == {"token": TOKEN}
        with pytest.raises(cli.UsageError, match="go together"):
            cli.server_security(self.namespace(tls_cert=pki.path("server.pem")))

    @pytest.mark.parametrize("host", ["0.0.0.0", "10.1.2.3", "::", "[2001:db8::1]",
                                      "calc.example"])
    def test_a_token_in_clear_beyond_loopback_is_warned_of(self, pki, host):
        from sorvane import cli
        warnings = cli.serve_warnings(host, {"token": TOKEN})
        assert len(warnings) == 1, warnings
        assert "clear text" in warnings[0] and host in warnings[0] and "--tls-cert" in warnings[0]
        assert TOKEN not in warnings[0] and "\n" not in warnings[0]
        tls = ServerTls.from_files(pki.path("server.pem"), pki.path("server.key"))
        assert cli.serve_warnings(host, {"token": TOKEN, "tls": tls}) == []
        assert cli.serve_warnings(host, {}) == []  # --insecure: said when it was allowed

    @pytest.mark.parametrize("host", ["127.0.0.1", "localhost", "::1", "[::1]", "127.1.2.3"])
    def test_a_token_on_loopback_is_not_warned_of(self, host):
        from sorvane import cli
        assert cli.serve_warnings(host, {"token": TOKEN}) == []

    @pytest.mark.skipif(os.name != "posix", reason="POSIX file modes")
    def test_token_and_key_files_open_to_others_are_warned_of(self, tmp_path):
        from sorvane import cli
        token, key = tmp_path / "the token", tmp_path / "server.key"
        token.write_text(TOKEN)
        key.write_text("not shown")
        for mode, warned in ((0o600, False), (0o400, False), (0o640, True), (0o644, True),
                             (0o604, True), (0o620, True), (0o602, True)):
            os.chmod(str(token), mode)
            os.chmod(str(key), mode)
            warnings = cli.serve_warnings("127.0.0.1", {"token": TOKEN}, str(token), str(key))
            if not warned:
                assert warnings == [], oct(mode)
                continue
            assert len(warnings) == 2, (oct(mode), warnings)
            for warning, what, path in zip(warnings, ("token file", "TLS key file"), (token, key)):
                assert warning.startswith("the %s %s " % (what, path)), warning
                assert "(mode %04o)" % mode in warning
                assert warning.endswith("chmod 600 " + shlex.quote(str(path)))
            assert TOKEN not in " ".join(warnings)
        assert cli.serve_warnings("127.0.0.1", {}, str(tmp_path / "gone"), None) == []

    def test_serve_and_call_with_tls_and_a_token(self, tmp_path, pki, port):
        from processes import ServeProcess, run_cli, write_targets
        (tmp_path / "token").write_text(TOKEN)
        server = ServeProcess([write_targets(tmp_path), "--port", str(port),
                               "--tls-cert", pki.path("server.pem"),
                               "--tls-key", pki.path("server.key"),
                               "--token-file", str(tmp_path / "token")], tmp_path)
        try:
            address = server.wait_started()[0]
            server.wait_for("security: TLS and token")
            ok = run_cli(["call", address, "targets:add", "1", "2", "--tls-ca",
                          pki.path("ca.pem"), "--token-file", str(tmp_path / "token")], tmp_path)
            assert (ok.returncode, ok.stdout) == (0, "3\n"), ok.stderr
            no_token = run_cli(["call", address, "targets:add", "1", "2", "--tls-ca",
                                pki.path("ca.pem"), "--timeout", "10"], tmp_path)
            assert no_token.returncode == 3 and "UNAUTHENTICATED" in no_token.stderr
            assert TOKEN not in server.output + ok.stderr + no_token.stderr
        finally:
            assert server.stop(timeout=30) == 0, server.output

    @pytest.mark.system
    def test_requests_without_the_token_are_not_kept(self, tmp_path, port):
        """Large requests without the token leave the server's memory as it
        was, whatever its message size limit: none of them is read."""
        from processes import ServeProcess, rss, write_targets
        (tmp_path / "token").write_text(TOKEN)
        server = ServeProcess([write_targets(tmp_path), "--port", str(port),
                               "--token-file", str(tmp_path / "token")], tmp_path)
        try:
            address = server.wait_started()[0]
            channel = grpc.insecure_channel(address, options=[
                ("grpc.max_send_message_length", -1)])
            stub = brindlow.CommonServiceStub(channel)
            big = marvetta.CommonRequest(request_id="r", request=b"x" * (16 << 20), serialize=3)
            codes, peak = [], [0]
            base = rss(server.proc.pid)

            def send():
                try:
                    stub.handle(big, timeout=30)
                except grpc.RpcError as e:
                    codes.append(e.code())

            senders = [threading.Thread(target=send) for _ in range(12)]
            for t in senders:
                t.start()
            while any(t.is_alive() for t in senders):
                peak[0] = max(peak[0], rss(server.proc.pid))
                time.sleep(0.02)
            channel.close()
            assert codes == [grpc.StatusCode.UNAUTHENTICATED] * 12
            assert peak[0] - base < 40 << 20, (base, peak)  # 192 MiB were sent
        finally:
            assert server.stop(timeout=30) == 0, server.output

    def test_a_bad_certificate_stops_serve_before_it_listens(self, tmp_path, pki, port):
        from processes import run_cli, write_targets
        done = run_cli(["serve", write_targets(tmp_path), "--port", str(port),
                        "--tls-cert", pki.path("server.pem"), "--tls-key",
                        pki.path("client.key")], tmp_path)
        assert done.returncode == 2
        assert "do not load together" in done.stderr and "grpc server running" not in done.stderr
