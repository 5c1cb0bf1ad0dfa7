"""Correlated assets on Monte Carlo: an exchange option against Margrabe's formula,
and a zero-coupon bond on Hull-White paths against the curve."""

import math

import ravlin
from ravlin.paths import GeometricBrownianMotion, HullWhite

market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    "USD": ravlin.ZeroCurve.flat(0.04),
    "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.04),
    "NDX": ravlin.ForwardCurve.flat(95.0, growth=0.04)})

# Receive SPX and give NDX at one year, when that is worth it.
rows = [("swap", "2026-01-01", ">", 1.0, "exchange"),
        ("exchange", "2026-01-01", "+", 1.0, "SPX"), ("exchange", "2026-01-01", "+", -1.0, "NDX")]
gbm = GeometricBrownianMotion(volatility={"SPX": 0.2, "NDX": 0.25}, correlation=[[1, 0.7], [0.7, 1]])
result = ravlin.price(rows, market, ravlin.MonteCarlo(paths=200_000, state=gbm, seed=2, statistics=["values"]))

vol = math.sqrt(0.2**2 + 0.25**2 - 2 * 0.7 * 0.2 * 0.25)
d1 = (math.log(100.0 / 95.0) + vol**2 / 2) / vol
normal = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
print(result, "Margrabe:", round(100.0 * normal(d1) - 95.0 * normal(d1 - vol), 4))

zcb = [("zcb", "2030-01-01", "+", 100.0, "USD")]
hw = ravlin.MonteCarlo(paths=100_000, state=HullWhite(mean_reversion=0.05, volatility=0.01), statistics=["values"])
print(ravlin.price(zcb, market, hw), "curve:", round(100 * market.discount_factor("2030-01-01"), 4))
