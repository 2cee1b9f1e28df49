"""Helpers shared by the client-side tests: stand-in stubs and envelopes."""
import json

import marvetta


def envelope(status=0, message="", exc_type="", result=None, **extra):
    """The bytes of a result envelope as the dispatcher writes it."""
    body = {"status": status, "message": message, "excType": exc_type, "result": result}
    body.update(extra)
    return json.dumps(body, ensure_ascii=False).encode("utf-8")


class StandInStub:
    """A stub that answers every call at once with one prepared response and
    keeps the requests it was handed."""

    def __init__(self, response=None, status=0, result=None):
        self.requests = []
        if response is None:
            response = envelope(result=result)
        self.reply = marvetta.CommonResponse(status=status, response=response)

    def handle(self, request):
        self.requests.append(request)
        return self.reply

    def description(self, index=-1):
        """The call description of a kept request, parsed."""
        return json.loads(self.requests[index].request.decode("utf-8"))

    def kwargs_items(self, index=-1):
        """The "kwargs" member of a kept request as (name, value) pairs in order."""
        pairs = json.loads(self.requests[index].request.decode("utf-8"),
                           object_pairs_hook=list)
        return dict(pairs)["kwargs"]
