"""The market-data methods against their plain-Python reference, on in-memory chains."""
import greeks.greeks as g
import plain_marketdata
from timing import compare


def make_rows(count, expiry="31-Jul-2025"):
    return [
        {"strikePrice": 1000 + 10 * i, "expiryDate": expiry,
         "CE": {"impliedVolatility": 14.25, "lastPrice": 12.5},
         "PE": {"impliedVolatility": 15.5, "lastPrice": 9.0}}
        for i in range(count)
    ]


def run():
    ok = True
    k = g.Kestrava("NIFTY")
    plain = plain_marketdata.PlainKestrava("NIFTY")

    rows = make_rows(10_000)
    last = float(rows[-1]["strikePrice"])
    ok &= compare("find_option_in_data, 10,000 rows, match last",
                  lambda: k.find_option_in_data(rows, last, "31-Jul-2025"),
                  lambda: plain.find_option_in_data(rows, last, "31-Jul-2025"), 20, 1 / 3)

    chain = {"records": {"underlyingValue": 24623.45, "data": make_rows(2_000)}}
    wanted = float(chain["records"]["data"][-1]["strikePrice"])

    def serve(symbol):
        return chain

    saved = (g.nse_optionchain_scrapper, plain_marketdata.nse_optionchain_scrapper)
    g.nse_optionchain_scrapper = plain_marketdata.nse_optionchain_scrapper = serve
    try:
        ok &= compare("get_option_data, 2,000-row chain in memory",
                      lambda: k.get_option_data(wanted, "31-Jul-2025", "CE"),
                      lambda: plain.get_option_data(wanted, "31-Jul-2025", "CE"), 50, 1 / 2)
    finally:
        g.nse_optionchain_scrapper, plain_marketdata.nse_optionchain_scrapper = saved
    return ok
