"""velmora.privacy.protect: outputs in their domain and dtype, the ledger, the budget
and its enforcement before any draw, domains read from the data, and bad input."""

import json
import logging

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora.privacy import DATA_BOUNDS_NOTE, BudgetExceededError, accounting, protect

LOGGER = "velmora.privacy.release"


def table(rows=400, seed=0):
    rng = np.random.default_rng(seed)
    missing = rng.random(rows) < 0.1
    return pd.DataFrame(
        {
            "income": rng.normal(50000, 12000, rows),
            "ratio": rng.random(rows).astype(np.float32),
            "age": rng.integers(18, 90, rows),
            "small": rng.integers(-5, 5, rows).astype(np.int8),
            "huge": rng.integers(0, 2**63, rows, dtype=np.uint64) * np.uint64(2),
            "children": pd.array(np.where(missing, None, rng.integers(0, 6, rows)), dtype="Int64"),
            "score": pd.array(np.where(missing, None, rng.normal(0, 1, rows)), dtype="Float64"),
            "member": rng.random(rows) < 0.3,
            "active": pd.array(np.where(missing, None, rng.random(rows) < 0.5), dtype="boolean"),
            "city": rng.choice(["Lyon", "Porto", "Turku"], rows).astype(object),
            "plan": pd.Categorical(rng.choice(["free", "pro"], rows), categories=["free", "pro", "team"]),
            "label": pd.array(np.where(missing, None, rng.choice(["a", "b"], rows)), dtype="string"),
            "month": rng.integers(1, 13, rows),
        }
    )


BOUNDS = {
    "income": (0, 150000),
    "ratio": (0.0, 1.0),
    "age": (18, 90),
    "small": (-5.5, 4.5),
    "huge": (0, 2**64 - 1),
    "children": (0, 10),
    "score": (-3, 3),
}
CATEGORIES = {
    "city": ["Lyon", "Porto", "Turku"],
    "plan": ["free", "pro", "team"],
    "label": ["a", "b", None],
    "active": [False, True],
    "month": list(range(1, 13)),
}


def test_every_column_keeps_its_dtype_and_domain():
    df = table()
    out, ledger = protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=1)
    assert list(out.dtypes) == list(df.dtypes)
    assert out.index.equals(df.index) and list(out.columns) == list(df.columns)
    for column, (low, high) in BOUNDS.items():
        values = out[column]
        assert values.notna().all() and values.between(low, high).all(), column
    assert out["small"].between(-5, 4).all()  # the whole numbers within [-5.5, 4.5]
    for column, allowed in CATEGORIES.items():
        assert set(out[column].dropna()) <= set(value for value in allowed if value is not None), column
    assert out["label"].isna().any()  # None is one of its categories
    assert out["member"].dtype == bool and out["member"].any() and not out["member"].all()
    assert list(out["plan"].cat.categories) == ["free", "pro", "team"]
    assert ledger.differentially_private and ledger.reasons == ()
    assert ledger.epsilon == ledger.epsilon_basic == len(df.columns)


def test_input_is_left_as_it_was():
    df = table()
    copy = df.copy()
    protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=1)
    pd.testing.assert_frame_equal(df, copy)


def test_a_ten_column_release_at_epsilon_one_spends_ten():
    df = pd.DataFrame({f"c{i}": np.arange(50.0) for i in range(10)})
    _, ledger = protect(df, epsilon=1.0, bounds={column: (0, 49) for column in df}, random_state=0)
    assert ledger.epsilon_basic == 10.0 and ledger.delta == 0.0 and ledger.epsilon_zcdp is None
    data = json.loads(ledger.to_json())
    assert list(data) == [
        "differentially_private",
        "reasons",
        "neighbouring",
        "rows",
        "method",
        "per_record",
        "budget",
        "columns",
    ]
    assert data["per_record"] == {
        "epsilon": 10.0,
        "delta": 0.0,
        "accounting": "basic composition",
        "basic_composition": {"epsilon": 10.0, "delta": 0.0},
        "zcdp": None,
    }
    assert [entry["scale"] for entry in data["columns"]] == [49.0] * 10  # (high - low) / epsilon
    assert "Per record: epsilon 10, delta 0 (basic composition)" in ledger.summary()
    assert str(ledger) == ledger.summary()
    assert ledger.to_json() == protect(df, epsilon=1.0, bounds={c: (0, 49) for c in df}, random_state=5)[1].to_json()


