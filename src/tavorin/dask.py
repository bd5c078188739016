"""Projection of Dask arrays: tavorin.project_capped_simplex applied chunk by chunk.

Every chunk must hold whole vectors, so the projected axis is first gathered
into one chunk (the other axes are re-split to keep chunks as large as the
input's).  Each chunk then goes through the NumPy-style function on its
own, which returns a new array: Dask may hand the same input chunk to later
computations, so a chunk is never projected in place.
"""

import math
import operator
from typing import Any, List, Optional, SupportsIndex, Tuple, Union

import numpy as np

try:
    import dask.array as da
except ImportError as exc:
    raise ImportError("tavorin.dask needs Dask's arrays: pip install 'tavorin[dask]'") from exc

from ._api import AxisError
from ._api import project_capped_simplex as _project

__all__ = ["project_capped_simplex"]

_Bound = Union[float, np.ndarray, "da.Array"]


def _is_scalar(value: Any) -> bool:
    return not isinstance(value, da.Array) and np.ndim(value) == 0


def _unknown(sizes: Tuple[float, ...]) -> bool:
    return any(math.isnan(s) for s in sizes)


def _row_bound(value: Any, name: str, y: "da.Array", axis: int) -> "da.Array":
    """One value per vector as a Dask array chunked like ``y``'s rows, length 1 along ``axis``."""
    batch_shape = y.shape[:axis] + y.shape[axis + 1 :]
    if any(_unknown(c) for i, c in enumerate(y.chunks) if i != axis):
        raise ValueError(
            f"per-vector {name} needs the chunk sizes of y's other axes, which are unknown "
            "(NaN); call y.compute_chunk_sizes() first"
        )
    array = da.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be an array of real numbers, not {array.dtype}")
    try:
        array = da.broadcast_to(array, batch_shape)
    except ValueError:
        raise ValueError(
            f"{name} of shape {array.shape} does not broadcast to the batch shape {batch_shape}"
        ) from None
    array = da.expand_dims(array.astype(np.float64), axis)
    return array.rechunk(tuple((1,) if i == axis else c for i, c in enumerate(y.chunks)))


def _project_chunk(
    chunk: np.ndarray,
    *bound_chunks: np.ndarray,
    scalars: List[Optional[float]],
    axis: int,
    options: dict,
    block_info: Optional[dict] = None,
) -> np.ndarray:
    given = (np.squeeze(b, axis) for b in bound_chunks)
    h, l, u = (next(given) if s is None else s for s in scalars)  # noqa: E741
    try:
        return _project(chunk, h, l, u, axis=axis, **options)
    except ValueError as exc:
        # The function names the vector by its place in this chunk; say where the chunk is.
        start = tuple(lo for lo, _ in block_info[0]["array-location"]) if block_info else "?"
        raise ValueError(f"{exc} (in the chunk of y that starts at index {start})") from exc


def project_capped_simplex(
    y: Any,
    h: _Bound,
    l: _Bound,  # noqa: E741
    u: _Bound,
    *,
    axis: SupportsIndex = -1,
    xtol: float = 1e-5,
    rtol: float = 1e-5,
    maxiter: SupportsIndex = 20,
    exact: bool = False,
    workers: Optional[SupportsIndex] = None,
) -> "da.Array":
    """Project every vector of the Dask array ``y`` along ``axis`` onto the capped simplex.

    The lazy counterpart of ``tavorin.project_capped_simplex``, with the same
    arguments (except ``out``) and, chunk for chunk, the same bytes: a new
    float64 Dask array of ``y``'s shape, chunked with whole vectors per chunk.
    ``h``, ``l`` and ``u`` are scalars or arrays (NumPy or Dask) broadcastable
    to the batch shape.  ``workers`` is the thread count inside each chunk's
    call (Dask already runs chunks in parallel, so the default is one).

    Refused at once, with the NumPy-style function's own messages where it has
    one: an axis out of range, a non-real dtype, an empty axis, bad tolerances,
    ``maxiter`` or ``workers``, infeasible scalar bounds, bounds that do not
    broadcast; and chunk sizes that are unknown (NaN) along ``axis`` (or along
    the other axes when bounds are per vector).  Infeasible per-vector bounds
    raise when the chunk holding them is computed.
    """
    y = da.asarray(y)
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    axis = operator.index(axis)
    if not -y.ndim <= axis < y.ndim:
        raise AxisError(axis, y.ndim)
    axis %= y.ndim
    if _unknown(y.chunks[axis]):
        raise ValueError(
            f"y's chunk sizes along axis {axis} are unknown (NaN), so its vectors cannot be "
            "gathered into whole chunks; call y.compute_chunk_sizes() first"
        )
    options = dict(xtol=xtol, rtol=rtol, maxiter=maxiter, exact=exact, workers=workers)
    scalars: List[Optional[float]] = [v if _is_scalar(v) else None for v in (h, l, u)]
    # One vector of y's dtype and length with the scalar bounds: every refusal
    # that does not need the data happens here, worded as the NumPy-style
    # function words it.  Per-vector bounds are checked chunk by chunk.
    probe_shape = tuple(y.shape[axis] if i == axis else 1 for i in range(y.ndim))
    feasible = [0.0, 0.0, 0.0] if None in scalars else scalars
    _project(np.zeros(probe_shape, dtype=y.dtype), *feasible, axis=axis, **options)

    if y.numblocks[axis] > 1:
        others = [i for i in range(y.ndim) if i != axis]
        chunks = {axis: -1}
        if not any(_unknown(y.chunks[i]) for i in others):
            chunks.update((i, "auto") for i in others)
        # Chunks as large as the input's (Dask's default limit would often
        # merge a whole array into one chunk, and so onto one worker).
        largest = math.prod(max(c) for c in y.chunks) * y.dtype.itemsize
        y = y.rechunk(chunks, block_size_limit=max(largest, y.shape[axis] * y.dtype.itemsize))
    names = ("h", "l", "u")
    bounds = [_row_bound(v, n, y, axis) for v, n, s in zip((h, l, u), names, scalars) if s is None]
    return da.map_blocks(
        _project_chunk,
        y,
        *bounds,
        scalars=scalars,
        axis=axis,
        options=options,
        dtype=np.float64,
        meta=np.empty((0,) * y.ndim, dtype=np.float64),
    )
