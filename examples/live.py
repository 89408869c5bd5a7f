"""Watches one option live through nsepython (needs network access to the exchange).

    python examples/live.py NIFTY 24600 07-Aug-2025 CE 5
"""
import argparse

from greeks.greeks import Kestrava


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("symbol", help="underlying ticker, e.g. NIFTY or SBIN")
    parser.add_argument("strike", type=float, help="strike price, e.g. 24600")
    parser.add_argument("expiry", help="expiry date as the exchange writes it, e.g. 07-Aug-2025")
    parser.add_argument("option_type", nargs="?", default="CE", help="CE (call) or PE (put)")
    parser.add_argument("interval", nargs="?", type=int, default=5, help="seconds between updates")
    args = parser.parse_args()
    Kestrava(args.symbol).monitor_greeks(args.strike, args.expiry, args.option_type, args.interval)


if __name__ == "__main__":
    main()
