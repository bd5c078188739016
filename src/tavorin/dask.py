"""Projection of Dask arrays: tavorin.project_capped_simplex applied chunk by chunk.

Every chunk must hold whole vectors, so the projected axis is first gathered
into one chunk (the other axes are re-split to keep chunks as large as the
input's).  Each chunk then goes through the NumPy-style function on its
own, which returns a new array: Dask may hand the same input chunk to later
computations, so a chunk is never projected in place.
"""

import math
from typing import Any, Dict, List, Literal, Optional, SupportsIndex, Tuple, Union

import numpy as np

try:
    import dask.array as da
except ImportError as exc:
    raise ImportError("tavorin.dask needs Dask's arrays: pip install 'tavorin[dask]'") from exc

from . import _api, _l1, _sets
from ._api import project_capped_simplex as _project
from ._sets import Kind

__all__ = ["project_capped_simplex", "project_l1_ball"]

_Set = Union[float, np.ndarray, "da.Array"]
_SET_NAMES = ("h", "l", "u", "weights")


def _unknown(sizes: Tuple[float, ...]) -> bool:
    return any(math.isnan(s) for s in sizes)


def _refuse_masked(value: Any, name: str) -> None:
    _sets.refuse_masked(value, name)
    if isinstance(value, da.Array):
        _sets.refuse_masked(getattr(value, "_meta", None), name)


def _set_kind(value: Any, name: str, y: "da.Array", axis: int) -> Tuple[Kind, Any]:
    """How a set is given, and its float value when it is a scalar; refused as the
    NumPy-style function refuses it, without computing anything."""
    array = value if isinstance(value, da.Array) else np.asarray(value)
    _sets.check_real_dtype(array.dtype, name)
    if not isinstance(value, da.Array) and array.size == 1 and array.ndim <= y.ndim:
        if array.ndim < y.ndim or array.shape[axis] == 1:
            return Kind.SCALAR, float(array.reshape(-1)[0])
    element = array.ndim == y.ndim and array.shape[axis] == y.shape[axis] != 1
    if any(_unknown(c) for i, c in enumerate(y.chunks) if i != axis):
        raise ValueError(
            f"per-{'element' if element else 'vector'} {name} needs the chunk sizes of y's "
            "other axes, which are unknown (NaN); call y.compute_chunk_sizes() first"
        )
    per_element = name not in ("h", "radius")
    return _sets.kind_of(name, array.shape, y.shape, axis, per_element=per_element), None


def _chunked_like(value: Any, kind: Kind, y: "da.Array", axis: int, dtype: Any) -> "da.Array":
    """The set as a Dask array chunked like ``y``: y's shape when given per element,
    else length 1 along ``axis`` (the shape the NumPy-style function takes per vector)."""
    array = da.asarray(value)
    if kind == Kind.PER_ELEMENT:
        return da.broadcast_to(array, y.shape).astype(dtype).rechunk(y.chunks)
    if array.ndim == y.ndim:
        array = da.squeeze(array, axis)
    array = da.broadcast_to(array, y.shape[:axis] + y.shape[axis + 1 :])
    array = da.expand_dims(array.astype(np.float64), axis)
    return array.rechunk(tuple((1,) if i == axis else c for i, c in enumerate(y.chunks)))


def _project_chunk(
    chunk: np.ndarray,
    *set_chunks: np.ndarray,
    scalars: List[Optional[float]],
    chunked: List[bool],
    axis: int,
    options: Dict[str, Any],
    block_info: Optional[dict] = None,
) -> np.ndarray:
    given = iter(set_chunks)
    *sets, weights = (next(given) if c else s for s, c in zip(scalars, chunked))
    # The ball takes its radius alone, the simplex h, l and u.
    project = _l1.project_l1_ball if len(sets) == 1 else _project
    try:
        return project(chunk, *sets, axis=axis, weights=weights, **options)
    except ValueError as exc:
        # The function names the vector by its place in this chunk; say where the chunk is.
        start = tuple(lo for lo, _ in block_info[0]["array-location"]) if block_info else "?"
        raise ValueError(f"{exc} (in the chunk of y that starts at index {start})") from exc


