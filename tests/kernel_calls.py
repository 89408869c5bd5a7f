"""Shared ways of calling the kernel entries of greeks._vector directly."""
import sys
import threading

import numpy as np


def ticks_while(target, args):
    """How often this thread got to run while `target(*args)` ran on another."""
    worker = threading.Thread(target=target, args=args)
    ticks = 0
    worker.start()
    while worker.is_alive():
        ticks += 1
    worker.join()
    return ticks


def scalar(value):
    return np.array([value])


def refcounts_after_calls(entry, args, calls=500):
    """Reference counts of `args` before and after many calls, errors swallowed."""
    before = [sys.getrefcount(arg) for arg in args]
    for _ in range(calls):
        try:
            entry(*args)
        except (ValueError, TypeError):
            pass
    return before, [sys.getrefcount(arg) for arg in args]
