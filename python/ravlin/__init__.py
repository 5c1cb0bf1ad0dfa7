"""ravlin: contracts, instruments and market conventions for the `_ravlin` pricing engine.

>>> import ravlin
>>> ravlin.ZeroCouponBond(maturity="2030-01-02", currency="USD").to_batch().num_rows
1
"""

from .contract import Contract, Event, to_date, to_datetime, to_millis
from .daycount import DayCount, day_count
from .instruments import AmericanOption, BermudanOption, EuropeanOption, FixedRateBond, ZeroCouponBond
from .schedule import BusinessDay, Frequency, Period, Schedule, adjust, is_business_day

__all__ = [
    "AmericanOption", "BermudanOption", "BusinessDay", "Contract", "DayCount", "EuropeanOption", "Event",
    "FixedRateBond", "Frequency", "Period", "Schedule", "ZeroCouponBond", "adjust", "day_count",
    "is_business_day", "to_date", "to_datetime", "to_millis",
]