def test_a_plan_over_budget_is_refused_before_any_draw():
    df = table()
    generator = np.random.default_rng(3)
    state = generator.bit_generator.state
    np.random.seed(11)
    global_state = np.random.get_state()
    with pytest.raises(BudgetExceededError) as refused:
        protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, total_epsilon=5.0, random_state=generator)
    message = str(refused.value)
    assert message.startswith(
        "the release would spend epsilon 13 per record (basic composition) over "
        "total_epsilon 5; epsilon per column: income 1, ratio 1, age 1,"
    )
    assert refused.value.costs["city"] == (1.0, 0.0)
    assert generator.bit_generator.state == state
    after = np.random.get_state()
    assert after[0] == global_state[0] and np.array_equal(after[1], global_state[1]) and after[2:] == global_state[2:]


def test_total_delta_is_enforced_too():
    df = pd.DataFrame({"x": np.arange(10.0), "y": np.arange(10.0)})
    with pytest.raises(
        BudgetExceededError,
        match=r"delta 2e-05 per record over total_delta 1e-05; delta per "
        r"column: x 1e-05, y 1e-05",
    ):
        protect(df, epsilon=0.5, delta=1e-5, method="gaussian", bounds={"x": (0, 9), "y": (0, 9)}, total_delta=1e-5)


@pytest.mark.parametrize(
    "weights, expected",
    [
        (None, [0.5, 0.5, 0.5, 0.5]),
        ({"a": 3.0, "b": 1.0}, [1.0, 1 / 3, 1 / 3, 1 / 3]),
    ],
)
def test_total_epsilon_is_split_equally_or_by_weight(weights, expected):
    df = pd.DataFrame({name: np.arange(20.0) for name in "abcd"})
    _, ledger = protect(df, total_epsilon=2.0, weights=weights, bounds={c: (0, 19) for c in df}, random_state=0)
    assert [entry.epsilon for entry in ledger.charges] == pytest.approx(expected, rel=1e-12)
    assert ledger.epsilon_basic <= 2.0
    assert ledger.allocation.startswith("by weights" if weights else "equal shares")


def test_a_gaussian_split_over_many_columns_goes_through_zcdp():
    df = pd.DataFrame({f"c{i}": np.arange(30.0) for i in range(20)})
    bounds = {column: (0, 29) for column in df}
    _, ledger = protect(df, method="gaussian", total_epsilon=1.0, total_delta=1e-5, bounds=bounds, random_state=0)
    assert ledger.allocation == "equal shares of total_epsilon, zCDP"
    assert ledger.epsilon == ledger.epsilon_zcdp <= 1.0 < ledger.epsilon_basic
    assert ledger.delta == pytest.approx(1e-5)
    rho = accounting.zcdp_rho(1.0, ledger.delta)
    assert ledger.rho <= rho and ledger.rho == pytest.approx(rho, rel=1e-8)
    # Under basic composition each column would get epsilon 0.05: over three times the noise.
    basic = accounting.analytic_gaussian_sigma(29.0, 0.05, 0.5e-6)
    assert ledger.charges[0].scale < basic / 3
    # One column alone: the exact calibration at (1, 1e-5) is tighter than the zCDP route.
    _, one = protect(df[["c0"]], method="gaussian", total_epsilon=1.0, total_delta=1e-5, bounds={"c0": (0, 29)})
    assert one.allocation.endswith("basic composition")
    assert one.charges[0].scale == accounting.analytic_gaussian_sigma(29.0, 1.0, 1e-5)


