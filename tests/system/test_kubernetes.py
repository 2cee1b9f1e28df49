"""The Kubernetes recipe of deploy/kubernetes/: its objects read back and
checked against each other and against serve's command line, and the
manifest's own serve command run on 127.0.0.1 (with its host and port
swapped) to answer the probes and to drain within the pod's grace period.
No cluster: what only a cluster can tell (DNS, the kubelet) is not checked."""

import contextlib
import os
import shutil
import sys
import threading
import time

import grpc
import pytest
import yaml

from conftest import free_port
from locations import REPO
from processes import ServeProcess, child_env, run_cli
from sorvane import ops
from sorvane.cli.parser import build_parser
from sorvane.cli.security import server_security
from sorvane.cli.supervisor import EXIT_DELAY, STOP_GRACE
from sorvane.corvex import GrpcClient, GrpcHelper, Server

KUBERNETES = os.path.join(REPO, "deploy", "kubernetes")
API_VERSIONS = {"Deployment": "apps/v1", "Service": "v1",
                "NetworkPolicy": "networking.k8s.io/v1"}


def load_objects():
    with open(os.path.join(KUBERNETES, "calc.yaml"), encoding="utf-8") as f:
        return [doc for doc in yaml.safe_load_all(f) if doc is not None]


# The member that holds a Kubernetes object's desired state, as the API names it.
DESIRED = "\x73pec"


def desired(obj):
    """The desired state of a Kubernetes object (empty when missing, so that a
    check names what is absent)."""
    return obj.get(DESIRED, {})


OBJECTS = load_objects()
BY_KIND = {doc.get("kind"): doc for doc in OBJECTS}
DEPLOYMENT = BY_KIND.get("Deployment", {})
POD = desired(DEPLOYMENT).get("template", {})
CONTAINER = (desired(POD).get("containers") or [{}])[0]
PROBES = {name: CONTAINER.get(name, {}) for name in ("readinessProbe", "livenessProbe")}


def serve_arguments():
    """The arguments of serve in the container's command, and what the real
    parser makes of them."""
    command = CONTAINER["command"]
    assert command[:4] == ["python", "-m", "sorvane", "serve"]
    return command[4:], build_parser().parse_args(command[3:])


def contains(labels, selector):
    return all(labels.get(key) == value for key, value in selector.items())


# ---- the objects, without a server ---------------------------------------------


def test_objects_are_complete_and_of_known_kinds():
    assert sorted(BY_KIND) == sorted(API_VERSIONS) and len(OBJECTS) == len(API_VERSIONS)
    for doc in OBJECTS:
        assert doc["apiVersion"] == API_VERSIONS[doc["kind"]]
        assert doc["metadata"]["name"]
    assert desired(DEPLOYMENT)["replicas"] > 1
    assert len(desired(POD)["containers"]) == 1


def test_selectors_pick_the_pods_and_the_service_is_headless():
    labels = POD["metadata"]["labels"]
    deployment_selector = desired(DEPLOYMENT)["selector"]["matchLabels"]
    service = desired(BY_KIND["Service"])
    policy_selector = desired(BY_KIND["NetworkPolicy"])["podSelector"]["matchLabels"]
    for selector in (deployment_selector, service["selector"], policy_selector):
        assert selector and contains(labels, selector), selector
    assert service["clusterIP"] == "None"  # the string: YAML's None would be null
    assert "type" not in service or service["type"] == "ClusterIP"


def test_every_port_is_the_one_serve_listens_on():
    _, ns = serve_arguments()
    assert ns.command == "serve" and ns.host == "0.0.0.0"
    (port,) = CONTAINER["ports"]
    assert port["containerPort"] == ns.port and port.get("protocol", "TCP") == "TCP"
    for probe in PROBES.values():
        # The kubelet's gRPC probe takes a number, never a port's name.
        assert probe["grpc"]["port"] == ns.port
    (service_port,) = desired(BY_KIND["Service"])["ports"]
    # Headless: clients dial the pods themselves, on the port the Service names.
    assert service_port["port"] == ns.port
    assert service_port["targetPort"] in (port["name"], ns.port)
    (rule,) = desired(BY_KIND["NetworkPolicy"])["ingress"]
    assert [p["port"] for p in rule["ports"]] in ([ns.port], [port["name"]])


