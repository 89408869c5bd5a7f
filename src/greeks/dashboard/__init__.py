"""The live dashboard behind `greeks serve`: one fetch per underlying per interval, priced and
pushed to every open page as server-sent events, and the page itself, served from the package."""
