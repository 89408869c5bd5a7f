"""Files written whole or not at all: into a temporary file beside the target (a name no reader
lists), renamed over it once complete, so that a full disk, Ctrl+C or SIGKILL never leaves half a
file where a reader looks."""
from __future__ import annotations

import os
import pathlib
import tempfile
from collections.abc import Callable

PART_SUFFIX = ".part"


def file_mode() -> int:
    """The mode a new file gets under the process's umask (mkstemp's own is 0600)."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def replace_atomically(target: str | pathlib.Path, writer: Callable[[str], object]) -> pathlib.Path:
    """Runs writer(temporary path), then renames the file onto `target`. OSError passes through;
    the temporary file never outlives a failure."""
    path = pathlib.Path(target)
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=PART_SUFFIX,
                                         dir=path.parent)
    os.close(handle)
    try:
        writer(temporary)
        os.chmod(temporary, file_mode())
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return path
