"""The grid release kernel against its plain transcription (grid_reference): the same
words drawn, the same values bit for bit, on every thread count."""

import math

import grid_reference as reference
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora.privacy._privacy_kernels import release_on_grid

GRID_STEPS = 1 << 20


def both(values, missing, low, high, steps, step, noise, scale, seed, threads=0):
    kernel = release_on_grid(
        values, missing, low, high, steps, step, noise, scale, np.random.default_rng(seed), threads
    )
    plain = reference.release_on_grid(
        values, missing, low, high, steps, step, noise, scale, np.random.default_rng(seed)
    )
    return kernel, plain


@st.composite
def float_columns(draw):
    size = draw(st.integers(0, 60))
    low = draw(st.floats(-1e6, 1e6))
    span = draw(st.sampled_from([0.0, 1e-9, 1.0, 37.5, 1e6]))
    values = draw(
        st.lists(
            st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(low - span, low + 2 * span)),
            min_size=size,
            max_size=size,
        )
    )
    steps = GRID_STEPS if span > 0 else 0
    return np.array(values, dtype=np.float64), low, low + span, steps, (span / GRID_STEPS) if steps else 1.0


@given(
    column=float_columns(),
    noise=st.sampled_from(["laplace", "gaussian"]),
    epsilon=st.sampled_from([1e-3, 0.5, 1.0, 8.0, 60.0]),
    seed=st.integers(0, 2**32 - 1),
    threads=st.sampled_from([1, 3]),
)
def test_float_columns_match_the_transcription(column, noise, epsilon, seed, threads):
    values, low, high, steps, step = column
    kernel, plain = both(values, None, low, high, steps, step, noise, steps / epsilon, seed, threads)
    assert kernel.dtype == np.float64
    assert kernel.tolist() == plain
    assert all(low <= v <= high for v in plain)


@st.composite
def integer_columns(draw):
    dtype = draw(st.sampled_from([np.int64, np.uint64]))
    info = np.iinfo(dtype)
    low = draw(st.integers(int(info.min), int(info.max)))
    high = draw(st.one_of(st.integers(low, min(int(info.max), low + 50)), st.integers(low, int(info.max))))
    size = draw(st.integers(0, 60))
    values = draw(st.lists(st.integers(int(info.min), int(info.max)), min_size=size, max_size=size))
    missing = draw(st.one_of(st.none(), st.lists(st.booleans(), min_size=size, max_size=size)))
    span = high - low
    steps = min(span, GRID_STEPS)
    step = 1.0 if steps in (0, span) else span / steps
    return (
        np.array(values, dtype=dtype),
        None if missing is None else np.array(missing, dtype=bool),
        low,
        high,
        steps,
        step,
    )


@given(
    column=integer_columns(),
    noise=st.sampled_from(["laplace", "gaussian"]),
    epsilon=st.sampled_from([0.01, 1.0, 30.0]),
    seed=st.integers(0, 2**32 - 1),
)
def test_integer_columns_match_the_transcription_exactly(column, noise, epsilon, seed):
    values, missing, low, high, steps, step = column
    kernel, plain = both(values, missing, low, high, steps, step, noise, max(steps, 1) / epsilon, seed)
    assert kernel.dtype == values.dtype
    assert [int(v) for v in kernel] == plain
    assert all(low <= v <= high for v in plain)


@pytest.mark.parametrize("noise", ["laplace", "gaussian"])
def test_several_blocks_on_several_threads(noise):
    # A full block and an odd remainder, with missing values: the blocks, their fill
    # words and their refinement words in their order (the ring of blocks is the C++
    # tests' business).
    rng = np.random.default_rng(3)
    values = rng.normal(0.0, 1.0, reference.BLOCK_CELLS + 7)
    values[rng.random(len(values)) < 0.01] = np.nan
    step = 8.0 / GRID_STEPS
    kernel, plain = both(values, None, -4.0, 4.0, GRID_STEPS, step, noise, GRID_STEPS / 0.7, 11, threads=2)
    assert kernel.tolist() == plain
    single = release_on_grid(
        values, None, -4.0, 4.0, GRID_STEPS, step, noise, GRID_STEPS / 0.7, np.random.default_rng(11), 1
    )
    assert np.array_equal(kernel, single)


def test_draws_advance_the_generator_as_documented():
    generator = np.random.default_rng(5)
    values = np.array([0.5, np.nan, 2.0])
    release_on_grid(values, None, 0.0, 4.0, GRID_STEPS, 4.0 / GRID_STEPS, "laplace", 10.0, generator)
    words = np.random.default_rng(5).bit_generator.random_raw(3 + 3)  # noise words, then fill words
    refinements = int(np.count_nonzero((words[:3] >> np.uint64(11)) < np.uint64(reference.REFINEMENT_BELOW)))
    expected = np.random.default_rng(5)
    expected.bit_generator.random_raw(6 + refinements)
    assert generator.bit_generator.state == expected.bit_generator.state


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros((2, 2)), None, 0.0, 1.0, 4, 0.25, "laplace", 1.0), "contiguous one-dimensional"),
        ((np.zeros(3, dtype=np.float32), None, 0.0, 1.0, 4, 0.25, "laplace", 1.0), "float64, int64 or uint64"),
        ((np.zeros(3), np.zeros(2, dtype=bool), 0.0, 1.0, 4, 0.25, "laplace", 1.0), "as long as values"),
        ((np.zeros(3), None, 0.0, 1.0, 4, 0.25, "cauchy", 1.0), "'laplace' or 'gaussian'"),
        ((np.zeros(3), None, 1.0, 0.0, 4, 0.25, "laplace", 1.0), "The grid is empty"),
        ((np.zeros(3), None, 0.0, 1.0, 4, 0.25, "laplace", math.inf), "finite and positive"),
    ],
)
def test_bad_arguments_are_refused_before_any_draw(args, message):
    generator = np.random.default_rng(1)
    before = generator.bit_generator.state
    with pytest.raises(ValueError, match=message):
        release_on_grid(*args, generator)
    assert generator.bit_generator.state == before


def test_generator_must_be_numpy_s():
    with pytest.raises(TypeError, match="Generator or BitGenerator"):
        release_on_grid(np.zeros(3), None, 0.0, 1.0, 4, 0.25, "laplace", 1.0, np.random.RandomState(0))
