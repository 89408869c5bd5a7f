"""A DataFrame handed to pandas as its blocks: the float columns as one two-dimensional array, each
other column a block of its own. pandas' dict constructor checks, converts and places each column
apart, which for a chain's two dozen columns costs more than reading and pricing the chain."""
from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas


@functools.lru_cache(maxsize=16)
def column_index(names: tuple[str, ...]) -> pandas.Index:
    """The columns' index, built once per set of names (an Index is immutable, so frames share
    it)."""
    import pandas as pd

    return pd.Index(names)


@functools.lru_cache(maxsize=16)
def placements(names: tuple[str, ...], float_names: tuple[str, ...],
               other_names: tuple[str, ...]) -> tuple[np.ndarray, list[np.ndarray]]:
    """Where the float block's rows and each other column sit among `names`."""
    place = {name: index for index, name in enumerate(names)}
    if sorted(place[name] for name in float_names + other_names) != list(range(len(names))):
        raise ValueError("the float and other columns must name every column once")
    return (np.array([place[name] for name in float_names], dtype=np.intp),
            [np.array([place[name]], dtype=np.intp) for name in other_names])


def frame_of(names: tuple[str, ...], floats: np.ndarray, float_names: tuple[str, ...],
             others: dict[str, Any]) -> pandas.DataFrame:
    """The frame with columns `names`: `floats` (float64, a row per name of `float_names`) and
    `others` (numpy arrays of other dtypes or pandas' own arrays such as str columns), all of one
    length and this caller's own, taken without a copy. Equal to pandas.DataFrame of the same
    columns."""
    import pandas as pd

    try:
        from pandas.api.internals import create_dataframe_from_blocks
    except ImportError:  # pandas before 3.0 has no public way to hand over blocks
        columns = {**dict(zip(float_names, floats)), **others}
        return pd.DataFrame({name: columns[name] for name in names}, copy=False)
    float_places, other_places = placements(names, float_names, tuple(others))
    blocks = [(floats, float_places)]
    for column, place in zip(others.values(), other_places):
        array = column.reshape(1, -1) if isinstance(column, np.ndarray) else column
        blocks.append((array, place))
    return create_dataframe_from_blocks(blocks, pd.RangeIndex(floats.shape[1]),
                                        column_index(names))
