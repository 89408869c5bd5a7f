"""What an option order costs in India, as of its date: the broker's flat fee and the statutory
charges, each rate from the day it took effect.

Every rate is a fraction of the premium turnover it applies to. Sources:
- STT on the sale of an option (on its premium) and on an option exercised (on its intrinsic
  value, paid by the holder): 0.05 % and 0.125 % from 1 June 2016 (Finance Act 2016); 0.0625 % on
  the sale from 1 April 2023 (Finance Act 2023); 0.1 % from 1 October 2024 (Finance (No. 2) Act
  2024); 0.15 % on both from 1 April 2026 (Finance Act 2026, clause 143 of its bill).
- NSE's transaction charge on equity options, on the premium, both sides: 0.05 % before 2021,
  raised 6 % to 0.053 % on 1 January 2021, the rise rolled back to 0.0495 % on 1 April 2023 (NSE,
  board decision of 23 March 2023), a uniform ₹35.03 a lakh (0.03503 %) from 1 October 2024 (NSE
  circular of 27 September 2024, after SEBI's circular of 1 July 2024 ending slab-wise charges).
- SEBI's turnover fee: ₹10 a crore (0.0001 %), both sides.
- Stamp duty on the buyer's premium: 0.003 % from 1 July 2020 (the Indian Stamp Act as amended
  by the Finance Act 2019); before that each state's own rate, not modelled (0 here).
- GST: 18 % on brokerage, the transaction charge and SEBI's fee."""
from __future__ import annotations

import bisect
import datetime as dt
from dataclasses import dataclass

D = dt.date
# (first day, rate) in order of the day
STT_ON_SALE = [(D(2016, 6, 1), 0.0005), (D(2023, 4, 1), 0.000625), (D(2024, 10, 1), 0.001),
               (D(2026, 4, 1), 0.0015)]
STT_ON_EXERCISE = [(D(2016, 6, 1), 0.00125), (D(2026, 4, 1), 0.0015)]
TRANSACTION_CHARGE = [(D(2016, 1, 1), 0.0005), (D(2021, 1, 1), 0.00053), (D(2023, 4, 1), 0.000495),
                      (D(2024, 10, 1), 0.0003503)]
SEBI_FEE = [(D(2016, 1, 1), 0.000001)]
STAMP_DUTY_ON_PURCHASE = [(D(2016, 1, 1), 0.0), (D(2020, 7, 1), 0.00003)]
GST = [(D(2017, 7, 1), 0.18)]
DEFAULT_BROKERAGE = 20.0  # rupees an order, the flat fee most discount brokers charge


def rate_on(table: list[tuple[dt.date, float]], day: dt.date) -> float:
    """The rate in force on `day`; the table's first rate for days before it."""
    at = bisect.bisect_right([start for start, _ in table], day) - 1
    return table[max(at, 0)][1]


@dataclass(frozen=True)
class Charges:
    brokerage: float = DEFAULT_BROKERAGE
    enabled: bool = True

    def order(self, day: dt.date, premium: float, bought: bool) -> float:
        """Rupees one order costs: `premium` is its turnover (price × units, positive)."""
        if not self.enabled:
            return 0.0
        transaction = premium * rate_on(TRANSACTION_CHARGE, day)
        sebi = premium * rate_on(SEBI_FEE, day)
        taxed = (self.brokerage + transaction + sebi) * rate_on(GST, day)
        levy = premium * (rate_on(STAMP_DUTY_ON_PURCHASE, day) if bought
                          else rate_on(STT_ON_SALE, day))
        return self.brokerage + transaction + sebi + taxed + levy

    def exercise(self, day: dt.date, intrinsic: float) -> float:
        """STT the holder of an option exercised in the money pays on its intrinsic value."""
        return intrinsic * rate_on(STT_ON_EXERCISE, day) if self.enabled else 0.0
