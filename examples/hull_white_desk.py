"""A rates desk's day: quotes to curves, Hull-White calibrated to co-terminal swaptions, then a
Bermudan swaption and a callable bond on the fitted grid, with the bond's option-adjusted spread
and the Greeks of both."""

import ravlin
from ravlin import analytics

today = "2025-01-02"
sofr = ravlin.OvernightIndex(name="SOFR")
libor = ravlin.IborIndex(name="USD-3M", tenor="3M")

# Curves from par quotes: OIS discounts, a 3M curve over it projects.
ois = ravlin.bootstrap(today, [
    ravlin.OvernightIndexedSwap.par(trade_date=today, tenor=tenor, rate=rate, index=sofr)
    for tenor, rate in [("6M", 0.0425), ("1Y", 0.0415), ("2Y", 0.0398), ("5Y", 0.0385), ("12Y", 0.0392)]])
three_month = ravlin.bootstrap(today, [
    ravlin.InterestRateSwap.par(trade_date=today, tenor=tenor, rate=rate, index=libor, fixed_frequency=2)
    for tenor, rate in [("1Y", 0.0440), ("2Y", 0.0420), ("5Y", 0.0405), ("12Y", 0.0410)]], discount=ois)
market = ravlin.Market(base="USD", pricing_time=today, curves={"USD": ois},
                       projections={"USD-3M": three_month, "SOFR": ois})

# Co-terminal at-the-money European swaptions into the Bermudan's last date, quoted in Black volatility.
swaptions, quotes = [], []
for years in range(1, 10):
    terms = dict(trade_date=today, forward_start=f"{years}Y", tenor=f"{10 - years}Y", index=libor, notional=1e6)
    atm = ravlin.InterestRateSwap.par(rate=0.0, **terms).fair_rate(market)
    swap = ravlin.InterestRateSwap.par(rate=atm, **terms)
    swaptions.append(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]))
    quotes.append(0.26 - 0.007 * years)

fit = ravlin.calibrate(swaptions, market, quotes, mean_reversion=0.03, piecewise=True, check=True)
print(f"Hull-White a = {fit.mean_reversion}, {fit.iterations} evaluations, {fit.message}")
print("sigma from (years): " + ", ".join(f"{start:.2f}: {sigma:.6f}" for start, sigma in fit.volatility))
print("swaption  Black vol: market  closed form  grid")
for row in fit.instruments:
    swap = row.instrument.swap
    print(f"{swap.fixed.start.year - 2025}y x {len(swap.fixed.periods)}y             {row.market_volatility:.6f}"
          f"  {row.model_volatility:.6f}     {row.grid_volatility:.6f}")

grid = fit.grid()

# A 1y-into-9y Bermudan payer swaption, exercisable on every fixed-leg date.
underlying = ravlin.InterestRateSwap.par(trade_date=today, forward_start="1Y", tenor="9Y", rate=0.041, index=libor,
                                         notional=1e6)
bermudan = ravlin.Swaption(swap=underlying, exercise_dates=[p.start for p in underlying.fixed.periods])
result = ravlin.price(bermudan, market, fit.grid(statistics=["values"]))
print("Bermudan:", result)
print(f"  grid Greeks in the short rate: delta {result.greeks.delta:.2f}, gamma {result.greeks.gamma:.1f}, "
      f"theta {result.greeks.theta:.2f}")
sens = ravlin.risk(bermudan, market, grid, measures=["rates", "vega", "mean_reversion"])
print(f"  DV01 {sens.dv01.value:.2f}, vega (every piece of sigma up 1 bp) "
      f"{sum(v.value for v in sens.vega.values()) * 1e-4:.2f}, dV/da {sens.mean_reversion.value:.1f}")

# A 10-year 4.5% bond callable at par every year from its third, quoted at 98.50 clean.
bond = ravlin.FixedRateBond(start=today, maturity="2035-01-02", coupon=0.045, currency="USD",
                            calls={f"{year}-01-02": 100.0 for year in range(2028, 2035)})
quote = 98.50
print("Callable bond:", ravlin.price(bond, market, grid))
print(f"  model clean price {analytics.clean_price(bond, market, grid):.6f}, "
      f"without the calls {analytics.clean_price(bond, market):.6f}")
spread = analytics.option_adjusted_spread(bond, quote, market, grid)
effective = analytics.effective_risk(bond, market, grid, spread=spread)
print(f"  at {quote}: OAS {spread * 1e4:.2f} bp, Z-spread {analytics.z_spread(bond, quote, market) * 1e4:.2f} bp, "
      f"yield to maturity {analytics.yield_from_price(bond, quote, today):.6%}")
print(f"  effective duration {effective.duration:.4f}, effective convexity {effective.convexity:.2f}, "
      f"modified duration to maturity "
      f"{analytics.duration(bond, analytics.yield_from_price(bond, quote, today), today):.4f}")
