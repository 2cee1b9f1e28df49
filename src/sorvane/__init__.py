"""sorvane: Python RPC over one generic gRPC method, with a native core.

The framework lives in :mod:`sorvane.corvex`; the wire contract in the
top-level modules :mod:`marvetta` (messages) and :mod:`brindlow` (service
binding).
"""

__version__ = "0.1.0"
