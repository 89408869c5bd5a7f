"""Runs every benchmark and prints the ratios; exits 1 when a ratio is over its limit."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import chain  # noqa: E402
import dashboard  # noqa: E402
import forward  # noqa: E402
import history  # noqa: E402
import implied_volatility  # noqa: E402
import marketdata  # noqa: E402
import positions  # noqa: E402
import pricing  # noqa: E402
import shapes  # noqa: E402
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
sys.exit(0 if ok else 1)