def project_capped_simplex(
    y: Any,
    h: _Set,
    l: _Set,  # noqa: E741
    u: _Set,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[_Set] = None,
    sense: Literal["==", "<=", ">="] = "==",
    method: Literal["exact", "brentq"] = "exact",
    check_finite: bool = True,
    xtol: float = 1e-5,
    rtol: float = 1e-5,
    maxiter: SupportsIndex = 20,
    workers: Optional[SupportsIndex] = None,
) -> "da.Array":
    """Project every vector of the Dask array ``y`` along ``axis`` onto the capped simplex.

    The lazy counterpart of ``tavorin.project_capped_simplex``, with the same
    arguments (except ``out``) and, chunk for chunk, the same bytes.

    Parameters
    ----------
    y : dask.array.Array or array_like
        Real numbers; anything else is wrapped with ``dask.array.asarray``.
    h, l, u : float or array_like
        The sum and the bounds, as ``tavorin.project_capped_simplex`` takes
        them: scalars, one value per vector, or (``l``, ``u``) one per
        element with ``y``'s shape; NumPy or Dask arrays, rechunked with
        ``y``.
    axis : int, optional
        The axis the vectors lie along.
    weights : float or array_like, optional
        Positive, finite weights, given as ``l`` and ``u`` are.
    sense : {"==", "<=", ">="}, optional
        The sum's relation to ``h``, as for ``tavorin.project_capped_simplex``:
        with ``"<="`` (``">="``) a vector whose clip sums to at most (at
        least) ``h`` is its clip.  Only ``"=="`` with ``method="brentq"``.
    method : {"exact", "brentq"}, optional
        As for ``tavorin.project_capped_simplex``.
    check_finite : bool, optional
        Refuse NaN or infinity in ``y``, when the chunk holding it is computed.
    xtol, rtol, maxiter : optional
        ``brentq``'s tolerances and iteration limit, for ``method="brentq"``.
    workers : int, optional
        The thread count inside each chunk's call (Dask already runs chunks
        in parallel, so the default is one).

    Returns
    -------
    dask.array.Array
        A new lazy array of ``y``'s shape (float32 for float32 input, else
        float64), chunked with whole vectors per chunk.

    Raises
    ------
    ImportError
        ``tavorin.dask needs Dask's arrays: pip install 'tavorin[dask]'``.
    TypeError, ValueError
        At once, with the NumPy-style function's own messages: an axis out
        of range, a non-real dtype, a masked array, an empty axis, a bad
        ``sense``, ``method``, ``check_finite``, tolerance, ``maxiter`` or
        ``workers``, sets that do not broadcast, the sets ``method="brentq"`` cannot take,
        and every scalar set that is refused whatever the other sets are
        (``l must not exceed u, got l=0.7, u=0.6``, a NaN, an infinite ``h``;
        all of them scalars: an empty set).
    ValueError
        Chunk sizes that are unknown (NaN) along ``axis``: ``y's chunk sizes
        along axis 0 are unknown (NaN), so its vectors cannot be gathered into
        whole chunks; call y.compute_chunk_sizes() first`` (along the other
        axes too when a set is given per vector or per element).  When a
        chunk is computed, sets that are arrays and NaN or infinity in ``y``:
        the NumPy-style message with ``(in the chunk of y that starts at
        index (2, 0))`` added, the batch index counted within that chunk.

    See Also
    --------
    tavorin.project_capped_simplex : The projection of NumPy arrays.

    Notes
    -----
    When the projected axis is split across chunks it is first gathered
    into one chunk, the other axes being re-split so that chunks stay as
    large as the input's; then every chunk goes through
    ``tavorin.project_capped_simplex`` on its own (``map_blocks``).  A
    vector's result depends on the vector alone, so chunk boundaries never
    change its bytes.  Chunks are never projected in place.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> from tavorin.dask import project_capped_simplex
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = project_capped_simplex(da.from_array(y, chunks=(1, 2)), 1.0, 0.0, 0.6)
    >>> x.chunks  # whole vectors in every chunk
    ((1, 1), (4,))
    >>> x.compute()
    array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]])

    A scalar set that is empty is refused when the graph is built, one given
    as an array when its chunk is computed:

    >>> project_capped_simplex(da.from_array(y), 1.0, 0.7, 0.6)
    Traceback (most recent call last):
        ...
    ValueError: l must not exceed u, got l=0.7, u=0.6
    >>> project_capped_simplex(da.from_array(y), np.array([1.0, 5.0]), 0.0, 1.0).compute()
    Traceback (most recent call last):
        ...
    ValueError: no feasible point for the vector at batch index (1,): ... at index (0, 0))
    """
    for value, name in zip((y, h, l, u, weights), ("y",) + _SET_NAMES):
        _refuse_masked(value, name)
    if not isinstance(y, da.Array):
        y = np.asarray(y)  # before Dask, which cannot chunk an object array
    _sets.check_real_dtype(y.dtype, "y")
    y = da.asarray(y)
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    given_axis = axis
    axis = _api.check_axis(axis, y.ndim)
    method, check_finite, xtol, rtol, maxiter, _ = _api.check_options(
        method, check_finite, xtol, rtol, maxiter, workers
    )
    sense_code = _sets.check_sense(sense, method)
    if _unknown(y.chunks[axis]):
        raise ValueError(
            f"y's chunk sizes along axis {axis} are unknown (NaN), so its vectors cannot be "
            "gathered into whole chunks; call y.compute_chunk_sizes() first"
        )
    if y.shape[axis] == 0:
        raise ValueError(f"y has no elements along axis {given_axis}: nothing to project")
    values = (h, l, u, weights)
    kinds, scalars = zip(
        *(
            (None, None) if v is None and name == "weights" else _set_kind(v, name, y, axis)
            for v, name in zip(values, _SET_NAMES)
        )
    )
    w = None if weights is None else (_sets.VARIES if scalars[3] is None else scalars[3])
    _sets.check_scalar_sets(y.shape[axis], *scalars[:3], w, sense_code)
    if method == "brentq":
        _sets.refuse_for_brentq(kinds[1:3], y.shape[axis], *scalars[1:3], weights)
    options = dict(
        sense=sense,
        method=method,
        check_finite=check_finite,
        xtol=xtol,
        rtol=rtol,
        maxiter=maxiter,
        workers=workers,
    )

    computed, result = _api.result_dtypes(y.dtype, method)
    return _map_vectors(y, axis, values, kinds, scalars, options, computed, result)


