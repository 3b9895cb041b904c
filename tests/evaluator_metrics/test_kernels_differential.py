"""The native kernels against their plain numpy transcriptions (exact equality), and
against the library computations they replace (to rounding)."""

import subprocess
import sys

import kernel_reference as reference
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import stats
from sklearn.neighbors import NearestNeighbors

from velmora._metric_core import _metric_kernels
from velmora._metric_core import kernels as _kernels

# Moderate magnitudes keep squared distances finite; rounded values give many ties.
values = st.one_of(
    st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
    st.integers(-3, 3).map(float),
)


def matrices(min_rows=1, max_rows=40, features=None):
    """Small matrices element by element, or larger ones (across the kernels' 256-row
    tiles) from a drawn seed, scale and rounding: rounding to integers makes ties."""
    features = features if features is not None else st.integers(1, 6)
    small = st.tuples(st.integers(min_rows, min(max_rows, 12)), features).flatmap(
        lambda shape: hnp.arrays(np.float64, shape, elements=values)
    )

    def generated(rows, columns, seed, scale, rounded):
        matrix = np.random.RandomState(seed).normal(scale=scale, size=(rows, columns))
        return np.round(matrix) if rounded else matrix

    large = st.builds(
        generated,
        st.integers(min_rows, max_rows),
        features,
        st.integers(0, 2**32 - 1),
        st.sampled_from([1e-3, 1.0, 3.0, 1e4]),
        st.booleans(),
    )
    return st.one_of(small, large)


@settings(max_examples=75, deadline=None)
# Up to 200 query rows: several 64-row blocks, split between threads.
@given(query=matrices(max_rows=200), data=st.data(), k=st.integers(1, 4), threads=st.integers(0, 3))
def test_nearest_neighbours_matches_numpy(query, data, k, threads):
    reference_rows = data.draw(matrices(min_rows=k, max_rows=300, features=st.just(query.shape[1])))
    distances, positions = _metric_kernels.nearest_neighbours(query, reference_rows, k, False, threads)
    expected_distances, expected_positions = reference.nearest_neighbours(query, reference_rows, k)
    np.testing.assert_array_equal(positions, expected_positions)
    np.testing.assert_array_equal(distances, expected_distances)


@settings(max_examples=75, deadline=None)
@given(rows=matrices(min_rows=2, max_rows=300), k=st.integers(1, 3))
def test_nearest_other_row_matches_numpy(rows, k):
    if len(rows) <= k:
        k = len(rows) - 1
    distances, positions = _kernels.nearest_neighbours(rows, rows, k=k, exclude_self=True)
    expected_distances, expected_positions = reference.nearest_neighbours(rows, rows, k, exclude_self=True)
    np.testing.assert_array_equal(positions, expected_positions)
    np.testing.assert_array_equal(distances, expected_distances)
    assert not (positions == np.arange(len(rows))[:, None]).any()


def test_nearest_neighbours_agree_with_sklearn_and_handle_odd_inputs():
    rng = np.random.RandomState(0)
    reference_rows = rng.normal(size=(700, 5))
    # A non-contiguous float32 view is converted, not misread.
    query = np.asfortranarray(rng.normal(size=(90, 10)).astype(np.float32))[:, ::2]
    distances, positions = _kernels.nearest_neighbours(query, reference_rows, k=3)
    expected_distances, expected_positions = (
        NearestNeighbors(n_neighbors=3).fit(reference_rows).kneighbors(query.astype(np.float64))
    )
    np.testing.assert_array_equal(positions, expected_positions)
    np.testing.assert_allclose(distances, expected_distances, rtol=1e-12)


