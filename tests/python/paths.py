"""Path objects for the tests of exercise by regression.

`SplitGBM` is the seeded antithetic GBM of the demo whose first paths draw
their own normals, so that paths that only fit the regressions share nothing
with the priced ones. `HullWhitePaths` simulates the Hull-White short rate
r = x + phi(t) fitted to a discount curve exactly from one event time to the
next: the factor x and its integral are jointly Gaussian over a step.
"""

import math

import numpy as np

from gbm import GBMState


def antithetic_standard_error(pv):
    """Standard error of the mean of paths laid out as [half, mirrored half]."""
    half = len(pv) // 2
    pairs = (pv[:half] + pv[half:2 * half]) / 2
    return pairs.std(ddof=1) / math.sqrt(half)


class SplitGBM(GBMState):
    def __init__(self, asset, spot, rate, vol, paths, seed, calibration=0):
        super().__init__(asset, spot, rate, vol, paths, seed=seed)
        self.calibration = calibration

    def normals(self):
        own = self.rng.standard_normal(self.calibration)
        half = self.rng.standard_normal((self.paths - self.calibration + 1) // 2)
        return np.concatenate([own, half, -half])[: self.paths]


class HullWhitePaths:
    """Exact Hull-White paths; `log_df(t)` is -log P(0, t) of the curve."""

    def __init__(self, log_df, meanrev, vol, paths, seed):
        self.log_df, self.a, self.sigma = log_df, meanrev, vol
        self.rng = np.random.default_rng(seed)
        self.paths, self.time = paths, 0.0
        self.x = np.zeros(paths)
        self.stats = {}

    def integral_variance(self, t):
        """Variance of the integral of x over [0, t]."""
        a, s = self.a, self.sigma
        return s**2 / a**2 * (t - 2 * (1 - math.exp(-a * t)) / a + (1 - math.exp(-2 * a * t)) / (2 * a))

    def normals(self):
        half = self.rng.standard_normal((2, (self.paths + 1) // 2))
        return np.concatenate([half, -half], axis=1)[:, : self.paths]

    def advance(self, t):
        a, s, dt = self.a, self.sigma, t - self.time
        decay = math.exp(-a * dt)
        var_x = s**2 * (1 - decay**2) / (2 * a)
        var_i = s**2 / a**2 * (dt - 2 * (1 - decay) / a + (1 - decay**2) / (2 * a))
        cov = s**2 / (2 * a**2) * (1 - decay) ** 2
        z1, z2 = self.normals()
        step_integral = (self.x * (1 - decay) / a + cov / math.sqrt(var_x) * z1
                         + math.sqrt(var_i - cov**2 / var_x) * z2)
        self.x = self.x * decay + math.sqrt(var_x) * z1
        # D(0, t) = P(0, t) exp(-integral of x - variance / 2), so that E[D] = P.
        step = np.exp(-(self.log_df(t) - self.log_df(self.time)) - step_integral
                      - 0.5 * (self.integral_variance(t) - self.integral_variance(self.time)))
        self.time = t
        return step

    def get_value(self, name):
        return self.x if name == "x" else None

    def set_stat(self, name, value):
        self.stats[name] = value
