"""The exchange's daily F&O closing file (the "bhavcopy": the UDiFF CSV layout since July 2024,
one zipped CSV per trading day, and the older `foDDMMMYYYYbhav.csv` layout before it): where it
is had from (the archive, a cache, local files and folders) and its text, read within the size
any real file has. Its rows are read by daily_rows."""
from __future__ import annotations

import datetime as dt
import pathlib
import urllib.error
import urllib.request
import zipfile
from collections.abc import Iterable

# The most CSV one daily file may hold: the real ones hold 5 to 8 MiB.
MAX_FILE_BYTES = 64 * 2**20


class BhavcopyError(Exception):
    """A daily file that cannot be had or read; the message is one line."""


def file_name(day: dt.date) -> str:
    return f"BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv.zip"


def read_text(path: pathlib.Path) -> str:
    """The CSV text of a .csv file or of the one CSV inside a .zip."""
    try:
        if path.suffix.lower() == ".zip":
            with zipfile.ZipFile(path) as archive:
                names = [item for item in archive.infolist()
                         if item.filename.lower().endswith(".csv")]
                if len(names) != 1:
                    raise BhavcopyError(f"{path} holds {len(names)} CSV files, not one")
                check_size(path, names[0].file_size)
                with archive.open(names[0]) as member:
                    # The size a zip declares is the archive's word: read no more than allowed.
                    data = member.read(MAX_FILE_BYTES + 1)
        else:
            check_size(path, path.stat().st_size)
            data = path.read_bytes()
        check_size(path, len(data))
        return data.decode("utf-8-sig")
    except (OSError, zipfile.BadZipFile, UnicodeDecodeError, EOFError) as error:
        raise BhavcopyError(f"cannot read {path}: {error}") from None


def check_size(path: pathlib.Path, size: int) -> None:
    if size > MAX_FILE_BYTES:
        raise BhavcopyError(f"{path} holds {size / 2**20:,.0f} MiB of CSV, more than any daily "
                            f"file (5-8 MiB); refused unread")


def local_files(paths: Iterable[str]) -> list[pathlib.Path]:
    """The daily files named, and those inside the folders named, in name order."""
    found = []
    for name in paths:
        path = pathlib.Path(name)
        if path.is_dir():
            found += sorted(item for item in path.iterdir()
                            if item.suffix.lower() in (".zip", ".csv"))
        elif path.exists():
            found.append(path)
        else:
            raise BhavcopyError(f"there is no file or folder {path}")
    return found


def download(day: dt.date, archive_url: str, cache: pathlib.Path) -> pathlib.Path | None:
    """The day's file, from the cache or the archive; None when the archive has none (a holiday).
    BhavcopyError when the archive cannot be reached."""
    from greeks.atomic import replace_atomically

    target = cache / file_name(day)
    if target.exists():
        return target
    request = urllib.request.Request(f"{archive_url.rstrip('/')}/{file_name(day)}",
                                     headers={"User-Agent": "Mozilla/5.0 greeks"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            body = answer.read()
    except urllib.error.HTTPError as error:
        if error.code in (403, 404):
            return None
        raise BhavcopyError(f"the archive answered {error.code} for {day:%d-%b-%Y}") from None
    except (urllib.error.URLError, OSError) as error:
        reason = getattr(error, "reason", error)
        raise BhavcopyError(f"cannot reach the archive {archive_url}: {reason}") from None
    cache.mkdir(parents=True, exist_ok=True)
    replace_atomically(target, lambda path: pathlib.Path(path).write_bytes(body))
    return target