@pytest.mark.parametrize(
    "query, reference_rows, k, exclude_self",
    [
        (np.zeros((2, 3)), np.zeros((2, 2)), 1, False),
        (np.zeros((2, 3)), np.zeros((0, 3)), 1, False),
        (np.zeros((2, 3)), np.zeros((2, 3)), 3, False),
        (np.zeros((2, 3)), np.zeros((2, 3)), 2, True),
        (np.zeros((2, 3)), np.zeros((3, 3)), 1, True),
        (np.array([[np.nan]]), np.zeros((2, 1)), 1, False),
        (np.zeros(3), np.zeros((2, 3)), 1, False),
    ],
)
def test_nearest_neighbours_refuses_bad_input(query, reference_rows, k, exclude_self):
    with pytest.raises(ValueError):
        _kernels.nearest_neighbours(query, reference_rows, k=k, exclude_self=exclude_self)


@settings(max_examples=60, deadline=None)
@given(
    x=matrices(max_rows=60, features=st.just(3)),
    y=matrices(max_rows=60, features=st.just(3)),
    gamma=st.floats(1e-3, 10.0),
    threads=st.integers(0, 3),
)
def test_rbf_kernel_sums_match_numpy(x, y, gamma, threads):
    x, y = x / 1e5, y / 1e5
    # exp() of the C library and numpy's vectorised exp may differ in the last place
    # (they do on AVX-512 machines), so the sums agree to rounding, not bit for bit.
    got = _metric_kernels.rbf_kernel_sums(x, y, gamma, threads)
    np.testing.assert_allclose(got, reference.rbf_kernel_sums(x, y, gamma), rtol=1e-12, atol=0)


@settings(max_examples=60, deadline=None)
@given(rows=matrices(max_rows=300), threads=st.integers(0, 3), spoil=st.sampled_from([None, np.nan, np.inf]))
def test_pairwise_squared_distances_match_numpy(rows, threads, spoil):
    if spoil is not None:
        rows = rows.copy()
        rows[len(rows) // 2, 0] = spoil
    result = _metric_kernels.pairwise_squared_distances(rows, threads)
    with np.errstate(invalid="ignore"):  # inf - inf is NaN on both sides
        expected = reference.squared_distances(rows, rows)
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (1, 1)])
def test_pairwise_squared_distances_of_degenerate_shapes(shape):
    rows = np.ones(shape)
    np.testing.assert_array_equal(_kernels.pairwise_squared_distances(rows), np.zeros((shape[0], shape[0])))


def test_rbf_kernel_sums_agree_with_the_gram_form():
    rng = np.random.RandomState(1)
    x, y = rng.normal(size=(300, 4)), rng.normal(0.5, size=(200, 4))
    gamma = 0.1
    sum_xx, sum_yy, sum_xy = _kernels.rbf_kernel_sums(x, y, gamma)

    def gram(a, b):
        return np.exp(-gamma * ((a * a).sum(1)[:, None] + (b * b).sum(1)[None, :] - 2 * a @ b.T))

    assert 2 * sum_xx + 300 == pytest.approx(gram(x, x).sum(), rel=1e-10)
    assert 2 * sum_yy + 200 == pytest.approx(gram(y, y).sum(), rel=1e-10)
    assert sum_xy == pytest.approx(gram(x, y).sum(), rel=1e-10)


samples = st.one_of(
    hnp.arrays(
        np.float64,
        st.integers(1, 12),
        elements=st.one_of(st.floats(-1e9, 1e9, allow_nan=False, allow_infinity=False), st.integers(-5, 5).map(float)),
    ),
    matrices(max_rows=2000, features=st.just(1)).map(lambda matrix: matrix[:, 0]),
)


@settings(max_examples=100, deadline=None)
@given(x=samples, y=samples)
def test_ks_wasserstein_matches_numpy(x, y):
    assert _kernels.ks_wasserstein(x, y) == reference.ks_wasserstein(x, y)


@settings(max_examples=50, deadline=None)
@given(x=samples, y=samples)
def test_ks_wasserstein_agrees_with_scipy(x, y):
    ks, wasserstein = _kernels.ks_wasserstein(x, y)
    with np.errstate(all="ignore"):  # scipy's p-value of one-element samples divides by zero
        expected_ks = stats.ks_2samp(x, y, method="asymp").statistic
    assert ks == pytest.approx(expected_ks, abs=1e-12)
    assert wasserstein == pytest.approx(
        stats.wasserstein_distance(x, y), rel=1e-9, abs=1e-9 * (np.ptp(np.concatenate([x, y])) + 1)
    )


