"""Server-side targets of system/test_end_to_end.py, imported by the dispatcher.

The client side declares stubs of the same module name and qualified names;
the defaults here differ from the stubs' on purpose, to show that a default
is never sent and the server's own applies. Every argument arrives by keyword
under the stub's parameter name.
"""


def add(a, b=20):
    return a + b


# A stub's variadic parameters arrive by keyword, under their names.
def echo(items=(), options=None):
    return {"items": items, "options": options}


def mixed(first, items=(), flag=False, options=None):
    return [first, items, flag, options]


def fail(message):
    raise ValueError(message)


def nothing():
    return None


def greet(name):
    return "héllo, " + name + " ✓"


def blob(size):
    return "x" * size


def who(self, x):
    return [self, x]


class K:
    @classmethod
    def f(cls, x):
        return [cls.__name__, x]

    @staticmethod
    def twice(x):
        return 2 * x
