"""ravlin: contracts as timetables of events, valued by the `_ravlin` engine.

>>> import ravlin
>>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
>>> round(ravlin.price([("zcb", "2030-01-01", "+", 100.0, "USD")], market, ravlin.Fixed()).price, 6)
77.869411
>>> ravlin.ZeroCouponBond(maturity="2030-01-02", currency="USD").to_batch().num_rows
1
"""

from importlib.metadata import PackageNotFoundError, version

from . import analytics, paths
from ._time import to_date, to_datetime, to_millis
from ._timetable import timetable
from .calendars import Calendar
from .calibration import Calibration, calibrate
from .contract import Contract, Event
from .curves import DiscountCurve, bootstrap
from .daycount import DayCount, day_count
from .errors import ArbitrageWarning, PricingError, TimetableError
from .exotics import AsianOption, BarrierOption, DigitalOption, LookbackOption
from .expressions import Phrase, Snapper
from .formulas import bachelier_price, black_scholes_price, implied_volatility
from .greeks import Greeks, grid_delta_gamma
from .instruments import AmericanOption, BermudanOption, EuropeanOption, FixedRateBond, ZeroCouponBond
from .market import ForwardCurve, Market, ZeroCurve
from .models import BlackScholesGrid, Fixed, HullWhiteGrid, Model, MonteCarlo
from .portfolio import contract_seed, price_many
from .pricing import price
from .rates import (
    CapFloor,
    Deposit,
    FixedLeg,
    FloatingLeg,
    FloatingRateNote,
    ForwardRateAgreement,
    IborIndex,
    InterestRateSwap,
    OvernightIndex,
    OvernightIndexedSwap,
    Swaption,
)
from .result import Result
from .schedule import BusinessDay, Frequency, Period, Schedule, adjust, is_business_day
from .sensitivities import Bumps, Risk, Sensitivity, risk
from .volatility import LocalVolSurface, VolatilitySurface, VolatilityTermStructure

try:
    __version__ = version("ravlin")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "AmericanOption", "ArbitrageWarning", "AsianOption", "BarrierOption", "BermudanOption", "BlackScholesGrid",
    "Bumps", "BusinessDay",
    "Calendar", "Calibration", "CapFloor", "Contract", "DayCount", "Deposit", "DigitalOption", "DiscountCurve",
    "EuropeanOption", "Event", "Fixed", "FixedLeg", "FixedRateBond", "FloatingLeg", "FloatingRateNote", "ForwardCurve",
    "ForwardRateAgreement", "Frequency", "Greeks", "HullWhiteGrid", "IborIndex", "InterestRateSwap",
    "LocalVolSurface", "LookbackOption", "Market", "Model", "MonteCarlo",
    "OvernightIndex", "OvernightIndexedSwap", "Period", "Phrase", "PricingError", "Result", "Risk", "Schedule",
    "Sensitivity", "Snapper", "Swaption", "TimetableError", "VolatilitySurface", "VolatilityTermStructure",
    "ZeroCouponBond", "ZeroCurve", "adjust", "analytics", "bachelier_price", "black_scholes_price", "bootstrap",
    "calibrate", "contract_seed", "day_count", "grid_delta_gamma", "implied_volatility", "is_business_day", "paths",
    "price", "price_many", "risk", "timetable", "to_date", "to_datetime", "to_millis",
]
