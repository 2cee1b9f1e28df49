"""A small stock-keeping module, served as is by the demo's GrpcServer.

Nothing in it knows about RPC: the server imports it by name ("inventory")
and calls what a client names, with every argument by keyword.
"""
import threading

_lock = threading.Lock()  # calls arrive on the server's worker threads

CATALOG = {
    "A-100": {"name": "Kaffeemühle", "price": 39.5, "stock": 12},
    "B-200": {"name": "Teekanne 1 l", "price": 24.0, "stock": 0},
    "C-300": {"name": "Crème brûlée set", "price": 18.75, "stock": 40},
}


def quote(sku, quantity=1, discount=0.0):
    """The price of `quantity` units of an article, after a discount."""
    article = CATALOG.get(sku)
    if article is None:
        raise ValueError("unknown article %s" % sku)
    total = round(article["price"] * quantity * (1 - discount), 2)
    return {"sku": sku, "name": article["name"], "quantity": quantity, "total": total}


def search(text, limit=10):
    """Articles whose name contains `text`, ignoring case."""
    found = [sku for sku, a in sorted(CATALOG.items()) if text.lower() in a["name"].lower()]
    return found[:limit]


def tag(sku, labels=(), attributes=None):
    """Echoes labels and attributes sent for an article (a stub's *labels and
    **attributes arrive here by keyword, under those names)."""
    return {"sku": sku, "labels": list(labels), "attributes": attributes or {}}


class Inventory:
    @classmethod
    def restock(cls, sku, quantity):
        """Adds units to the stock; returns the new stock."""
        if quantity <= 0:
            raise ValueError("quantity must be positive, got %r" % quantity)
        with _lock:
            CATALOG[sku]["stock"] += quantity
            return CATALOG[sku]["stock"]

    @staticmethod
    def out_of_stock():
        """The articles with no units left."""
        with _lock:
            return [sku for sku, a in sorted(CATALOG.items()) if a["stock"] == 0]
