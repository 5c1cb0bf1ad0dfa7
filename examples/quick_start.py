"""The README's quick start: a callable bond, an American put and a Monte Carlo call."""

import ravlin

market = ravlin.Market(
    base="USD", pricing_time="2025-01-02",
    curves={"USD": ravlin.ZeroCurve(times=[1, 2, 5, 10], rates=[0.040, 0.041, 0.043, 0.045]),
            "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.040 - 0.015)})

bond = ravlin.FixedRateBond(start="2025-01-02", maturity="2030-01-02", coupon=0.05, currency="USD",
                            calls={"2027-01-04": 100.0, "2028-01-03": 100.0, "2029-01-02": 100.0})
print(ravlin.price(bond, market, ravlin.HullWhiteGrid(mean_reversion=0.03, volatility=0.01)))
print(ravlin.price(bond, market, ravlin.Fixed()))

put = ravlin.AmericanOption(start="2025-01-02", expiry="2026-01-02", strike=100.0, kind="put",
                            asset="SPX", currency="USD")
print(ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2)))

call = ravlin.EuropeanOption(expiry="2026-01-02", strike=105.0, kind="call", asset="SPX", currency="USD")
gbm = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2}, dividend_yield={"SPX": 0.015},
                                           antithetic=True)
print(ravlin.price(call, market, ravlin.MonteCarlo(paths=100_000, state=gbm, seed=1, statistics=["values"])))
