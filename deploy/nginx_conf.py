#!/usr/bin/env python3
"""Renders nginx.conf.template into an nginx configuration for sorvane servers.

    python deploy/nginx_conf.py --listen 127.0.0.1:8080 \\
        --server 127.0.0.1:6565 --server 127.0.0.1:6566 \\
        --prefix /srv/sorvane-lb > /srv/sorvane-lb/nginx.conf
    nginx -p /srv/sorvane-lb -e /srv/sorvane-lb/error.log -c /srv/sorvane-lb/nginx.conf

A slow module on servers of its own: add --route reports=10.0.0.21:6565 (once per
server), and the calls of reports and reports.* go there, every other call to the
--server ones.

Standard library only; runs on Python 3.7 and newer.
"""

import argparse
import os
import re
import sys

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "nginx.conf.template")
_ADDRESS = re.compile(r"^(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9_.-]+):([0-9]{1,5})$")


def check_address(text):
    """`text` if it is HOST:PORT (a name, an IPv4 address or [IPv6]), else ValueError."""
    match = _ADDRESS.match(text)
    if not match or not 1 <= int(match.group(2)) <= 65535:
        raise ValueError("expected HOST:PORT, got %r" % (text,))
    return text


def check_module(text):
    """`text` if it is a module name (dotted identifiers: reports, reports.daily), else
    ValueError."""
    if not text or not all(part.isidentifier() for part in text.split(".")):
        raise ValueError("expected a module name such as reports or reports.daily, got %r"
                         % (text,))
    return text


def check_route(text):
    """(MODULE, HOST:PORT) from 'MODULE=HOST:PORT', else ValueError."""
    module, equals, address = text.partition("=")
    if not equals:
        raise ValueError("expected MODULE=HOST:PORT, got %r" % (text,))
    return check_module(module), check_address(address)


def module_regex(module):
    """The nginx regex that matches the sorvane-target values of `module` and of its
    submodules: the module as the client encodes it (bytes outside printable ASCII
    percent-encoded), then ':' or '.'; 'reportsX:f' does not match 'reports'."""
    encoded = "".join(chr(b) if b < 0x80 else "%%%02X" % b for b in module.encode("utf-8"))
    return "~^%s[.:]" % encoded.replace(".", r"\.")


def check_plain(text):
    """`text` if it can stand inside an nginx directive as it is, else ValueError."""
    if not text or re.search(r"[\s;{}'\"#$]", text):
        raise ValueError("not usable in an nginx directive: %r" % (text,))
    return text


def _argument(check):
    def parse(text):
        try:
            return check(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e))
    return parse


def route_blocks(routes):
    """(upstream blocks, map lines) for `routes`, pairs (MODULE, HOST:PORT): one upstream
    group per module, its servers in the order given."""
    groups = {}  # module -> its servers; dicts keep the modules' first appearance
    for module, address in routes:
        groups.setdefault(check_module(module), []).append(check_address(address))
    names = {module: "sorvane_route%d" % i for i, module in enumerate(groups, 1)}
    upstreams = ["\n    # Calls of %s and its submodules (--route).\n    upstream %s {\n%s"
                 "        keepalive 32;\n    }"
                 % (module, names[module], "".join("        server %s;\n" % a for a in addresses))
                 for module, addresses in groups.items()]
    # reports.daily before reports: the first matching regex decides.
    ordered = sorted(groups, key=lambda m: -m.count("."))
    lines = ['        "%s" %s;' % (module_regex(m), names[m]) for m in ordered]
    return "\n".join(upstreams), "\n".join(lines)


def render(listen, servers, prefix, user=None, max_message_length=268435456,
           call_timeout="3600s", routes=(), template=TEMPLATE):
    """The configuration text: `servers` behind a gRPC listener at `listen`; the calls of
    each module of `routes`, pairs (MODULE, HOST:PORT), to that module's servers."""
    if not servers:
        raise ValueError("at least one server is needed")
    route_upstreams, route_map = route_blocks(routes)
    with open(template) as f:
        text = f.read()
    values = {
        "USER": "user %s;" % check_plain(user) if user else "",
        "PREFIX": check_plain(os.path.abspath(prefix)),
        "LISTEN": check_address(listen),
        "SERVERS": "\n".join("        server %s;" % check_address(s) for s in servers),
        "MAX_MESSAGE_LENGTH": str(int(max_message_length)),
        "CALL_TIMEOUT": check_plain(call_timeout),
        "ROUTE_UPSTREAMS": route_upstreams,
        "ROUTE_MAP": route_map,
    }
    # A name alone on its line with nothing to fill in leaves no empty line.
    text = re.sub(r"^@([A-Z_]+)@\n", lambda m: values[m.group(1)] and m.group(0), text,
                  flags=re.MULTILINE)
    text = re.sub(r"@([A-Z_]+)@", lambda m: values[m.group(1)], text)
    return text


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="nginx_conf.py",
        description="Render an nginx configuration that balances gRPC calls over sorvane servers.")
    parser.add_argument("--listen", required=True, type=_argument(check_address),
                        help="HOST:PORT of nginx's HTTP/2 listener, e.g. 127.0.0.1:8080")
    parser.add_argument("--server", required=True, action="append",
                        type=_argument(check_address), dest="servers", metavar="HOST:PORT",
                        help="a sorvane server; repeat for each")
    parser.add_argument("--route", action="append", default=[], type=_argument(check_route),
                        dest="routes", metavar="MODULE=HOST:PORT",
                        help="send the calls of MODULE and of its submodules (MODULE.*) to "
                             "this server instead of the --server ones, by their "
                             "sorvane-target header; repeat for each server of the module, "
                             "and for other modules")
    parser.add_argument("--prefix", required=True, type=_argument(check_plain),
                        help="folder for nginx's pid file, logs and temporary files")
    parser.add_argument("--user", type=_argument(check_plain), default=None,
                        help="account of the worker processes when nginx starts as root")
    parser.add_argument("--max-message-length", type=int, default=268435456, metavar="B",
                        help="largest call in bytes, as the servers' (default: 268435456)")
    parser.add_argument("--call-timeout", type=_argument(check_plain), default="3600s",
                        metavar="T",
                        help="longest call nginx waits for, nginx time syntax (default: 3600s)")
    parser.add_argument("-o", "--output", default=None, help="write here instead of stdout")
    ns = parser.parse_args(argv)
    text = render(ns.listen, ns.servers, ns.prefix, ns.user, ns.max_message_length,
                  ns.call_timeout, ns.routes)
    if ns.output:
        with open(ns.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
