"""Plain-Python reference of the pricing methods: the same class shape, steps and library calls,
with the module globals looked up at each use as Python does anyway."""
import numpy as np
from scipy.stats import norm


class PlainKestrava:
    def __init__(self, symbol):
        self.symbol = symbol

    def calculate_d1(self, S, K, T, r, sigma):
        try:
            log = np.log
            if K == 0:
                raise ZeroDivisionError("float division")
            numerator = log(S / K) + (sigma**2 * 0.5 + r) * T
            return float(numerator / (sigma * np.sqrt(T)))
        except Exception as e:
            print(f"Error calculating d1: {e}")
            return -1.0

    def calculate_d2(self, d1, sigma, T):
        try:
            return float(d1 - sigma * np.sqrt(T))
        except Exception as e:
            print(f"Error calculating d2: {e}")
            return -1.0

    def calculate_greeks(self, option_data):
        if type(option_data) is not dict and option_data is not None:
            raise TypeError("Argument 'option_data' has incorrect type")
        S = float(option_data["spot_price"])
        K = float(option_data["strike_price"])
        T = float(option_data["time_to_expiry"])
        r = float(option_data["risk_free_rate"])
        sigma = float(option_data["implied_volatility"])
        is_call = option_data["option_type"] == "CE"
        result = {}
        try:
            d1 = self.calculate_d1(S, K, T, r, sigma)
            d2 = self.calculate_d2(d1, sigma, T)
            if d1 == -1.0 or d2 == -1.0:
                return None
            result["delta"] = norm.cdf(d1) if is_call else norm.cdf(d1) - 1
            result["gamma"] = norm.pdf(d1) / (S * sigma * np.sqrt(T))
            theta0 = float(-(S * sigma * norm.pdf(d1)) / (2 * np.sqrt(T)))
            if is_call:
                result["theta"] = theta0 - r * K * np.exp(-r * T) * norm.cdf(d2)
            else:
                result["theta"] = theta0 + r * K * np.exp(-r * T) * norm.cdf(-d2)
            result["theta"] = result["theta"] / 365
            result["vega"] = S * np.sqrt(T) * norm.pdf(d1) / 100
            if is_call:
                result["rho"] = K * T * np.exp(-r * T) * norm.cdf(d2) / 100
            else:
                result["rho"] = -K * T * np.exp(-r * T) * norm.cdf(-d2) / 100
            return result
        except Exception as e:
            print(f"Error calculating Greeks: {e}")
            return None