def test_domains_read_from_the_data_are_marked_and_logged(caplog):
    df = table()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out, ledger = protect(df[["income", "city", "member"]], epsilon=1.0, random_state=0)
    warnings = [record.getMessage() for record in caplog.records if record.name == LOGGER]
    assert warnings == [
        f"column 'income': {DATA_BOUNDS_NOTE} (its bounds were read from the table itself; give them to protect it)",
        f"column 'city': {DATA_BOUNDS_NOTE} (its categories were read from the table itself; give them to protect it)",
    ]
    assert not ledger.differentially_private
    assert ledger.reasons == (f"column 'income': {DATA_BOUNDS_NOTE}", f"column 'city': {DATA_BOUNDS_NOTE}")
    assert ledger.charge("income").bounds == (df["income"].min(), df["income"].max())
    assert ledger.charge("member").source == "dtype" and ledger.charge("member").private
    assert f"income: {DATA_BOUNDS_NOTE}" in ledger.summary()
    assert out["income"].between(df["income"].min(), df["income"].max()).all()


def test_preserved_columns_and_a_labelled_index_make_the_release_not_private():
    df = table().set_index(pd.Index([f"r{i}" for i in range(400)]))
    out, ledger = protect(
        df[["income", "city"]], epsilon=1.0, bounds={"income": BOUNDS["income"]}, preserve=["city"], random_state=0
    )
    assert out["city"].tolist() == df["city"].tolist()
    assert ledger.charge("city").mechanism == "none" and ledger.charge("city").epsilon == 0.0
    assert ledger.epsilon_basic == 1.0
    assert ledger.reasons == (
        "column 'city': released as is: not differentially private",
        "the row index is released as is and is not the default one (0, 1, 2, ...)",
    )


def test_the_same_seed_gives_the_same_release_and_a_generator_is_drawn_from():
    df = table()
    first, _ = protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=7)
    again, _ = protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=7)
    pd.testing.assert_frame_equal(first, again)
    generator = np.random.default_rng(7)
    one, _ = protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=generator)
    two, _ = protect(df, epsilon=1.0, bounds=BOUNDS, categories=CATEGORIES, random_state=generator)
    pd.testing.assert_frame_equal(one, first)
    assert not one.equals(two)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({}, ValueError, "give epsilon .per column. or total_epsilon"),
        ({"epsilon": 0}, ValueError, "epsilon must be a positive finite number"),
        ({"epsilon": True}, TypeError, "epsilon must be a number"),
        ({"epsilon": 1, "method": "minimal"}, ValueError, "unknown method 'minimal'"),
        ({"epsilon": 1, "delta": 1e-5}, ValueError, "delta is spent by Gaussian noise only"),
        ({"epsilon": 1, "method": "gaussian"}, ValueError, "Gaussian noise needs delta"),
        ({"epsilon": 1, "weights": {"x": 2}}, ValueError, "weights split total_epsilon"),
        ({"epsilon": 1, "bounds": {"nope": (0, 1)}}, ValueError, "bounds names no column of the frame: 'nope'"),
        ({"epsilon": 1, "bounds": {"x": (5, 1)}}, ValueError, "must have low <= high"),
        ({"epsilon": 1, "bounds": {"x": (0, float("inf"))}}, ValueError, "must be finite"),
        ({"epsilon": 1, "bounds": {"n": (0, 300)}}, ValueError, r"leave the range of its dtype int8 \[-128, 127\]"),
        ({"epsilon": 1, "bounds": {"n": (0.2, 0.8)}}, ValueError, "hold no whole number"),
        ({"epsilon": 1, "bounds": {"t": ["a"]}}, ValueError, "takes categories, not bounds"),
        (
            {"epsilon": 1, "bounds": {"x": (0, 1)}, "categories": {"n": [1.5]}},
            ValueError,
            "must be values of its dtype int8, not 1.5",
        ),
        ({"epsilon": 1, "categories": {"t": ["a", "a"]}}, ValueError, "repeat 'a'"),
        ({"epsilon": 1, "categories": {"t": []}}, ValueError, "must not be empty"),
        ({"epsilon": 1, "preserve": ["x"], "bounds": {"x": (0, 1)}}, ValueError, "preserved and also given a domain"),
        ({"epsilon": 1, "random_state": "seed"}, TypeError, "random_state must be None, an int"),
        ({"epsilon": 1e-310}, ValueError, "epsilon of column 'x' is so small that its noise overflows"),
    ],
)
def test_bad_arguments_are_refused(kwargs, error, message):
    df = pd.DataFrame({"x": [0.5, 0.7], "n": np.array([1, 2], dtype=np.int8), "t": ["a", "b"]})
    with pytest.raises(error, match=message):
        protect(df, **{"bounds": {"x": (0, 1), "n": (0, 9)}, **kwargs})


