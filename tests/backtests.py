"""A year of synthetic daily F&O files for one underlying, in either layout, with prices known
in advance: a random walk, Black-Scholes prices rounded to the tick, untraded rows whose close
differs from their settlement price, and on each expiry day the expiring options' settlement
price written as the underlying's, as the exchange's files do."""
import datetime as dt
import math
import zipfile

import numpy as np
from scipy.special import ndtr

SYMBOL, LOT, STEP, VOL, RATE = "NIFTY", 75, 50.0, 0.15, 0.07
UDIFF_HEADER = ("TradDt,BizDt,Sgmt,Src,FinInstrmTp,FinInstrmId,ISIN,TckrSymb,SctySrs,XpryDt,"
                "FininstrmActlXpryDt,StrkPric,OptnTp,FinInstrmNm,OpnPric,HghPric,LwPric,ClsPric,"
                "LastPric,PrvsClsgPric,UndrlygPric,SttlmPric,OpnIntrst,ChngInOpnIntrst,"
                "TtlTradgVol,TtlTrfVal,TtlNbOfTxsExctd,SsnId,NewBrdLotQty,Rmks,Rsvd1,Rsvd2,Rsvd3,"
                "Rsvd4")
OLDER_HEADER = ("INSTRUMENT,SYMBOL,EXPIRY_DT,STRIKE_PR,OPTION_TYP,OPEN,HIGH,LOW,CLOSE,SETTLE_PR,"
                "CONTRACTS,VAL_INLAKH,OPEN_INT,CHG_IN_OI,TIMESTAMP,")


def tick(price):
    return max(round(price * 20) / 20, 0.05)


def black_scholes(spot, strike, years, is_call):
    if years <= 0:
        return max(spot - strike, 0.0) if is_call else max(strike - spot, 0.0)
    root = VOL * math.sqrt(years)
    d1 = (math.log(spot / strike) + (RATE + VOL * VOL / 2) * years) / root
    d2 = d1 - root
    call = spot * ndtr(d1) - strike * math.exp(-RATE * years) * ndtr(d2)
    return call if is_call else call - spot + strike * math.exp(-RATE * years)


def trading_days(start=dt.date(2024, 1, 1), count=250):
    days, day = [], start
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def contracts(stream=3):
    """(day, spot, [(expiry, strike, side, close, settle, volume)]) for every trading day; the
    weekly expiries are Thursdays, two listed at a time, eleven strikes each side of the money."""
    rng = np.random.default_rng(stream)
    spot = 21_000.0
    out = []
    for day in trading_days():
        spot *= math.exp(rng.normal(0, 0.009))
        spot = round(spot, 2)
        thursday = day + dt.timedelta(days=(3 - day.weekday()) % 7)
        expiries = [thursday, thursday + dt.timedelta(days=7)]
        centre = round(spot / STEP) * STEP
        rows = []
        for expiry in expiries:
            years = (expiry - day).days / 365.0
            for k in range(-11, 12):
                strike = centre + k * STEP
                for side in ("CE", "PE"):
                    model = tick(black_scholes(spot, strike, years, side == "CE"))
                    traded = rng.random() > 0.15
                    volume = int(rng.integers(1, 5000)) if traded else 0
                    # untraded: a close that is not the day's value; the settlement is
                    close = model if traded else tick(model * 1.3 + 2)
                    settle = spot if expiry == day else tick(model * (1 + rng.normal(0, 0.002)))
                    rows.append((expiry, strike, side, close, settle, volume))
        out.append((day, spot, rows))
    return out


def write_udiff(folder, stream=3, others=0):
    """`others` other underlyings' rows as well, as a real file holds some 35,000 of every
    underlying the exchange lists."""
    for day, spot, rows in contracts(stream):
        lines = [UDIFF_HEADER]
        for expiry, strike, side, close, settle, volume in rows:
            fields = {"TradDt": f"{day:%Y-%m-%d}", "FinInstrmTp": "IDO", "TckrSymb": SYMBOL,
                      "XpryDt": f"{expiry:%Y-%m-%d}", "StrkPric": f"{strike:.1f}",
                      "OptnTp": side, "ClsPric": f"{close:.2f}", "UndrlygPric": f"{spot:.2f}",
                      "SttlmPric": f"{settle:.2f}", "TtlTradgVol": str(volume),
                      "NewBrdLotQty": str(LOT)}
            lines.append(",".join(fields.get(name, "") for name in UDIFF_HEADER.split(",")))
        ours = lines[1:]
        for n in range(others // max(len(ours), 1)):
            lines += [line.replace(f",{SYMBOL},", f",STOCK{n},") for line in ours]
        name = f"BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv"
        with zipfile.ZipFile(folder / f"{name}.zip", "w") as archive:
            archive.writestr(name, "\n".join(lines) + "\n")


def write_older(folder, stream=3):
    """The same days in the older layout, with a future per expiry at the carried spot."""
    for day, spot, rows in contracts(stream):
        stamp = f"{day:%d-%b-%Y}".upper()
        lines = [OLDER_HEADER]
        for expiry in sorted({row[0] for row in rows}):
            future = round(spot * math.exp(RATE * (expiry - day).days / 365.0), 2)
            lines.append(f"FUTIDX,{SYMBOL},{expiry:%d-%b-%Y},0,XX,0,0,0,{future:.2f},{future:.2f},"
                         f"1000,0,0,0,{stamp},")
        for expiry, strike, side, close, settle, volume in rows:
            lines.append(f"OPTIDX,{SYMBOL},{expiry:%d-%b-%Y},{strike:.2f},{side},0,0,0,{close:.2f},"
                         f"{settle:.2f},{volume},0,0,0,{stamp},")
        (folder / f"fo{day:%d%b%Y}bhav.csv".upper().replace("BHAV.CSV", "bhav.csv")).write_text(
            "\n".join(lines) + "\n")


def record_captures(history, days=35, stream=3, times=("09:15", "09:30", "15:25")):
    """The first `days` of the synthetic year recorded as the recorder would, at each time of
    day: quotes a tick either side of the price (so that the mid is the price), the spot moved
    by the minute; returns {(day, time): spot}."""
    spots = {}
    for day, spot, rows in contracts(stream)[:days]:
        for n, moment in enumerate(times):
            here = round(spot * (1 + 0.0005 * n), 2)
            spots[(day, moment)] = here
            by_strike = {}
            for expiry, strike, side, close, _, volume in rows:
                years = (expiry - day).days / 365.0
                price = tick(black_scholes(here, strike, years, side == "CE")) if expiry > day \
                    else close
                row = by_strike.setdefault((expiry, strike), {"strikePrice": strike,
                                                              "expiryDate": f"{expiry:%d-%b-%Y}"})
                quoted = {"bidprice": price - 0.05, "askPrice": price + 0.05} if volume else {}
                row[side] = {"strikePrice": strike, "expiryDate": f"{expiry:%d-%b-%Y}",
                             "lastPrice": price + 0.5, "impliedVolatility": 0, **quoted}
            chain = {"records": {"underlyingValue": here, "timestamp":
                                 f"{day:%d-%b-%Y} {moment}:00", "data": list(by_strike.values())}}
            history.record(chain, symbol=SYMBOL, now=dt.datetime.combine(
                day, dt.time.fromisoformat(moment)).replace(tzinfo=dt.timezone(
                    dt.timedelta(hours=5, minutes=30))))
    return spots
