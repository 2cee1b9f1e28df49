# Type stubs for sorvane.corvex, the framework: dispatcher, server runtime,
# client registry, call helpers and the two decorators.
import logging
from types import ModuleType, TracebackType
from typing import (
    Any,
    Callable,
    Dict,
    Hashable,
    Iterable,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Type,
    TypeVar,
    Union,
)

import grpc
from brindlow import CommonServiceServicer, CommonServiceStub
from marvetta import CommonRequest, CommonResponse
from sorvane.security import ClientTls, ServerTls
from typing_extensions import Protocol

_F = TypeVar("_F", bound=Callable[..., Any])
_S = TypeVar("_S", bound="Server")

class _SupportsHandle(Protocol):
    """What the call helpers need: a stub, or anything with its ``handle``."""

    def handle(self, __request: CommonRequest) -> CommonResponse: ...

#: The transport engine's module, through which GrpcServer and the registry
#: make servers and channels: grpcio's ``grpc`` or ``sorvane.native``
#: (chosen by SORVANE_ENGINE; see :mod:`sorvane.engine`).
transport: ModuleType
#: Receives the server runtime's start line ("sorvane.corvex").
logger: logging.Logger
#: Receives one DEBUG record per dispatched call ("rpc_log").
rpc_logger: logging.Logger

def rpc_log(func: _F) -> _F: ...

class Server:
    server: Any
    host: Union[str, Sequence[str]]
    port: Union[int, str]
    addr: str
    def __init__(
        self,
        server: Hashable,
        host: Union[str, Sequence[str]],
        port: Union[int, str],
        *,
        tls: Optional[ClientTls] = ...,
        token: Optional[str] = ...,
        timeout: Optional[float] = ...,
        serialize: Optional[int] = ...,
        balance: Optional[str] = ...,
        wait_for_ready: Optional[bool] = ...,
        retry_policy: Optional[Dict[str, Any]] = ...,
    ) -> None: ...
    def copy(self: _S) -> _S: ...
    @property
    def channel(self) -> grpc.Channel: ...
    def __enter__(self) -> CommonServiceStub: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None: ...
    def idempotent_stub(self) -> CommonServiceStub: ...

class CommonService(CommonServiceServicer):
    @classmethod
    def clazz_handler(cls, clazz: Any) -> Any: ...
    def handle(self, request: CommonRequest, context: Any) -> CommonResponse: ...

class GrpcClient:
    stubs: Dict[Any, CommonServiceStub]
    server_address: Dict[Any, Server]
    def __init__(self) -> None: ...
    def load(self, servers: Iterable[Server]) -> None: ...
    def connect(self, server: Hashable) -> Optional[CommonServiceStub]: ...
    def get_server(self, server: Hashable) -> Optional[Server]: ...
    def handle(self) -> None: ...

class GrpcServer:
    address: str
    max_workers: int
    service: CommonService
    rpc_server: Optional[grpc.Server]
    max_message_length: int
    def __init__(
        self,
        host: str = ...,
        port: Union[int, str] = ...,
        max_workers: int = ...,
        max_message_length: int = ...,
        *,
        tls: Optional[ServerTls] = ...,
        token: Optional[str] = ...,
        metrics_port: Optional[int] = ...,
        max_queued_calls: Optional[int] = ...,
        max_queued_bytes: Optional[int] = ...,
        request_wait: Optional[float] = ...,
    ) -> None: ...
    # Anything that cannot be called is ignored, silently.
    def set_clazz_handler(self, func: Callable[[Any], str]) -> None: ...
    def run(self) -> None: ...
    def run_background(self) -> None: ...
    def run_blocking(self) -> None: ...

class GrpcException(Exception):
    exc_type: Optional[str]
    message: Optional[str]
    def __init__(self, exc_type: Optional[str], message: Optional[str]) -> None: ...

def grpc_service(
    server: Hashable,
    serialize: int = ...,
    *,
    timeout: Optional[float] = ...,
    idempotent: bool = ...,
    wait_for_ready: Optional[bool] = ...,
) -> Callable[[_F], _F]: ...

class GrpcHelper:
    @classmethod
    def call_rpc(
        cls,
        rpc_client: _SupportsHandle,
        clazz: str,
        method: str,
        args: Optional[Sequence[Any]] = ...,
        kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = ...,
        request_id: Optional[str] = ...,
        serialize: int = ...,
        *,
        timeout: Optional[float] = ...,
        idempotent: bool = ...,
        wait_for_ready: Optional[bool] = ...,
    ) -> CommonResponse: ...
    @classmethod
    def call_rpc_result(
        cls,
        rpc_client: _SupportsHandle,
        clazz: str,
        method: str,
        args: Optional[Sequence[Any]] = ...,
        kwargs: Union[Mapping[str, Any], Iterable[Tuple[str, Any]], None] = ...,
        request_id: Optional[str] = ...,
        *,
        timeout: Optional[float] = ...,
        serialize: int = ...,
        idempotent: bool = ...,
        wait_for_ready: Optional[bool] = ...,
    ) -> Any: ...

#: The shared client registry that ``grpc_service`` stubs look their server up in.
grpc_client: GrpcClient

#: The serialization code of the binary codec (sorvane.codec.CBOR).
CBOR: int

class CodecError(ValueError):
    """Input that is not an encoding the codec accepts."""

def _cbor_dumps(value: Any) -> bytes: ...
def _cbor_loads(data: bytes) -> Any: ...
