"""A module the fuzzed exposure guard never exposes: finding it imported is the failure."""


def call_me(*args, **kwargs):
    return "the guard let this through"
