"""Writing the command line's files: atomically (greeks.atomic), and only over regular files, with
one line saying why when it cannot be done."""
from __future__ import annotations

import pathlib
from collections.abc import Callable

from greeks.atomic import replace_atomically
from greeks.cli.common import CommandFailed, UsageError


def write_atomically(target: str, writer: Callable[[str], object]) -> pathlib.Path:
    """Runs writer(temporary path), then renames the file onto `target`; CommandFailed with the
    reason when that cannot be done. Only regular files are replaced."""
    path = pathlib.Path(target)
    if path.is_dir():
        raise CommandFailed(f"cannot write {target}: it is a folder")
    if path.exists() and not path.is_file():
        raise CommandFailed(f"cannot write {target}: it is not a regular file")
    if not path.parent.is_dir():
        raise CommandFailed(f"cannot write {target}: there is no folder {path.parent}")
    try:
        return replace_atomically(path, writer)
    except OSError as error:
        raise CommandFailed(f"cannot write {target}: {error.strerror or error}") from None


def checked_plot_format(path: str) -> str:
    """The image format the --plot file's suffix names; UsageError when it names none, or
    CommandFailed when matplotlib is missing."""
    from greeks.display.plot import image_format

    try:
        return image_format(path)
    except ImportError as error:
        raise CommandFailed(str(error)) from None
    except ValueError as error:
        raise UsageError(str(error)) from None