@pytest.mark.parametrize(
    "x, y",
    [(np.array([]), np.array([1.0])), (np.array([2.0, 1.0]), np.array([1.0])), (np.array([np.inf]), np.array([1.0]))],
)
def test_ks_wasserstein_sorted_refuses_bad_input(x, y):
    with pytest.raises(ValueError):
        _metric_kernels.ks_wasserstein_sorted(x, y)


def coded_rows(data, n_rows, flags, n_codes):
    """Rows of numbers (rounded, for ties) and category codes below ``n_codes``."""
    seed = data.draw(st.integers(0, 2**32 - 1))
    rng = np.random.RandomState(seed)
    rows = np.round(
        rng.normal(scale=data.draw(st.sampled_from([0.3, 2.0, 1e3])), size=(n_rows, len(flags))),
        data.draw(st.sampled_from([0, 1, 3])),
    )
    for feature in np.flatnonzero(flags):
        rows[:, feature] = rng.randint(0, n_codes, size=n_rows)
    return rows


@settings(max_examples=60, deadline=None)
# Up to 700 reference rows: several 256-row tiles; up to 300 queries: several 128-row groups.
@given(
    data=st.data(),
    flags=st.lists(st.booleans(), min_size=1, max_size=6),
    n_codes=st.integers(1, 5),
    k=st.integers(1, 7),
    threads=st.integers(0, 3),
)
def test_coded_nearest_neighbours_match_the_one_hot_search(data, flags, n_codes, k, threads):
    flags = np.array(flags, dtype=np.uint8)
    n_query, n_reference = data.draw(st.integers(1, 300)), data.draw(st.integers(k, 700))
    query, reference_rows = coded_rows(data, n_query, flags, n_codes), coded_rows(data, n_reference, flags, n_codes)
    # Pin every code once so that both one-hot expansions have the same blocks.
    reference_rows[: min(n_codes, n_reference), flags == 1] = np.arange(min(n_codes, n_reference))[:, None]
    query[:, flags == 1] = np.minimum(query[:, flags == 1], reference_rows[:, flags == 1].max(axis=0))
    indicator = 1.0 / np.sqrt(2.0)
    distances, positions = _metric_kernels.coded_nearest_neighbours(
        query, reference_rows, flags, (indicator - 0.0) * (indicator - 0.0), k, threads
    )
    stacked = reference.one_hot(np.vstack([reference_rows, query]), flags, indicator)
    expected_distances, expected_positions = reference.nearest_neighbours(
        stacked[n_reference:], stacked[:n_reference], k
    )
    np.testing.assert_array_equal(positions, expected_positions)
    np.testing.assert_array_equal(distances, expected_distances)


@pytest.mark.parametrize(
    "query, reference_rows, flags, k",
    [
        (np.zeros((2, 3)), np.zeros((2, 2)), np.zeros(3), 1),
        (np.zeros((2, 3)), np.zeros((2, 3)), np.zeros(2), 1),
        (np.zeros((2, 3)), np.zeros((2, 3)), np.zeros(3), 3),
        (np.array([[np.inf, 0.0]]), np.zeros((2, 2)), np.zeros(2), 1),
    ],
)
def test_coded_nearest_neighbours_refuse_bad_input(query, reference_rows, flags, k):
    with pytest.raises(ValueError):
        _metric_kernels.coded_nearest_neighbours(query, reference_rows, flags, 0.5, k, 1)


column_values = hnp.arrays(
    np.float64,
    st.integers(0, 300),
    elements=st.one_of(st.integers(-3, 3).map(float), st.floats(allow_nan=True, allow_infinity=True), st.just(-0.0)),
)


