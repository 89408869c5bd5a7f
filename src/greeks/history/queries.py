"""The store's SQL, in one place. Every query reads the view `legs` (the store's files with their
hive partitions as columns) and takes its symbol and time range as parameters.

Definitions, per capture: the at-the-money strike of an expiry is the listed strike nearest its
forward (the spot, for captures stored before forwards; the lower one on a tie), its volatility the mean of that strike's call and put; the near
expiry is the first whose legs still run; the 30-day volatility interpolates total variance σ²T
linearly in T between the expiries around 30 days (flat beyond them); the 25-delta risk reversal
and butterfly are read on the expiry nearest 30 days, from the call and put whose deltas lie
nearest ±0.25; max pain is the near expiry's strike at which the options' holders would be paid
least (the lowest on a tie); the put-call ratios divide the puts' open interest or volume by the
calls'."""

from greeks.market import DAYS_PER_YEAR

THIRTY_DAYS = 30 / DAYS_PER_YEAR

# What the holders of an expiry's options would be paid at expiry if it settled at each listed
# strike K*: Σ calls OI·max(K* − K, 0) + Σ puts OI·max(K − K*, 0), from running sums over the
# strikes in order (K*·ΣOI − ΣOI·K below, ΣOI·K − K*·ΣOI above) rather than every pair of
# strikes. Reads pain_legs (time, expiry, strike, side, open_interest).
PAIN = """
by_strike AS (
    SELECT time, expiry, strike,
           sum(open_interest) FILTER (WHERE side = 'CE') AS calls,
           sum(open_interest) FILTER (WHERE side = 'PE') AS puts
    FROM pain_legs GROUP BY time, expiry, strike
),
pain AS (
    SELECT time, expiry, strike,
           strike * sum(coalesce(calls, 0)) OVER below - sum(coalesce(calls, 0) * strike) OVER below
           + sum(coalesce(puts, 0) * strike) OVER above - strike * sum(coalesce(puts, 0)) OVER above
               AS paid
    FROM by_strike
    WINDOW below AS (PARTITION BY time, expiry ORDER BY strike
                     ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW),
           above AS (PARTITION BY time, expiry ORDER BY strike
                     ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING)
),"""

