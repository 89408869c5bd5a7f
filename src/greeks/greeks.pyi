"""Black-Scholes Greeks of NSE options."""
from typing import Any, SupportsFloat, SupportsInt, TypedDict

class OptionRecord(TypedDict):
    spot_price: float
    strike_price: float
    time_to_expiry: float
    risk_free_rate: float
    implied_volatility: float
    option_price: Any
    option_type: str | None

class Greeks(TypedDict):
    delta: float
    gamma: float
    theta: float
    vega: float
    rho: float

class Kestrava:
    symbol: str | None
    def __init__(self, symbol: str | None) -> None: ...
    def get_spot_price(self) -> float: ...
    def calculate_greeks(self, option_data: OptionRecord | dict[str, Any] | None) -> Greeks | None: ...
    def find_option_in_data(
        self,
        options_data: list[dict[str, Any]] | None,
        strike_price: SupportsFloat,
        expiry_date: str | None,
    ) -> dict[str, Any] | None: ...
    def get_option_data(
        self, strike_price: SupportsFloat, expiry_date: str | None, option_type: str | None = "CE"
    ) -> OptionRecord | None: ...
    def monitor_greeks(
        self,
        strike_price: SupportsFloat,
        expiry_date: str | None,
        option_type: str | None = "CE",
        interval: SupportsInt = 5,
    ) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

def __pyx_unpickle_Kestrava(__pyx_type: type[Kestrava], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> Kestrava: ...
