"""A seeded geometric Brownian motion that drives `mc_price`.

The module draws no random numbers: it calls `advance(t)` at each later event
time (t in years from PRICING_TS) and `get_value(name)` for per-path prices.
"""

import numpy as np


class GBMState:
    def __init__(self, asset, spot, rate, vol, paths, seed=1, antithetic=True):
        self.asset, self.rate, self.vol = asset, rate, vol
        self.rng = np.random.default_rng(seed)
        self.paths, self.antithetic = paths, antithetic
        self.time = 0.0
        self.spot = np.full(paths, float(spot))
        self.stats = {}

    def normals(self):
        if not self.antithetic:
            return self.rng.standard_normal(self.paths)
        half = self.rng.standard_normal((self.paths + 1) // 2)
        return np.concatenate([half, -half])[: self.paths]

    def advance(self, t):
        dt = t - self.time
        drift = (self.rate - 0.5 * self.vol**2) * dt
        self.spot *= np.exp(drift + self.vol * np.sqrt(dt) * self.normals())
        self.time = t
        # The step's discount factor, the same on every path under a flat rate.
        return np.full(self.paths, np.exp(-self.rate * dt))

    def get_value(self, name):
        return self.spot if name == self.asset else None

    def set_stat(self, name, value):
        self.stats[name] = value
