"""Types of the compiled module: the in-place projection of 2-D float64 rows."""

from typing import Any, Dict, SupportsFloat, SupportsIndex, SupportsInt, Union

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

_Real = Union[SupportsFloat, SupportsIndex]
# NumPy's stubs give ndarray the buffer protocol only from CPython 3.12 on.
_Rows = Union[NDArray[np.float64], Buffer, None]

__test__: Dict[str, Any]

def proj_csimplex(
    y_view: _Rows,
    h: _Real,
    l: _Real,  # noqa: E741
    u: _Real,
    xtol: _Real = 1e-05,
    rtol: _Real = 1e-05,
    mitr: SupportsInt = 20,
) -> None:
    """Project every row of ``y_view`` onto ``{x : l <= x_j <= u, sum_j x_j = h}``, in place.

    Returns ``None``: the result is the caller's own array, overwritten row by
    row.  Keep a copy if the input is still needed.

    Each row becomes ``clip(row - tau, l, u)``, where ``tau`` is the root of
    ``sum_j clip(row_j - tau, l, u) - h`` found by SciPy's compiled ``brentq``
    on the bracket ``[min(row) - u, max(row) - l]``.

    Parameters
    ----------
    y_view
        A writable, C-contiguous, two-dimensional buffer of native float64
        (a NumPy ``float64`` array of shape ``(m, n)``), or ``None``, which is
        accepted and changes nothing.
    h, l, u
        The required row sum and the bounds of every element, shared by all
        rows; anything ``float()`` accepts.  They are not checked: a row with
        ``l > u`` becomes all ``l``; with ``h`` outside ``[n*l, n*u]`` the row
        is clipped with whatever shift ``brentq`` returns.  With ``h`` at (or
        within rounding of) ``n*l`` or ``n*u`` the row becomes all ``l`` or all ``u``.
    xtol, rtol
        ``brentq``'s absolute and relative tolerances on ``tau``; read again
        for every row.
    mitr
        ``brentq``'s iteration limit (a 32-bit integer).  A row that needs more
        iterations keeps the last iterate: its sum misses ``h`` without any
        error.

    Returns
    -------
    None
        The rows of ``y_view`` hold the result.

    Raises
    ------
    TypeError
        ``proj_csimplex() takes at least 4 positional arguments (N given)``,
        ``... takes at most 7 positional arguments (N given)``,
        ``proj_csimplex() got multiple values for keyword argument 'h'``,
        ``proj_csimplex() got an unexpected keyword argument 'tol'``,
        ``proj_csimplex() keywords must be strings``; ``y_view`` without the
        buffer interface (``a bytes-like object is required, not 'list'``);
        ``h``, ``l``, ``u``, ``xtol`` or ``rtol`` not a real number
        (``must be real number, not str``); ``mitr`` not an integer
        (``an integer is required``).
    ValueError
        ``y_view`` refused: ``Buffer has wrong number of dimensions (expected 2,
        got 1)``; ``Buffer dtype mismatch, expected 'double' but got 'float'``
        (and the other format messages); ``Item size of buffer (4 bytes) does
        not match size of 'double' (8 bytes)``; ``Buffer not C contiguous.``,
        ``Buffer and memoryview are not contiguous in the same dimension.``,
        ``Buffer not compatible with direct access in dimension 0.``,
        ``Buffer exposes suboffsets but no strides``; NumPy's own
        ``ndarray is not C-contiguous`` and ``buffer source array is
        read-only``.  A row of zero elements: ``min() arg is an empty
        sequence``.
    OverflowError
        ``mitr`` outside the 32-bit range: ``value too large to convert to int``.
    DeprecationWarning
        ``mitr``'s ``__int__`` returned a strict subclass of ``int`` (an
        error under ``-W error``).
    RuntimeError
        A call from another interpreter than the one that imported the module:
        ``tavorin.operators is bound to the interpreter that imported it; it
        cannot be called from another interpreter``.

    See Also
    --------
    tavorin.project_capped_simplex : The checked, exact projection of any real array.

    Notes
    -----
    NaN and infinities are not refused.  A NaN element stays NaN and makes the
    row's residual NaN, so the row is clipped with whatever shift ``brentq``
    returns (often the row comes back unprojected); a ``+inf`` element turns
    the whole row into NaN.

    A failure in the row loop leaves the rows before it projected and the rest
    untouched.  With no rows, ``xtol``, ``rtol`` and ``mitr`` are never read.
    Every failure adds a traceback entry ``tavorin.operators.proj_csimplex``.

    Examples
    --------
    >>> import numpy as np
    >>> from tavorin.operators import proj_csimplex
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> proj_csimplex(y, 1.0, 0.0, 0.6)  # returns None: y now holds the result
    >>> y.round(4)
    array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]])

    Nothing is checked: with ``h`` beyond ``n*u`` the row is only clipped.

    >>> y = np.array([[0.9, -0.3, 0.55, 1.6]])
    >>> proj_csimplex(y, 5.0, 0.0, 1.0)
    >>> y
    array([[0.9 , 0.  , 0.55, 1.  ]])
    """
