"""Presentation: the command line's table, its watch report and its plots. Nothing here computes
a Greek; everything reads the frames and records the computation gives."""
