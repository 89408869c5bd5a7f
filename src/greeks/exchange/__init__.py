"""The exchange: its vocabulary (every payload shape and key), the reader of its option chains,
and where chains come from (the exchange through nsepython, or a recording replayed)."""
