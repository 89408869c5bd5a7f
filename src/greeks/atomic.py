"""Files written whole or not at all: into a temporary file beside the target (a name no reader
lists), renamed over it once complete, so that a full disk, Ctrl+C or SIGKILL never leaves half a
file where a reader looks."""
from __future__ import annotations

import os
import pathlib
import secrets
from collections.abc import Callable

PART_SUFFIX = ".part"
# Created as any new file is (the umask deciding its mode), never over an existing one.
CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)


def replace_atomically(target: str | pathlib.Path, writer: Callable[[str], object]) -> pathlib.Path:
    """Runs writer(temporary path), then renames the file onto `target`. OSError passes through;
    the temporary file never outlives a failure."""
    path = pathlib.Path(target)
    temporary = created_beside(path)
    try:
        writer(temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return path


def created_beside(path: pathlib.Path) -> str:
    """A new, empty, hidden file in `path`'s folder, with the mode the process's umask gives a
    new file (mkstemp's would be 0600, and learning the umask means setting it, for a moment, for
    every thread)."""
    for _ in range(100):
        name = os.path.join(path.parent, f".{path.name}.{secrets.token_hex(4)}{PART_SUFFIX}")
        try:
            os.close(os.open(name, CREATE_FLAGS, 0o666))
        except FileExistsError:
            continue
        return name
    raise FileExistsError(f"no free temporary name beside {path}")
