"""sorvane demo: a server process and a client calling it.

Starts a GrpcServer on 127.0.0.1 (a free port) in a child process that serves
examples/remote/inventory.py, then, in this process, calls it through the
grpc_service stubs of examples/local/inventory.py and through
GrpcHelper.call_rpc_result, shows a remote failure arriving as GrpcException,
and stops the server. The server's log and standard error are shown with a
"server |" prefix.

    python examples/demo.py          (or ./demo from the repository root)
"""
import logging
import os
import socket
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))


def serve(port):
    """Child process: serve examples/remote on 127.0.0.1:port until stdin closes."""
    sys.path.insert(0, os.path.join(HERE, "remote"))
    from sorvane.corvex import GrpcServer

    logging.basicConfig(level=logging.INFO, format="%(name)s %(levelname)s: %(message)s")
    server = GrpcServer("127.0.0.1", port, max_workers=4)
    server.run_background()
    # The engine is read off the server object itself, not the selection.
    native = type(server.rpc_server).__module__ == "sorvane.native"
    print("ready " + ("native" if native else "grpcio"), flush=True)
    sys.stdin.read()
    server.rpc_server.stop(0).wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(port):
    child = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--serve", str(port)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, encoding="utf-8")

    def relay():
        for line in child.stderr:
            print("    server | " + line.rstrip(), flush=True)

    relay_thread = threading.Thread(target=relay, daemon=True)
    relay_thread.start()
    ready = child.stdout.readline().split()
    if ready[:1] != ["ready"] or len(ready) != 2:
        child.kill()
        raise SystemExit("the demo server did not start")
    return child, relay_thread, ready[1]


def show(label, value, text=None):
    print("  %-46s -> %s" % (label, repr(value) if text is None else text), flush=True)


def client(port):
    sys.path.insert(0, os.path.join(HERE, "local"))
    import inventory  # the stubs
    from sorvane.corvex import GrpcException, GrpcHelper, Server, grpc_client

    grpc_client.load([Server("inventory", "127.0.0.1", port)])

    print("calls through grpc_service stubs:")
    show('inventory.quote("A-100", quantity=3)', inventory.quote("A-100", quantity=3))
    show('inventory.quote("C-300", 2, discount=0.1)', inventory.quote("C-300", 2, discount=0.1))
    show('inventory.search("mühle")', inventory.search("mühle"))
    show('inventory.tag("A-100", "gift", "fragile", colour="red")',
         inventory.tag("A-100", "gift", "fragile", colour="red"))
    show('Inventory.out_of_stock()  (static method)', inventory.Inventory.out_of_stock())
    show('Inventory.restock("B-200", 5)  (class method)', inventory.Inventory.restock("B-200", 5))
    show('Inventory.out_of_stock()', inventory.Inventory.out_of_stock())

    print("calls through GrpcHelper.call_rpc_result:")
    stub = grpc_client.connect("inventory")
    show('call_rpc_result(stub, "inventory", "quote", ["B-200"])',
         GrpcHelper.call_rpc_result(stub, "inventory", "quote", ["B-200"]))
    show('... "Inventory.restock", kwargs={"sku": "C-300", "quantity": 1}',
         GrpcHelper.call_rpc_result(stub, "inventory", "Inventory.restock",
                                    kwargs={"sku": "C-300", "quantity": 1}))
    with Server("inventory", "127.0.0.1", port) as own_stub:  # a channel of its own, closed after
        show('with Server(...) as stub: ... "search", ["set"]',
             GrpcHelper.call_rpc_result(own_stub, "inventory", "search", ["set"]))

    print("a failure on the server arrives as GrpcException:")
    for label, call in (('inventory.quote("Z-999")', lambda: inventory.quote("Z-999")),
                        ('Inventory.restock("A-100", 0)',
                         lambda: inventory.Inventory.restock("A-100", 0))):
        try:
            call()
        except GrpcException as e:
            show(label, e, "GrpcException: exc_type=%r, message=%r" % (e.exc_type, e.message))


def main():
    if sys.argv[1:2] == ["--serve"]:
        serve(int(sys.argv[2]))
        return
    port = free_port()
    from sorvane import engine
    print("transport engine: %s (SORVANE_ENGINE=native or grpcio chooses; available here: %s)"
          % (engine.current(), ", ".join(engine.available())))
    print("starting a GrpcServer for examples/remote/inventory.py on 127.0.0.1:%d" % port)
    child, relay_thread, served_by = start_server(port)
    try:
        client(port)
        print("these calls were served by the %s engine and made through the %s engine"
              % (served_by, engine.current()))
    finally:
        child.stdin.close()
        code = child.wait(30)
        relay_thread.join(5)
    print("server stopped (exit code %d)" % code)
    if code:
        raise SystemExit(code)


if __name__ == "__main__":
    main()