def _map_vectors(y, axis, values, kinds, scalars, options, computed, result):
    """The graph: y rechunked to whole vectors, the array sets chunked like it, and the
    NumPy-style function (chosen by the sets' count) on every chunk."""
    if y.numblocks[axis] > 1:
        others = [i for i in range(y.ndim) if i != axis]
        chunks = {axis: -1}
        if not any(_unknown(y.chunks[i]) for i in others):
            chunks.update((i, "auto") for i in others)
        # Chunks as large as the input's (Dask's default limit would often
        # merge a whole array into one chunk, and so onto one worker).
        largest = math.prod(max(c) for c in y.chunks) * y.dtype.itemsize
        y = y.rechunk(chunks, block_size_limit=max(largest, y.shape[axis] * y.dtype.itemsize))
    arrays = [
        _chunked_like(v, kind, y, axis, computed)
        for v, kind, s in zip(values, kinds, scalars)
        if v is not None and s is None
    ]
    return da.map_blocks(
        _project_chunk,
        y,
        *arrays,
        # Which sets come as chunks (a flag: a sentinel object would not survive pickling).
        scalars=list(scalars),
        chunked=[v is not None and s is None for v, s in zip(values, scalars)],
        axis=axis,
        options=options,
        dtype=result,
        meta=np.empty((0,) * y.ndim, dtype=result),
    )


