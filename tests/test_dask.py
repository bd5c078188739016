"""tavorin.dask gives the NumPy-style function's bytes on any chunking and scheduler,
never writes into its input's chunks, and refuses what it cannot chunk."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import tavorin  # noqa: E402
import tavorin.dask  # noqa: E402
from tavorin.dask import project_capped_simplex  # noqa: E402

RNG = np.random.default_rng(20261208)


def rows(shape, scale=1.0):
    y = RNG.standard_normal(shape) * scale
    # Rows with NaN, infinities, ties and an already feasible row, as in the operator's tests.
    flat = y.reshape(-1, shape[-1])
    flat[0, 0], flat[1, 3], flat[2], flat[3, -1] = np.nan, np.inf, 0.25, -np.inf
    return y


Y2 = rows((230, 310), 1 / np.sqrt(310))
Y2_FINITE = RNG.standard_normal((230, 310)) / np.sqrt(310)
Y3 = RNG.standard_normal((6, 150, 20))
YI = RNG.integers(-50, 50, size=(90, 64)).astype(np.int16)
Y32 = RNG.standard_normal((230, 310)).astype(np.float32)
PER_COLUMN_H = RNG.random(310) * 100 + 10
MASK = RNG.random(230) > 0.4
LOW = RNG.uniform(-1.0, 0.0, (230, 310))
# Rows whose rounds start from their neighbours' shifts, which chunks change.
Y_LONG = RNG.standard_normal((64, 3000))
Y_HEAVY = RNG.standard_normal((300, 12)) * 10.0 ** RNG.uniform(-8, 8, (300, 12))
# NaN and infinity are projected, not refused, only with check_finite=False: brentq's bytes.
AS_IS = {"method": "brentq", "check_finite": False}


# name -> (dask array, its NumPy value, h, l, u, keywords)
CASES = {
    "rows split across chunks": (
        lambda: da.from_array(Y2, chunks=(64, 70)),
        Y2,
        1.0,
        0.0,
        1.0,
        AS_IS,
    ),
    "axis 0 already whole, per-vector h from Dask": (
        lambda: da.from_array(Y2_FINITE.copy(), chunks=(230, 50)),
        Y2_FINITE,
        da.from_array(PER_COLUMN_H, chunks=90),
        -1.0,
        1.0,
        {"axis": 0},
    ),
    "3-D along axis 1, per-vector l and u from NumPy": (
        lambda: da.from_array(Y3, chunks=(4, 40, 7)),
        Y3,
        0.5,
        -RNG.random((6, 20)),
        1.0 + RNG.random((6, 20)),
        {"axis": 1, "xtol": 1e-9, "maxiter": 50, "method": "brentq"},
    ),
    "int16, the axis already whole": (
        lambda: da.from_array(YI, chunks=(25, 64)),
        YI,
        200.0,
        -10.0,
        10.0,
        {"workers": 2},
    ),
    "row counts unknown after a mask": (
        lambda: da.from_array(Y2, chunks=(50, 310))[da.from_array(MASK, chunks=50)],
        Y2[MASK],
        1.0,
        0.0,
        0.1,
        AS_IS,
    ),
    "float32, per-element l from Dask chunked otherwise, u = inf, keepdims h": (
        lambda: da.from_array(Y32, chunks=(64, 70)),
        Y32,
        RNG.random((230, 1)) * 10,
        da.from_array(LOW, chunks=(100, 50)),
        np.inf,
        {},
    ),
    "rows of 3000 in chunks of 7": (
        lambda: da.from_array(Y_LONG, chunks=(7, 3000)),
        Y_LONG,
        900.0,
        0.0,
        0.5,
        {},
    ),
    "rows of 1e-8..1e8 in chunks of 37": (
        lambda: da.from_array(Y_HEAVY, chunks=(37, 12)),
        Y_HEAVY,
        3.6,
        0.0,
        0.5,
        {},
    ),
    "weights per element from NumPy, broadcast over rows": (
        lambda: da.from_array(Y2_FINITE, chunks=(64, 70)),
        Y2_FINITE,
        2.0,
        0.0,
        1.0,
        {"weights": RNG.uniform(0.5, 2.0, (1, 310))},
    ),
    "sum at most h, rows of 3000 in chunks of 7, some clipped only": (
        lambda: da.from_array(Y_LONG, chunks=(7, 3000)),
        Y_LONG,
        600.0,
        0.0,
        0.5,
        {"sense": "<="},
    ),
    "sum at least h, per-vector h from Dask, weights": (
        lambda: da.from_array(Y2_FINITE, chunks=(64, 70)),
        Y2_FINITE,
        da.from_array(RNG.uniform(-3.0, 3.0, 230), chunks=100),
        -1.0,
        1.0,
        {"sense": ">=", "weights": RNG.uniform(0.5, 2.0, (1, 310))},
    ),
}

# name -> (dask array, its NumPy value, radius, weights)
BALLS = {
    "rows split across chunks": (
        lambda: da.from_array(Y_LONG, chunks=(7, 700)),
        Y_LONG,
        800.0,
        None,
    ),
    "radius per vector from Dask, float32, weights": (
        lambda: da.from_array(Y32, chunks=(64, 70)),
        Y32,
        da.from_array(RNG.uniform(0.0, 10.0, 230), chunks=100),
        RNG.uniform(0.5, 2.0, (1, 310)),
    ),
}


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=":0",  # a free port: no clash with a cluster beside it
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture(params=["threads", pytest.param("cluster", marks=pytest.mark.unsanitized)])
def compute(request):
    if request.param == "threads":
        return lambda *arrays: da.compute(*arrays, scheduler="threads")
    client = request.getfixturevalue("cluster_client")
    return lambda *arrays: client.gather(client.compute(list(arrays)))


@pytest.mark.parametrize("case", CASES)
def test_same_bytes_as_the_numpy_function(case, compute):
    make, plain, h, l, u, keywords = CASES[case]  # noqa: E741
    y = make()
    result = project_capped_simplex(y, h, l, u, **keywords)
    # Computed together with its own input: a chunk projected in place would
    # show up in the input's bytes.
    projected, y_after = compute(result, y)
    plain_keywords = {k: np.asarray(v) if k == "weights" else v for k, v in keywords.items()}
    expected = tavorin.project_capped_simplex(
        plain, *(np.asarray(v) for v in (h, l, u)), **plain_keywords
    )
    assert projected.dtype == expected.dtype == (np.float32 if plain.dtype == np.float32 else float)
    assert projected.tobytes() == expected.tobytes()
    assert y_after.tobytes() == plain.tobytes()


@pytest.mark.parametrize("case", BALLS)
def test_the_l1_ball_gives_the_bytes_of_the_numpy_function(case):
    make, plain, radius, weights = BALLS[case]
    result = tavorin.dask.project_l1_ball(make(), radius, weights=weights)
    expected = tavorin.project_l1_ball(plain, np.asarray(radius), weights=weights)
    assert result.compute(scheduler="threads").tobytes() == expected.tobytes()


Y4 = da.ones((4, 3), chunks=2)
NO_POINT = (
    "no feasible point for the vector at batch index {}: needs a finite h, l < +inf, u > -inf, "
    "l <= u and n*l <= h <= n*u; got "
)
MASKED = (
    "{0} is a masked array, and the projection would ignore its mask: pass {0}.filled(value) "
    "to choose the masked values, or {0}.compressed() to drop them"
)


def masked():
    return da.from_array(Y2, chunks=(50, 100))[da.from_array(MASK, chunks=50)]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: project_capped_simplex(masked(), 1.0, 0.0, 1.0, axis=0),
            ValueError,
            "y's chunk sizes along axis 0 are unknown (NaN), so its vectors cannot be gathered "
            "into whole chunks; call y.compute_chunk_sizes() first",
        ),
        (
            lambda: project_capped_simplex(masked(), np.ones(MASK.sum()), 0.0, 1.0),
            ValueError,
            "per-vector h needs the chunk sizes of y's other axes, which are unknown (NaN); "
            "call y.compute_chunk_sizes() first",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 3), dtype=complex), 1.0, 0.0, 1.0),
            TypeError,
            "y must be an array of real numbers, not complex128",
        ),
        (
            lambda: project_capped_simplex(da.from_array(np.array([["a"]])), 1.0, 0.0, 1.0),
            TypeError,
            "y must be an array of real numbers, not <U1",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 3)), 1.0, 0.0, np.ones(3)),
            ValueError,
            "u of shape (3,) does not broadcast to the batch shape (4,)",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 3)), 1.0, 0.0, 1.0, axis=2),
            ValueError,
            "axis 2 is out of bounds for array of dimension 2",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 0)), 1.0, 0.0, 1.0),
            ValueError,
            "y has no elements along axis -1: nothing to project",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 3)), 1.0, 0.0, 1.0, maxiter=0),
            ValueError,
            "maxiter must be between 1 and 2147483647, got 0",
        ),
        (
            lambda: project_capped_simplex(da.ones((4, 3), chunks=2), 4.0, 0.0, 1.0),
            ValueError,
            NO_POINT.format("(0,)") + "h=4.0, l=0.0, u=1.0, n=3",
        ),
        (
            lambda: project_capped_simplex(
                da.ones((4, 3), chunks=(2, 3)), [1.0, 1.0, 9.0, 1.0], 0.0, 1.0
            ).compute(scheduler="sync"),
            ValueError,
            NO_POINT.format("(0,)") + "h=9.0, l=0.0, u=1.0, n=3 "
            "(in the chunk of y that starts at index (2, 0))",
        ),
        # The NumPy-style function's refusals are checked for tavorin.dask in its own table.
        (lambda: project_capped_simplex(masked(), 1.0, np.zeros((MASK.sum(), 310)), 1.0),
         ValueError, "per-element l needs the chunk sizes of y's other axes, which are unknown "
         "(NaN); call y.compute_chunk_sizes() first"),
        (lambda: project_capped_simplex(da.ma.masked_equal(Y4, 0), 1.0, 0.0, 1.0), TypeError,
         MASKED.format("y")),
    ],
)  # fmt: skip
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
