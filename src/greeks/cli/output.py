"""Writing the command line's files whole or not at all: into a temporary file beside the target,
renamed over it once complete, so that a full disk or Ctrl+C never leaves half a file."""
from __future__ import annotations

import os
import pathlib
import tempfile
from collections.abc import Callable

from greeks.exchange.sources import SourceError


def file_mode() -> int:
    """The mode a new file gets under the process's umask (mkstemp's own is 0600)."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def write_atomically(target: str, writer: Callable[[str], object]) -> pathlib.Path:
    """Runs writer(temporary path), then renames the file onto `target`; SourceError with the
    reason when that cannot be done. Only regular files are replaced."""
    path = pathlib.Path(target)
    if path.is_dir():
        raise SourceError(f"cannot write {target}: it is a folder")
    if path.exists() and not path.is_file():
        raise SourceError(f"cannot write {target}: it is not a regular file")
    if not path.parent.is_dir():
        raise SourceError(f"cannot write {target}: there is no folder {path.parent}")
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part",
                                             dir=path.parent)
        os.close(handle)
    except OSError as error:
        raise SourceError(f"cannot write {target}: {error.strerror or error}") from None
    try:
        writer(temporary)
        os.chmod(temporary, file_mode())
        os.replace(temporary, path)
    except OSError as error:
        raise SourceError(f"cannot write {target}: {error.strerror or error}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return path