def test_serve_accepts_the_command_with_nothing_the_probes_cannot_send(monkeypatch):
    monkeypatch.delenv("SORVANE_TOKEN", raising=False)
    _, ns = serve_arguments()
    # Refused (a usage error) when 0.0.0.0 had no TLS, token or --insecure; a
    # token or TLS would make the kubelet's probes fail.
    assert server_security(ns) == {}
    assert "SORVANE_TOKEN" not in {e["name"] for e in CONTAINER.get("env", [])}
    assert ns.processes == 1 and ns.metrics_port is None


def test_grace_period_covers_the_drain():
    pre_stop = CONTAINER["lifecycle"]["preStop"]["exec"]["command"]
    assert pre_stop[0] == "sleep"
    grace = desired(POD)["terminationGracePeriodSeconds"]
    assert grace >= float(pre_stop[1]) + STOP_GRACE + EXIT_DELAY


def test_dockerfile_copies_what_exists_and_matches_the_pod():
    with open(os.path.join(KUBERNETES, "Dockerfile"), encoding="utf-8") as f:
        lines = [line.split() for line in f if line.startswith(("COPY ", "USER ", "EXPOSE "))]
    sources = [src for words in lines if words[0] == "COPY" and not words[1].startswith("--from")
               for src in words[1:-1]]
    assert "deploy/kubernetes/calc.py" in sources
    for source in sources:  # relative to the build context, the project's root
        assert os.path.exists(os.path.join(REPO, source)), source
    _, ns = serve_arguments()
    assert ["EXPOSE", str(ns.port)] in lines
    user = desired(POD)["securityContext"]["runAsUser"]
    assert ["USER", str(user)] in lines and user != 0


# ---- the manifest's command, served on 127.0.0.1 ---------------------------------


def local_arguments(port):
    """serve's arguments from the manifest, listening on 127.0.0.1:port instead."""
    args, _ = serve_arguments()
    args = list(args)
    for flag, value in (("--host", "127.0.0.1"), ("--port", str(port))):
        args[args.index(flag) + 1] = value
    return args


@contextlib.contextmanager
def serving_as_the_pod(folder):
    """The manifest's serve command running, its modules (calc.py) in `folder`:
    yields (ServeProcess, address) and collects the exit status on the way out."""
    shutil.copy(os.path.join(KUBERNETES, "calc.py"), str(folder))
    env = child_env(folder)
    env.pop("SORVANE_TOKEN", None)  # the container has none
    server = ServeProcess(local_arguments(free_port()), folder, env)
    try:
        yield server, server.wait_started()[0]
    finally:
        server.status = server.stop(timeout=60)


def test_probes_get_serving_and_the_documented_call_works(tmp_path):
    with serving_as_the_pod(tmp_path) as (server, address):
        with grpc.insecure_channel(address) as channel:
            check = channel.unary_unary(ops.CHECK_METHOD)
            for name, probe in PROBES.items():
                service = probe["grpc"].get("service", "")
                reply = check(ops.encode_health_request(service), timeout=10)
                assert ops.decode_health_response(reply) == ops.SERVING, name
        proc = run_cli(["call", address, "calc:add", "2", "3"], tmp_path)
        assert (proc.returncode, proc.stdout) == (0, "5\n"), proc.stderr
    assert server.status == 0, server.output


@pytest.mark.system
@pytest.mark.skipif(sys.platform == "win32", reason="SIGTERM, as the kubelet sends it")
def test_a_terminated_pod_exits_within_its_grace_with_a_call_still_running(tmp_path):
    registry = GrpcClient()
    outcome = []
    with serving_as_the_pod(tmp_path) as (server, address):
        host, port = address.rsplit(":", 1)
        registry.load([Server("pod", host, int(port))])
        stub = registry.connect("pod")
        assert GrpcHelper.call_rpc_result(stub, "calc", "add", args=[1, 1]) == 2  # connected

        def slow_call():
            try:
                outcome.append(GrpcHelper.call_rpc_result(stub, "calc", "slow", args=[60]))
            except grpc.RpcError as e:
                outcome.append(e.code())

        caller = threading.Thread(target=slow_call)
        caller.start()
        time.sleep(0.5)  # the call reaches the server over the open connection
        started = time.monotonic()
        server.stop(timeout=60)
        took = time.monotonic() - started
        caller.join(30)
    assert "a call still runs" in server.output  # the worst case: the call never ended
    assert server.status == 0
    pre_stop = float(CONTAINER["lifecycle"]["preStop"]["exec"]["command"][1])
    assert STOP_GRACE <= took <= desired(POD)["terminationGracePeriodSeconds"] - pre_stop
    assert len(outcome) == 1 and isinstance(outcome[0], grpc.StatusCode)  # cut off, no result
