"""Runs every benchmark and prints the ratios, then one line of what fell short; exits 1 only
when a live bound failed in every round (a miss within the machine's noise is reported, not
failed)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import backtest  # noqa: E402
import chain  # noqa: E402
import dashboard  # noqa: E402
import forward  # noqa: E402
import history  # noqa: E402
import implied_volatility  # noqa: E402
import marketdata  # noqa: E402
import positions  # noqa: E402
import pricing  # noqa: E402
import shapes  # noqa: E402
import timing  # noqa: E402
import vector  # noqa: E402

ok = pricing.run()
ok &= marketdata.run()
ok &= chain.run()
ok &= forward.run()
ok &= vector.run()
ok &= shapes.run()
ok &= positions.run()
ok &= history.run()
ok &= implied_volatility.run()
ok &= dashboard.run()
ok &= backtest.run()
failed = [f"{name}: {shown}" for name, shown, hard in timing.SHORT if hard]
noisy = [f"{name}: {shown}" for name, shown, hard in timing.SHORT if not hard]
if failed or noisy:
    print("fell short: " + "; ".join(failed + [f"{item} (within the noise)" for item in noisy]))
else:
    print("every live bound held")
sys.exit(0 if ok and not failed else 1)
