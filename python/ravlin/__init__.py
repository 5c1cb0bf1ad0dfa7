"""ravlin: contracts as timetables of events, valued by the `_ravlin` engine.

>>> import ravlin
>>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
>>> round(ravlin.price([("zcb", "2030-01-01", "+", 100.0, "USD")], market, ravlin.Fixed()).price, 6)
77.869411
"""

from importlib.metadata import PackageNotFoundError, version

from .errors import PricingError, TimetableError
from .market import ForwardCurve, Market, ZeroCurve
from .models import BlackScholesGrid, Fixed, HullWhiteGrid, MonteCarlo
from .pricing import Phrase, Result, Snapper, price
from .portfolio import contract_seed, price_many
from .timetable import timetable
from . import paths

try:
    __version__ = version("ravlin")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BlackScholesGrid", "Fixed", "ForwardCurve", "HullWhiteGrid", "Market", "MonteCarlo", "Phrase",
    "PricingError", "Result", "Snapper", "TimetableError", "ZeroCurve", "contract_seed", "paths", "price",
    "price_many", "timetable",
]