@pytest.mark.parametrize(
    "df, message",
    [
        (pd.DataFrame({"when": pd.to_datetime(["2024-01-01"])}), r"'when' \(datetime64\[\w+\]\) has no mechanism here"),
        (pd.DataFrame([[1.0, 2.0]], columns=["x", "x"]), "column labels repeat: 'x'"),
        (pd.DataFrame({"x": [np.nan, np.nan]}), "no values to read bounds from"),
        (pd.DataFrame({"x": [1.0, np.inf]}), "holds infinite values"),
    ],
)
def test_columns_without_a_mechanism_are_refused(df, message):
    with pytest.raises(ValueError, match=message):
        protect(df, epsilon=1.0)


@st.composite
def numeric_frames(draw):
    rows = draw(st.integers(1, 40))
    dtype = draw(st.sampled_from(["float64", "float32", "int64", "int16", "uint32", "Int64", "Float64"]))
    info = np.iinfo(dtype.lower()) if "int" in dtype.lower() else None
    low_limit, high_limit = (int(info.min), int(info.max)) if info else (-1e9, 1e9)
    width = 32 if dtype == "float32" else 64  # float32 bounds that hold a float32 value
    low = draw(st.integers(low_limit, high_limit) if info else st.floats(low_limit, high_limit, width=width))
    high = draw(st.integers(low, high_limit) if info else st.floats(low, high_limit, width=width))
    if info:
        values = st.integers(low_limit, high_limit)
    else:
        values = st.floats(-(2.0**40), 2.0**40, width=width)
    cells = draw(st.lists(values, min_size=rows, max_size=rows))
    return pd.DataFrame({"v": pd.array(cells, dtype=dtype)}), low, high


@given(
    frame=numeric_frames(),
    epsilon=st.sampled_from([0.01, 1.0, 50.0]),
    seed=st.integers(0, 1000),
    method=st.sampled_from(["laplace", "gaussian"]),
)
def test_outputs_stay_within_bounds_in_the_column_dtype(frame, epsilon, seed, method):
    df, low, high = frame
    delta = 1e-6 if method == "gaussian" else None
    out, _ = protect(df, epsilon=epsilon, delta=delta, method=method, bounds={"v": (low, high)}, random_state=seed)
    assert out["v"].dtype == df["v"].dtype
    assert out["v"].notna().all()
    assert ((out["v"] >= low) & (out["v"] <= high)).all()


@pytest.mark.parametrize("method", ["laplace", "gaussian"])
def test_a_bigger_epsilon_never_means_more_noise(method):
    df = table(rows=2000, seed=4)[["income", "age", "city", "member"]]
    bounds = {"income": BOUNDS["income"], "age": BOUNDS["age"]}
    categories = {"city": CATEGORIES["city"]}
    delta = 1e-6 if method == "gaussian" else None
    releases = [
        protect(df, epsilon=epsilon, delta=delta, method=method, bounds=bounds, categories=categories, random_state=9)[
            0
        ]
        for epsilon in (0.1, 0.5, 1.0, 4.0, 32.0)
    ]
    for numeric in ("income", "age"):
        errors = [np.abs(out[numeric].to_numpy(float) - df[numeric].to_numpy(float)) for out in releases]
        for looser, tighter in zip(errors, errors[1:]):
            assert (tighter <= looser + 1e-6 * (bounds[numeric][1] - bounds[numeric][0])).all(), numeric
        assert errors[-1].mean() < errors[0].mean() / 2
    for categorical in ("city", "member"):
        changed = [out[categorical].to_numpy() != df[categorical].to_numpy() for out in releases]
        for looser, tighter in zip(changed, changed[1:]):
            assert not (tighter & ~looser).any(), categorical
        assert changed[-1].sum() == 0 < changed[0].sum()
