"""Whole option chains: the Greeks of every leg from one fetch, on a clock to the exchange's close
or in the module's whole days."""
