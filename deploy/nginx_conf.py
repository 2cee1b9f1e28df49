#!/usr/bin/env python3
"""Renders nginx.conf.template into an nginx configuration for sorvane servers.

    python deploy/nginx_conf.py --listen 127.0.0.1:8080 \\
        --server 127.0.0.1:6565 --server 127.0.0.1:6566 \\
        --prefix /srv/sorvane-lb > /srv/sorvane-lb/nginx.conf
    nginx -p /srv/sorvane-lb -e /srv/sorvane-lb/error.log -c /srv/sorvane-lb/nginx.conf

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


def render(listen, servers, prefix, user=None, max_message_length=268435456,
           call_timeout="3600s", template=TEMPLATE):
    """The configuration text: `servers` behind a gRPC listener at `listen`."""
    if not servers:
        raise ValueError("at least one server is needed")
    with open(template) as f:
        text = f.read()
    values = {
        "USER": "user %s;" % check_plain(user) if user else "",
        "PREFIX": check_plain(os.path.abspath(prefix)),
        "LISTEN": check_address(listen),
        "SERVERS": "\n".join("        server %s;" % check_address(s) for s in servers),
        "MAX_MESSAGE_LENGTH": str(int(max_message_length)),
        "CALL_TIMEOUT": check_plain(call_timeout),
    }
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
                  ns.call_timeout)
    if ns.output:
        with open(ns.output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
