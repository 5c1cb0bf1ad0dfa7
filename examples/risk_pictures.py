"""Risk of an American put, a European call and a bond, and the pictures of the risk guide.

Run `python examples/risk_pictures.py [folder]` (default: docs/); it prints
the sensitivities and saves grid_values.png, exercise_boundary.png,
mc_histogram.png and cashflows.png.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from pathlib import Path

import ravlin
from ravlin.paths import GeometricBrownianMotion

DAY_MS = 86_400_000
# A helper track is cleared between exercise dates by paying RESET and
# keeping the smaller of its value and -RESET: exactly zero, as -RESET + RESET is.
RESET = 1e300

Row = tuple[str, int, str, float, str]


def option_rows(kind: str, strike: float, times: Sequence[int], asset: str = "SPX", currency: str = "USD",
                track: str = "option") -> list[Row]:
    """A call or put exercisable at each of `times` (ms since 1970, ascending): at each time
    the holder keeps the larger of the option's continuation and the helper track's payoff."""
    helper, sign = f"{track}.exercise", 1.0 if kind == "call" else -1.0
    rows: list[Row] = []
    for i, t in enumerate(times):
        rows += [(track, t, ">", 1.0, helper), (helper, t, "+", -sign * strike, currency),
                 (helper, t, "+", sign, asset)]
        if i < len(times) - 1:
            rows += [(helper, t, "+", RESET, currency), (helper, t, "<", -RESET, currency)]
    return rows


def daily(start_ms: int, days: int) -> list[int]:
    """Every day from `start_ms` for `days` days, both ends included."""
    return [start_ms + d * DAY_MS for d in range(days + 1)]


def bond_rows(coupon: float, years: int, start_ms: int, track: str = "bond") -> list[Row]:
    """A bond of 100 paying `coupon` percent once a year for `years` years (365-day years)."""
    rows = [(track, start_ms + y * 365 * DAY_MS, "+", coupon, "USD") for y in range(1, years + 1)]
    return rows + [(track, start_ms + years * 365 * DAY_MS, "+", 100.0, "USD")]


def market() -> ravlin.Market:
    """USD rates on a few knots and SPX at 100 growing at the short end's rate."""
    return ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
        "USD": ravlin.ZeroCurve(times=[1.0, 2.0, 5.0, 10.0], rates=[0.045, 0.043, 0.041, 0.040]),
        "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.045, horizon=10.0)})


def main(folder: Path, *, days: int = 365, paths: int = 100_000) -> None:
    """Prints the sensitivities and saves the four pictures into `folder`; the American put
    exercises daily for `days` days, the Monte Carlo call runs `paths` paths."""
    folder.mkdir(parents=True, exist_ok=True)
    mkt = market()
    start = mkt.pricing_ms

    put = option_rows("put", 100.0, daily(start, days))
    grid = ravlin.BlackScholesGrid(asset="SPX", volatility=0.25, statistics=True)
    american = ravlin.price(put, mkt, grid)
    print("American put:", american, american.greeks)
    american.plot_values().savefig(folder / "grid_values.png", dpi=110)
    american.plot_exercise_boundary().savefig(folder / "exercise_boundary.png", dpi=110)
    print(ravlin.risk(put, mkt, grid, measures=["vega", "rates"]).table().to_pydict())

    call = option_rows("call", 100.0, [start + days * DAY_MS])
    simulation = ravlin.MonteCarlo(paths=paths, state=GeometricBrownianMotion(volatility={"SPX": 0.25}), seed=1)
    sensitivities = ravlin.risk(call, mkt, simulation, measures=["delta", "vega"])
    print("European call:", sensitivities.result, sensitivities.delta, sensitivities.vega)
    sensitivities.result.plot_histogram().savefig(folder / "mc_histogram.png", dpi=110)

    bond = bond_rows(4.0, 10, start)
    priced = ravlin.price(bond, mkt, ravlin.Fixed(statistics=["cashflows"]))
    print("Bond:", priced, ravlin.risk(bond, mkt, ravlin.Fixed(), measures=["key_rates"]).key_rate_dv01)
    priced.plot_cashflows().savefig(folder / "cashflows.png", dpi=110)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "docs")
