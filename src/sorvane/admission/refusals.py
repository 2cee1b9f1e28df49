"""Handlers that end their call from its headers, reading nothing: on an
admitting server they are answered on grpcio's serving thread."""
from typing import Any

import grpc


class _Refusal:
    """A behaviour that ends its call with `code` and `details` and reads nothing."""

    __slots__ = ("code", "details")

    def __init__(self, code: grpc.StatusCode, details: str) -> None:
        self.code = code
        self.details = details

    def __call__(self, request: Any, context: Any) -> None:
        context.abort(self.code, self.details)


def refusal(code: grpc.StatusCode, details: str) -> "grpc.RpcMethodHandler[Any, Any]":
    """A method handler that ends every call with `code` and `details`. On an
    admitting server it is answered on the serving thread, before the message
    is read; anywhere else it is an ordinary unary handler."""
    return grpc.unary_unary_rpc_method_handler(_Refusal(code, details))
