# Type stubs for marvetta, the protobuf message module generated from
# schema/common.proto: the request and response of /common.CommonService/handle.
from typing import Optional

from google.protobuf import descriptor as _descriptor
from google.protobuf import message as _message
from typing_extensions import Literal, final

DESCRIPTOR: _descriptor.FileDescriptor

@final
class CommonRequest(_message.Message):
    """One call: its identifier, the call description as UTF-8 JSON, the serialization code."""

    DESCRIPTOR: _descriptor.Descriptor
    REQUEST_ID_FIELD_NUMBER: int
    REQUEST_FIELD_NUMBER: int
    SERIALIZE_FIELD_NUMBER: int
    request_id: str
    request: bytes
    serialize: int
    def __init__(
        self,
        *,
        request_id: Optional[str] = ...,
        request: Optional[bytes] = ...,
        serialize: Optional[int] = ...,
    ) -> None: ...
    def ClearField(
        self,
        __field_name: Literal["request_id", b"request_id", "request", b"request", "serialize", b"serialize"],
    ) -> None: ...

@final
class CommonResponse(_message.Message):
    """One reply: the status (0 or -1) and the result envelope as UTF-8 JSON."""

    DESCRIPTOR: _descriptor.Descriptor
    STATUS_FIELD_NUMBER: int
    RESPONSE_FIELD_NUMBER: int
    status: int
    response: bytes
    def __init__(self, *, status: Optional[int] = ..., response: Optional[bytes] = ...) -> None: ...
    def ClearField(self, __field_name: Literal["status", b"status", "response", b"response"]) -> None: ...
