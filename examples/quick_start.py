"""The README's quick start: a callable bond, an American put and a Monte Carlo call."""

import ravlin

market = ravlin.Market(
    base="USD", pricing_time="2025-01-02",
    curves={"USD": ravlin.ZeroCurve(times=[1, 2, 5, 10], rates=[0.040, 0.041, 0.043, 0.045]),
            "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.040 - 0.015)})

bond = ravlin.FixedRateBond(start="2025-01-02", maturity="2030-01-02", coupon=0.05, currency="USD",
                            calls={"2027-01-04": 100.0, "2028-01-03": 100.0, "2029-01-02": 100.0})
print(ravlin.price(bond, market, ravlin.HullWhiteGrid(mean_reversion=0.03, volatility=0.01)))
print(ravlin.price(bond, market, ravlin.Fixed()))  # the calls exercised on the forward path
straight = ravlin.FixedRateBond(start="2025-01-02", maturity="2030-01-02", coupon=0.05, currency="USD")
print(ravlin.price(straight, market, ravlin.Fixed()))  # without calls
hull_white = ravlin.paths.HullWhite(mean_reversion=0.03, volatility=0.01, antithetic=True)
print(ravlin.price(bond, market, ravlin.MonteCarlo(paths=20_000, state=hull_white, seed=1, statistics=["values"])))

put = ravlin.AmericanOption(start="2025-01-02", expiry="2026-01-02", strike=100.0, kind="put",
                            asset="SPX", currency="USD")
print(ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2)))

call = ravlin.EuropeanOption(expiry="2026-01-02", strike=105.0, kind="call", asset="SPX", currency="USD")
gbm = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2}, antithetic=True)
print(ravlin.price(call, market, ravlin.MonteCarlo(paths=100_000, state=gbm, seed=1, statistics=["values"])))

# Rates: an OIS curve and a 3M curve over it from par quotes, a swap, and a Bermudan swaption.
sofr = ravlin.OvernightIndex(name="SOFR")
libor = ravlin.IborIndex(name="USD-3M", tenor="3M")
ois = ravlin.bootstrap("2025-01-02", [
    ravlin.OvernightIndexedSwap.par(trade_date="2025-01-02", tenor=tenor, rate=rate, index=sofr)
    for tenor, rate in [("6M", 0.0425), ("1Y", 0.0415), ("2Y", 0.0398), ("5Y", 0.0385), ("12Y", 0.0392)]])
three_month = ravlin.bootstrap("2025-01-02", [
    ravlin.InterestRateSwap.par(trade_date="2025-01-02", tenor=tenor, rate=rate, index=libor, fixed_frequency=2)
    for tenor, rate in [("1Y", 0.0440), ("2Y", 0.0420), ("5Y", 0.0405), ("12Y", 0.0410)]], discount=ois)
rates = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ois},
                      projections={"USD-3M": three_month, "SOFR": ois})

swap = ravlin.InterestRateSwap.par(trade_date="2025-01-02", tenor="5Y", rate=0.04, index=libor,
                                   fixed_frequency=2, notional=1e6)
print(ravlin.price(swap, rates, ravlin.Fixed()), round(swap.fair_rate(rates), 8))

underlying = ravlin.InterestRateSwap.par(trade_date="2025-01-02", forward_start="2Y", tenor="8Y", rate=0.041,
                                         index=libor, notional=1e6)
bermudan = ravlin.Swaption(swap=underlying, exercise_dates=[p.start for p in underlying.fixed.schedule.periods()])
print(ravlin.price(bermudan, rates, ravlin.HullWhiteGrid(mean_reversion=0.03, volatility=0.01)))
