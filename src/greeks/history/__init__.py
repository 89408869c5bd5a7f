"""History: option chains recorded all day and backfilled from the exchange's daily files into a
folder of Parquet files that DuckDB (and pyarrow, Polars, Spark, Trino) read, and the series a
trader asks of them: ATM and 30-day volatility, skew, put-call ratios, max pain, IV rank."""