def project_l1_ball(
    y: Any,
    radius: _Set,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[_Set] = None,
    check_finite: bool = True,
    workers: Optional[SupportsIndex] = None,
) -> "da.Array":
    """Project every vector of the Dask array ``y`` along ``axis`` onto the weighted l1 ball.

    The lazy counterpart of ``tavorin.project_l1_ball`` (without ``out``), chunk
    for chunk the same bytes; ``radius`` and ``weights`` are given and refused
    as ``project_capped_simplex`` here takes ``h`` and ``weights`` (a scalar
    ``radius`` at once, arrays when their chunk is computed).

    Parameters
    ----------
    y : dask.array.Array or array_like
        Real numbers; anything else is wrapped with ``dask.array.asarray``.
    radius : float or array_like
        The ball's radius, finite and ``>= 0``: a scalar, or one value per
        vector as ``tavorin.project_l1_ball`` takes it; a NumPy or Dask
        array is rechunked with ``y``.
    axis : int, optional
        The axis the vectors lie along.
    weights : float or array_like, optional
        Positive, finite weights, a scalar, one per vector or one per element.
    check_finite : bool, optional
        Refuse NaN or infinity in ``y``, when the chunk holding it is computed.
    workers : int, optional
        The thread count inside each chunk's call (Dask already runs chunks
        in parallel, so the default is one).

    Returns
    -------
    dask.array.Array
        A new lazy array of ``y``'s shape (float32 for float32 input, else
        float64), chunked with whole vectors per chunk.

    Raises
    ------
    TypeError, ValueError
        At once, with the NumPy-style function's own messages: an axis out
        of range, a non-real dtype, a masked array, an empty axis, a bad
        ``check_finite`` or ``workers``, a ``radius`` or ``weights`` that
        does not broadcast, and a scalar ``radius`` or weight that is
        refused (``radius must be finite and >= 0, got -1.0``).
    ValueError
        Chunk sizes that are unknown (NaN) along ``axis`` (along the other
        axes too when ``radius`` or ``weights`` is an array), as for
        ``project_capped_simplex``.  When a chunk is computed, a ``radius``
        or ``weights`` array refused and NaN or infinity in ``y``: the
        NumPy-style message with ``(in the chunk of y that starts at index
        (0, 0))`` added, the batch index counted within that chunk.

    See Also
    --------
    tavorin.project_l1_ball : The projection of NumPy arrays.
    project_capped_simplex : The capped simplex, for Dask arrays.

    Notes
    -----
    The graph is built as for ``project_capped_simplex``: the projected axis
    gathered into one chunk when it is split, then ``tavorin.project_l1_ball``
    on every chunk on its own (``map_blocks``), never in place.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> from tavorin.dask import project_l1_ball
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = project_l1_ball(da.from_array(y, chunks=(1, 2)), 1.0)
    >>> x.chunks  # whole vectors in every chunk
    ((1, 1), (4,))
    >>> np.round(x.compute(), 4)
    array([[ 0.15  , -0.    ,  0.    ,  0.85  ],
           [ 0.    ,  0.4167, -0.5167,  0.0667]])

    A scalar radius that is negative is refused when the graph is built, one
    given as an array when its chunk is computed:

    >>> project_l1_ball(da.from_array(y), -1.0)
    Traceback (most recent call last):
        ...
    ValueError: radius must be finite and >= 0, got -1.0
    >>> project_l1_ball(da.from_array(y), np.array([1.0, -1.0])).compute()
    Traceback (most recent call last):
        ...
    ValueError: radius must be finite and >= 0, got -1.0 for the vector at batch index (1,) ...
    """
    for value, name in ((y, "y"), (radius, "radius"), (weights, "weights")):
        _refuse_masked(value, name)
    if not isinstance(y, da.Array):
        y = np.asarray(y)
    _sets.check_real_dtype(y.dtype, "y")
    y = da.asarray(y)
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    given_axis = axis
    axis = _api.check_axis(axis, y.ndim)
    _, check_finite, *_ = _api.check_options("exact", check_finite, 1e-5, 1e-5, 20, workers)
    if _unknown(y.chunks[axis]):
        raise ValueError(
            f"y's chunk sizes along axis {axis} are unknown (NaN), so its vectors cannot be "
            "gathered into whole chunks; call y.compute_chunk_sizes() first"
        )
    if y.shape[axis] == 0:
        raise ValueError(f"y has no elements along axis {given_axis}: nothing to project")
    values = (radius, weights)
    kinds, scalars = zip(
        _set_kind(radius, "radius", y, axis),
        (None, None) if weights is None else _set_kind(weights, "weights", y, axis),
    )
    if scalars[0] is not None:
        _l1.check_radius(scalars[0], y.shape, axis)
    if scalars[1] is not None:
        _sets.check_scalar_sets(y.shape[axis], None, None, None, scalars[1])
    computed, result = _api.result_dtypes(y.dtype, "exact")
    options = dict(check_finite=check_finite, workers=workers)
    return _map_vectors(y, axis, values, kinds, scalars, options, computed, result)
