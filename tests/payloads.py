"""Today's exchange, offline: the recorded NIFTY chain rewritten as the per-contract payload the
exchange sends now, in the variants published descriptions differ on, and served to nsepython's
own `nse_optionchain_scrapper` by replacing its network call, so that its real regrouping runs."""
import copy

import recorded

NIFTY_SPOT = 24623.45
TIMESTAMP = "05-Aug-2025 13:59:23"
# (optionType, instrumentType, strike) of the futures records mixed into every payload. nsepython
# drops those typed "XX" or without a strike before it regroups; the one typed "-" survives.
FUTURES = (("XX", "FUTIDX", 0), ("-", "FUTIDX", 24700), ("XX", "FUTIDX", None))
# Variant: how a payload departs from the exchange's plainest form.
VARIANTS = {
    "CE/PE": {},
    "Call/Put": {"names": {"CE": "Call", "PE": "Put"}},
    "padded text strikes": {"text_strikes": True},
    "no volatility": {"drop": ("impliedVolatility",)},
    "no bid or ask": {"drop": ("bidprice", "askPrice")},
    "bid and ask as buy/sell": {"rename": {"bidprice": "buyPrice1", "askprice": "sellPrice1",
                                           "askPrice": "sellPrice1"}},
}


def contract(side_record, option_type, strike, variant):
    record = {key: value for key, value in side_record.items()
              if key not in variant.get("drop", ())}
    for old, new in variant.get("rename", {}).items():
        if old in record:
            record[new] = record.pop(old)
    record["optionType"] = variant.get("names", {}).get(option_type, option_type)
    record["instrumentType"] = "OPTIDX"
    record["strikePrice"] = f"  {strike:.2f}" if variant.get("text_strikes") else strike
    return record


def future(option_type, instrument, strike):
    return {"optionType": option_type, "instrumentType": instrument, "strikePrice": strike,
            "expiryDate": "28-Aug-2025", "identifier": "FUTIDXNIFTY28-08-2025XX0.00",
            "underlying": "NIFTY", "lastPrice": 24650.0, "underlyingValue": NIFTY_SPOT}


def per_contract_payload(name, timestamp=TIMESTAMP):
    """The NIFTY recording as a flat list of per-contract records with the price of the
    underlying only inside them, as the exchange sends it before nsepython regroups it."""
    variant = VARIANTS[name]
    contracts = [future(*kind) for kind in FUTURES[:2]]
    for row in recorded.chain("NIFTY")["records"]["data"]:
        for option_type in ("CE", "PE"):
            if option_type in row:
                contracts.append(contract(row[option_type], option_type, row["strikePrice"],
                                          variant))
    contracts.append(future(*FUTURES[2]))
    payload = {"data": contracts}
    if timestamp is not None:
        payload["timestamp"] = timestamp
    return payload


def legs_in_recording():
    rows = recorded.chain("NIFTY")["records"]["data"]
    return sum(("CE" in row) + ("PE" in row) for row in rows)


class NseFetch:
    """Stands in for nsepython's `nsefetch`: answers every URL with a fresh copy of `payload`
    and keeps the URLs asked for."""

    def __init__(self, payload):
        self.payload = payload
        self.urls = []

    def __call__(self, url, *args, **kwargs):
        self.urls.append(url)
        return copy.deepcopy(self.payload)


def serve_through_nsepython(monkeypatch, payload):
    """Makes nsepython's real `nse_optionchain_scrapper` (the module global, as imported) fetch
    `payload`; returns the stand-in, whose `urls` show what nsepython asked for."""
    import nsepython.rahu

    import greeks.greeks as module

    fetch = NseFetch(payload)
    monkeypatch.setattr(nsepython.rahu, "nsefetch", fetch)
    monkeypatch.setattr(module, "nse_optionchain_scrapper", nsepython.rahu.nse_optionchain_scrapper)
    return fetch
