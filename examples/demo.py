"""The main job, offline: watch the NIFTY 24600 call of a recorded chain for a few cycles."""
import datetime as dt
import pathlib

import greeks.greeks as greeks
from replay import Replay, load, shift_expiries

HERE = pathlib.Path(__file__).parent
CYCLES = 4
INTERVAL_SECONDS = 1


def main():
    recorded = load(HERE / "data" / "nifty-chain-2025-08-05.json")
    chain, offset = shift_expiries(recorded, dt.date.today())
    expiry = chain["records"]["expiryDates"][0]
    print(f"Replaying NIFTY as captured {recorded['records']['timestamp']}; "
          f"moved {offset.days // 7} weeks forward, nearest expiry now {expiry}.")
    greeks.nse_optionchain_scrapper = Replay([chain] * CYCLES)
    greeks.Kestrava("NIFTY").monitor_greeks(24600, expiry, "CE", INTERVAL_SECONDS)


if __name__ == "__main__":
    main()
