"""The mechanisms of a protected release.

Numeric cells are released on a grid (the C++ kernel ``_privacy_kernels``): a value
clipped into its public bounds [low, high] becomes a whole number of grid steps ``k`` in
[0, K] (``K`` steps of ``(high - low) / K``); integer noise, Laplace or Gaussian noise
rounded to a whole number of steps, is added, the sum clipped back into [0, K] and
mapped back to the column's units. The released value is a function of the whole
number ``k + noise`` alone, so its floating-point bits carry nothing more about the
input: the attack on textbook floating-point Laplace noise (Mironov, "On Significance of
the Least Significant Bits for Differential Privacy", CCS 2012), which reads the input
from the low-order bits of ``x + noise``, has nothing to read. Rounding the noise is
post-processing of the continuous mechanism on ``k``, whose sensitivity under
replace-one neighbouring is ``K`` steps, so a Laplace scale of ``K / epsilon`` steps,
that is ``(high - low) / epsilon`` in the column's units, gives epsilon-DP, and Gaussian
noise calibrated to the sensitivity ``K`` its (epsilon, delta).

The noise is drawn from 64-bit words of the column's PCG64 stream: a Laplace variate as
a random sign times ``-log(u)``, a Gaussian pair by Box-Muller, where ``u`` is uniform
on the midpoints of 2**106 equal cells of (0, 1), so that the far tails, which a large
epsilon relies on (the probability that a value moves from one end of its bounds to the
other is about exp(-epsilon)), are drawn as finely as the middle: a 53-bit uniform
would leave grid values unreachable beyond epsilon of about 25 to 35.

Categorical cells get k-ary randomized response over the public categories (Warner,
"Randomized Response", JASA 1965; for k categories, Kairouz, Oh & Viswanath, "Extremal
Mechanisms for Local Differential Privacy", JMLR 2016, show it optimal in the high
privacy regime): a cell keeps its category with probability e^eps / (e^eps + k - 1)
and otherwise takes one of the other k - 1, uniformly. It is the exponential mechanism
(McSherry & Talwar, FOCS 2007) with the score "equals the true category".

A cell outside the public domain (a missing value where the domain has no missing
category, a category not in the list) is first replaced by a random value of the
domain; the mechanism then treats it like any other. A mixture of the mechanism's
outputs is within the same factor e^eps of every input's, so this costs no budget.

Every column draws in fixed numbers (so with the same seed a larger epsilon moves no
cell further and changes no cell that a smaller one keeps) from its own stream; numpy's
global generator is never used.
"""

import numpy as np

__all__ = ["GRID_STEPS", "randomized_response"]

# Steps of the grid of a float column, and the most steps of an integer column (one per
# whole number up to that): a grid step is a millionth of the bounds' span, far below
# the noise for any epsilon up to hundreds of thousands.
GRID_STEPS = 1 << 20


def randomized_response(codes: np.ndarray, categories: int, flip: float, rng: np.random.Generator) -> np.ndarray:
    """k-ary randomized response on category codes in [0, categories): each code is
    kept unless a uniform draw falls below ``flip``, and is then replaced by one of
    the other codes, uniformly. Draws one uniform and one integer per code."""
    size = len(codes)
    if categories <= 1:
        rng.random(size)
        return np.zeros(size, dtype=np.int64)
    flipped = rng.random(size) < flip
    others = rng.integers(0, categories - 1, size=size, dtype=np.int64)
    # Skipping the own code turns a draw from k - 1 values into one of the others.
    others += others >= codes
    return np.where(flipped, others, codes)
