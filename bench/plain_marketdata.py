"""Plain-Python reference of the market-data methods: same steps, same lookups."""
from datetime import datetime

from nsepython import nse_fno, nse_optionchain_scrapper  # replaced by the benchmark's fakes


class PlainKestrava:
    def __init__(self, symbol):
        self.symbol = symbol

    def get_spot_price(self):
        try:
            chain = nse_optionchain_scrapper(self.symbol)
            if chain and "records" in chain and "underlyingValue" in chain["records"]:
                return float(chain["records"]["underlyingValue"])
            return float(nse_fno(self.symbol)["marketDeptOrderBook"]["tradeInfo"]["lastPrice"])
        except Exception as e:
            print(f"Error getting spot price: {e}")
            return -1.0

    def find_option_in_data(self, options_data, strike_price, expiry_date):
        strike_price = float(strike_price)
        if type(options_data) is not list and options_data is not None:
            raise TypeError("Argument 'options_data' has incorrect type")
        for item in options_data:
            if item["strikePrice"] == float(strike_price) and item["expiryDate"] == expiry_date:
                return item
        return None

    def get_option_data(self, strike_price, expiry_date, option_type="CE"):
        strike_price = float(strike_price)
        try:
            spot_price = self.get_spot_price()
            if spot_price == -1.0:
                return None
            chain = nse_optionchain_scrapper(self.symbol)
            if type(chain) is not dict and chain is not None:
                raise TypeError("Expected dict")
            if not chain:
                return None
            option = self.find_option_in_data(chain["records"]["data"], float(strike_price), expiry_date)
            if not option:
                return None
            expiry = datetime.strptime(expiry_date, "%d-%b-%Y")
            time_to_expiry = float((expiry - datetime.now()).days / 365.0)
            return {
                "spot_price": spot_price,
                "strike_price": float(strike_price),
                "time_to_expiry": time_to_expiry,
                "risk_free_rate": 0.07,
                "implied_volatility": option[option_type]["impliedVolatility"] / 100.0,
                "option_price": option[option_type]["lastPrice"],
                "option_type": option_type,
            }
        except Exception as e:
            print(f"Error fetching option data: {e}")
            return None
