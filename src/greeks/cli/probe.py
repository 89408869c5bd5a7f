"""greeks probe: one fetch, then what it held."""
from __future__ import annotations

import argparse

from greeks.cli.common import open_source
from greeks.exchange.survey import Survey, survey

SUMMARY = "show what one fetch of the chain holds"
DESCRIPTION = ("Fetch the chain once and show its shape, counts, expiries, where the spot came "
               "from and which fields are present.")

SHAPES = {"records": "'records' → 'data', one row per strike",
          "data": "a top-level 'data'"}


def describe(found: Survey) -> list[str]:
    holders = ", ".join(f"{count} under {name!r}" if name != "contract" else
                        f"{count} as contracts of their own"
                        for name, count in found.holders.most_common()) or "none"
    expiries = found.expiries
    shown = ", ".join(f"{day:%d-%b-%Y}" for day in expiries[:6])
    more = f" and {len(expiries) - 6} more" if len(expiries) > 6 else ""
    spot = (f"{found.spot:.2f} from the {found.spot_source}" if found.spot_source else
            "none: the chain carries no price of the underlying")
    lines = [
        f"symbol      {found.symbol or 'not named by the legs'}",
        f"captured    {found.timestamp or 'no timestamp'}",
        f"shape       {SHAPES[found.shape]}, {found.rows} rows",
        f"legs        {found.legs} ({found.calls} calls, {found.legs - found.calls} puts): "
        f"{holders}",
        f"left out    {found.not_options} futures or other non-options, {found.skipped} "
        f"unreadable, {found.duplicates} duplicates",
        f"expiries    {len(expiries)}: {shown}{more}" if expiries else "expiries    none",
        f"spot        {spot}",
        *forward_lines(found),
        "fields      (legs carrying each, by key)",
    ]
    for column, keys in found.fields.items():
        present = ", ".join(f"{key} {count}" for key, count in keys.items() if key is not None)
        missing = keys.get(None, 0)
        lines.append(f"  {column:<17} {present or 'missing'}"
                     + (f"; missing in {missing}" if missing and present else ""))
    return lines


def forward_lines(found: Survey) -> list[str]:
    """Each running expiry's forward (put-call parity, else the spot carried) beside its future's
    price where the payload carries one, as captured."""
    lines = []
    for day, (forward, source, future) in list(found.forwards.items())[:6]:
        beside = f"; future {future:.2f} ({(forward / future - 1) * 1e4:+.1f} bp)" \
            if future else ""
        lines.append(f"  {day:%d-%b-%Y}  {forward:.2f} ({source}){beside}")
    more = len(found.forwards) - 6
    heading = "forwards    (each running expiry as captured)" if lines else "forwards    none"
    return [heading, *lines] + ([f"  and {more} more"] if more > 0 else [])


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--replay", metavar="FILE", help="describe this recorded chain instead")


def run(args: argparse.Namespace) -> int:
    args.as_captured = args.replay is not None  # a recording is described as it was captured
    chain = open_source(args)
    print(f"{args.symbol}: what one fetch held")
    for line in describe(survey(chain)):
        print(line)
    return 0