SERIES = f"""
WITH base AS (
    SELECT time, spot, coalesce(forward, spot) AS money, expiry, strike, side, iv, delta,
           time_to_expiry,
           coalesce(open_interest, 0) AS open_interest, coalesce(volume, 0) AS volume,
           coalesce(change_in_oi, 0) AS change_in_oi
    FROM legs
    WHERE symbol = $symbol AND time >= $start AND time <= $end
),
totals AS (
    SELECT time, any_value(spot) AS spot,
           sum(open_interest) FILTER (WHERE side = 'PE')
               / nullif(sum(open_interest) FILTER (WHERE side = 'CE'), 0) AS pcr_oi,
           sum(volume) FILTER (WHERE side = 'PE')
               / nullif(sum(volume) FILTER (WHERE side = 'CE'), 0) AS pcr_volume,
           sum(open_interest) AS oi_total, sum(change_in_oi) AS oi_change
    FROM base GROUP BY time
),
running AS (SELECT * FROM base WHERE time_to_expiry > 0),
strikes AS (
    SELECT DISTINCT time, expiry, strike, money, time_to_expiry AS t FROM running
),
atm_strike AS (
    SELECT time, expiry, strike, t FROM (
        SELECT *, row_number() OVER (PARTITION BY time, expiry
                                     ORDER BY abs(strike - money), strike) AS place
        FROM strikes)
    WHERE place = 1
),
atm AS (
    SELECT a.time, a.expiry, a.t, avg(r.iv) AS iv
    FROM atm_strike a JOIN running r USING (time, expiry, strike)
    WHERE r.iv > 0 AND isfinite(r.iv)
    GROUP BY a.time, a.expiry, a.t
),
near AS (
    SELECT time, min(expiry) AS near_expiry FROM running GROUP BY time
),
curve AS (
    SELECT time,
           max(t) FILTER (WHERE t <= {THIRTY_DAYS}) AS t_low,
           arg_max(iv, t) FILTER (WHERE t <= {THIRTY_DAYS}) AS iv_low,
           min(t) FILTER (WHERE t >= {THIRTY_DAYS}) AS t_high,
           arg_min(iv, t) FILTER (WHERE t >= {THIRTY_DAYS}) AS iv_high,
           arg_min(expiry, abs(t - {THIRTY_DAYS})) AS skew_expiry,
           arg_min(iv, abs(t - {THIRTY_DAYS})) AS skew_atm
    FROM atm GROUP BY time
),
thirty AS (
    SELECT time, skew_expiry, skew_atm,
           CASE WHEN t_low IS NULL THEN iv_high
                WHEN t_high IS NULL OR t_high = t_low THEN iv_low
                ELSE sqrt((iv_low * iv_low * t_low + (iv_high * iv_high * t_high
                           - iv_low * iv_low * t_low) * ({THIRTY_DAYS} - t_low)
                           / (t_high - t_low)) / {THIRTY_DAYS})
           END AS iv_30d
    FROM curve
),
wings AS (
    SELECT r.time,
           arg_min(r.iv, abs(r.delta - 0.25)) FILTER (WHERE r.side = 'CE') AS call_25,
           arg_min(r.iv, abs(r.delta + 0.25)) FILTER (WHERE r.side = 'PE') AS put_25
    FROM running r JOIN thirty h ON r.time = h.time AND r.expiry = h.skew_expiry
    WHERE r.iv > 0 AND isfinite(r.iv) AND isfinite(r.delta)
    GROUP BY r.time
),
pain_legs AS (
    SELECT b.time, b.expiry, b.strike, b.side, b.open_interest
    FROM base b JOIN near n ON b.time = n.time AND b.expiry = n.near_expiry
),
{PAIN}
max_pain AS (
    SELECT time, strike AS max_pain FROM (
        SELECT *, row_number() OVER (PARTITION BY time ORDER BY paid, strike) AS place FROM pain)
    WHERE place = 1
)
SELECT t.time, t.spot, a.iv AS atm_iv, h.iv_30d, w.call_25 - w.put_25 AS rr25,
       (w.call_25 + w.put_25) / 2 - h.skew_atm AS bf25, t.pcr_oi, t.pcr_volume, m.max_pain,
       t.oi_total, t.oi_change
FROM totals t
LEFT JOIN near n ON n.time = t.time
LEFT JOIN atm a ON a.time = t.time AND a.expiry = n.near_expiry
LEFT JOIN thirty h ON h.time = t.time
LEFT JOIN wings w ON w.time = t.time
LEFT JOIN max_pain m ON m.time = t.time
ORDER BY t.time
"""

MAX_PAIN = f"""
WITH pain_legs AS (
    SELECT time, expiry, strike, side, coalesce(open_interest, 0) AS open_interest
    FROM legs WHERE symbol = $symbol AND time >= $start AND time <= $end
),
{PAIN}
ranked AS (
    SELECT *, row_number() OVER (PARTITION BY time, expiry ORDER BY paid, strike) AS place
    FROM pain
)
SELECT time, expiry, strike AS max_pain FROM ranked WHERE place = 1
ORDER BY time, expiry
"""

LEGS = """
SELECT * EXCLUDE (symbol, date, filename), symbol FROM legs
WHERE symbol = $symbol AND time >= $start AND time <= $end
ORDER BY time, expiry, strike, side
"""

LAST_TIME = "SELECT max(time) FROM legs WHERE symbol = $symbol"

# The models the captures in a range were priced under: a capture stored before models were
# recorded was priced on the spot.
MODELS = """
SELECT DISTINCT coalesce(model, 'spot') AS model FROM legs
WHERE symbol = $symbol AND time >= $start AND time <= $end
ORDER BY model
"""
