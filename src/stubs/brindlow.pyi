# Type stubs for brindlow, the gRPC binding of common.CommonService: client
# stub, servicer base, registration function and the one-shot call.
from typing import Any, Optional, Sequence, Tuple

import grpc
from marvetta import CommonRequest, CommonResponse
from typing_extensions import Protocol

_Metadata = Sequence[Tuple[str, Any]]

class _HandleCall(Protocol):
    """gRPC's unary-unary callable for /common.CommonService/handle."""

    def __call__(
        self,
        request: CommonRequest,
        timeout: Optional[float] = ...,
        metadata: Optional[_Metadata] = ...,
        credentials: Optional[grpc.CallCredentials] = ...,
        wait_for_ready: Optional[bool] = ...,
        compression: Optional[grpc.Compression] = ...,
    ) -> CommonResponse: ...

class _Servicer(Protocol):
    def handle(self, request: CommonRequest, context: grpc.ServicerContext) -> CommonResponse: ...

class CommonServiceStub:
    """Missing associated documentation comment in .proto file."""

    handle: _HandleCall
    def __init__(self, channel: grpc.Channel) -> None: ...

class CommonServiceServicer:
    """Missing associated documentation comment in .proto file."""

    def handle(self, request: CommonRequest, context: grpc.ServicerContext) -> CommonResponse: ...

def add_CommonServiceServicer_to_server(servicer: _Servicer, server: grpc.Server) -> None: ...

class CommonService:
    """Missing associated documentation comment in .proto file."""

    @staticmethod
    def handle(
        request: CommonRequest,
        target: str,
        options: Sequence[Tuple[str, Any]] = ...,
        channel_credentials: Optional[grpc.ChannelCredentials] = ...,
        call_credentials: Optional[grpc.CallCredentials] = ...,
        insecure: bool = ...,
        compression: Optional[grpc.Compression] = ...,
        wait_for_ready: Optional[bool] = ...,
        timeout: Optional[float] = ...,
        metadata: Optional[_Metadata] = ...,
    ) -> CommonResponse: ...
