"""The module the Kubernetes example serves (the README's calc.py): put your
own modules beside it in the image and name them on serve's command line."""

import os
import time


def add(a, b):
    return a + b


def slow(seconds):
    time.sleep(seconds)
    return seconds


def div(a, b):
    return a / b


def pid():
    return os.getpid()


class Greeter:
    @staticmethod
    def hello(name, punctuation="!"):
        return "hello, " + name + punctuation