@settings(max_examples=100, deadline=None)
@given(values=column_values, data=st.data())
def test_sorting_and_ranking_kernels_match_numpy_and_pandas(values, data):
    order, n_finite = _metric_kernels.finite_argsort(values)
    expected_order, expected_finite = reference.finite_argsort(values)
    assert n_finite == expected_finite
    np.testing.assert_array_equal(order, expected_order)
    mask = np.array(data.draw(st.lists(st.booleans(), min_size=len(values), max_size=len(values))), dtype=bool)
    for keep in (None, mask):
        got = _metric_kernels.average_ranks(values, order[:n_finite], None if keep is None else keep.view(np.uint8))
        np.testing.assert_array_equal(got, reference.average_ranks(values, keep))


def test_digests_tell_contents_dtypes_and_shapes_apart():
    values = np.arange(3 * 2**17, dtype=np.float64)  # 3 MiB: hashed in pieces
    changed = values.copy()
    changed[-1] = -changed[-1]
    digest = _kernels.content_digest(values)
    assert len(digest) == 32 and digest == _kernels.content_digest(values.copy())
    assert digest != _kernels.content_digest(changed)
    assert digest != _kernels.content_digest(values[:-1])
    assert digest != _kernels.content_digest(values.view(np.int64))
    assert _kernels.content_digest(values.reshape(3, -1)) != _kernels.content_digest(values.reshape(-1, 3))
    # Object cells are digested by value and type; new objects of equal text are equal.
    labels = np.array(["label_a", "é", None, np.nan, pd.NA, 1, 1.0, True], dtype=object)
    equal = np.array(["".join(["label", "_a"]), "é", None, float("nan"), pd.NA, 1, 1.0, True], dtype=object)
    assert _kernels.cell_digest(labels) == _kernels.cell_digest(equal)
    for position, other in [(0, "label_b"), (2, pd.NA), (4, None), (5, True), (6, 1), (7, 1)]:
        altered = labels.copy()
        altered[position] = other
        assert _kernels.cell_digest(altered) != _kernels.cell_digest(labels), position
    for unknown in ([1], {"a": 1}, np.zeros(2), 2**70, np.float64(1.0)):
        cells = np.empty(2, dtype=object)
        cells[:] = ["a", None]
        cells[1] = unknown
        assert _kernels.cell_digest(cells) is None
    with pytest.raises(TypeError):
        _kernels.content_digest(labels)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_repeated_kernel_calls_keep_memory_flat():
    rng = np.random.RandomState(2)
    rows = rng.normal(size=(2000, 50))
    column = rng.normal(size=20000)

    def calls():
        _kernels.nearest_neighbours(rows, rows, k=3, exclude_self=True)
        _kernels.rbf_kernel_sums(rows[:300], rows[300:600], 0.1)
        _kernels.ks_wasserstein(column, column[::-1])

    calls()
    before = resident_bytes()
    for _ in range(40):
        calls()
    # Each round copies ~0.8 MB of features and returns ~0.1 MB; a leak of either would
    # add tens of megabytes.
    assert resident_bytes() - before < 8 * 2**20


@pytest.mark.parametrize("headroom_mb", [2, 12])
def test_kernels_finish_when_threads_cannot_start(headroom_mb):
    # An address-space limit just above what is mapped leaves room for no new thread
    # stack (2 MB) or for one only (12 MB): the calling thread does the rest of the work.
    code = f"""
import resource, numpy as np
from velmora._metric_core import _metric_kernels
rows = np.random.RandomState(0).normal(size=(3000, 4))
expected = (_metric_kernels.nearest_neighbours(rows, rows, 2, True, 1),
            _metric_kernels.rbf_kernel_sums(rows, rows, 0.1, 1))
size = int(open('/proc/self/statm').read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + ({headroom_mb} << 20), resource.RLIM_INFINITY))
got = _metric_kernels.nearest_neighbours(rows, rows, 2, True, 4), _metric_kernels.rbf_kernel_sums(rows, rows, 0.1, 4)
print(all(np.array_equal(a, b) for a, b in zip(got[0], expected[0])), np.allclose(got[1], expected[1], rtol=1e-12))
"""
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert completed.stdout.split() == ["True", "True"]
