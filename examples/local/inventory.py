"""Client-side stubs of the module "inventory" that the demo server serves.

Same module name, same qualified names, same parameter names as the real
module; the bodies never run: each call goes to the server loaded under the
name "inventory" in sorvane.corvex.grpc_client.
"""
from sorvane.corvex import grpc_service


@grpc_service("inventory")
def quote(sku, quantity=1, discount=0.0):
    """The price of `quantity` units of an article, after a discount."""


@grpc_service("inventory")
def search(text, limit=10):
    """Articles whose name contains `text`, ignoring case."""


@grpc_service("inventory")
def tag(sku, *labels, **attributes):
    """Labels and attributes of an article, sent by name."""


class Inventory:
    @classmethod
    @grpc_service("inventory")
    def restock(cls, sku, quantity):
        """Adds units to the stock; returns the new stock."""

    @staticmethod
    @grpc_service("inventory")
    def out_of_stock():
        """The articles with no units left."""
