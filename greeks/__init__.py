"""Black-Scholes Greeks of NSE options; the extension module is ``greeks.greeks``."""
