"""Two folders exchanged in one step, so that a reader listing either path sees the old contents
or the new, never a mix and never neither: Linux's renameat2 with RENAME_EXCHANGE (since 3.15, on
ext4, xfs, btrfs and tmpfs among others). Where the system or the filesystem has no such call,
the folders are swapped by two renames, and a reader may for a moment find the path missing."""
from __future__ import annotations

import ctypes
import errno
import os
import pathlib

AT_FDCWD = -100
RENAME_EXCHANGE = 1 << 1


def _renameat2():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        call = libc.renameat2
    except (OSError, AttributeError):
        return None
    call.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
    call.restype = ctypes.c_int
    return call


RENAMEAT2 = _renameat2()
# What renameat2 says when this system or filesystem cannot exchange.
CANNOT_EXCHANGE = {errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP}


def exchange(first: pathlib.Path, second: pathlib.Path) -> bool:
    """Swaps two existing folders; True when it took one step. OSError when neither way works."""
    if RENAMEAT2 is not None:
        if RENAMEAT2(AT_FDCWD, os.fsencode(first), AT_FDCWD, os.fsencode(second),
                     RENAME_EXCHANGE) == 0:
            return True
        code = ctypes.get_errno()
        if code not in CANNOT_EXCHANGE:
            raise OSError(code, os.strerror(code), str(first))
    parked = first.with_name(first.name + ".swap")
    os.rename(second, parked)
    os.rename(first, second)
    os.rename(parked, first)
    return False
