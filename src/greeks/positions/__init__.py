"""Positions: legs of options and futures held together, marked against one fetch of each
underlying's chain, with their payoff at expiry and before it, and what-if grids."""
