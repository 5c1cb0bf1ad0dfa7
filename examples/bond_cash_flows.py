"""A bond written as rows, its cash flows as a table, and the same price from pandas and polars."""

import pandas as pd
import polars as pl

import ravlin

market = ravlin.Market(base="EUR", pricing_time="2025-03-01",
                       curves={"EUR": ravlin.ZeroCurve(times=[1, 3, 5, 10], rates=[0.025, 0.027, 0.03, 0.032])})
rows = [("bond", f"{year}-03-01", "+", 3.0, "EUR") for year in range(2026, 2031)]
rows.append(("bond", "2030-03-01", "+", 100.0, "EUR"))

result = ravlin.price(rows, market, ravlin.Fixed(statistics=["cashflows"]))
print(result)
print(result.cashflows.select(["row", "time", "track", "op", "quantity", "unit", "value"]).to_pandas())

frame = pd.DataFrame(rows, columns=["track", "time", "op", "quantity", "unit"])
frame["time"] = pd.to_datetime(frame["time"])
for data in (frame, pl.from_pandas(frame)):
    assert ravlin.price(data, market, ravlin.Fixed()).price == result.price
print("pandas and polars frames price to the same float")
