"""Privacy accounting: calibrating the mechanisms to a budget and composing their costs.

Every function here is about numbers only (no data is touched):

- ``analytic_gaussian_sigma`` and ``analytic_gaussian_epsilon``: the exact calibration
  of the Gaussian mechanism (Balle & Wang, "Improving the Gaussian Mechanism for
  Differential Privacy: Analytical Calibration and Optimal Denoising", ICML 2018,
  Theorem 8), valid for every epsilon > 0 and 0 < delta < 1. The classical bound
  ``sigma = sensitivity * sqrt(2 ln(1.25 / delta)) / epsilon`` (Dwork & Roth 2014,
  Theorem A.1) holds only for epsilon < 1 and gives more noise; it is not used here.
- zero-concentrated differential privacy (zCDP, Bun & Steinke, "Concentrated
  Differential Privacy: Simplifications, Extensions, and Lower Bounds", TCC 2016): the
  Gaussian mechanism is ``sensitivity**2 / (2 sigma**2)``-zCDP (their Proposition 1.6),
  an epsilon-DP mechanism is ``epsilon**2 / 2``-zCDP (Proposition 1.4), rho adds up
  under composition (Lemma 1.7) and rho-zCDP implies
  ``(rho + 2 sqrt(rho ln(1 / delta)), delta)``-DP for every delta > 0 (Proposition 1.3).
- ``randomized_response_keep`` and ``randomized_response_flip``: the probabilities of
  k-ary randomized response.
"""

import math
from typing import Sequence

__all__ = [
    "analytic_gaussian_delta",
    "analytic_gaussian_sigma",
    "analytic_gaussian_epsilon",
    "gaussian_rho",
    "zcdp_epsilon",
    "zcdp_rho",
    "randomized_response_keep",
    "randomized_response_flip",
    "split",
]

_ROOT_HALF = math.sqrt(0.5)
_LOG_ROOT_TWO_PI = 0.5 * math.log(2.0 * math.pi)


def _normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x * _ROOT_HALF)


def _log_normal_cdf(x: float) -> float:
    """log Phi(x), also where Phi(x) underflows (its asymptotic series below -37,
    accurate there to far better than 1e-12)."""
    if x > -37.0:
        return math.log(0.5 * math.erfc(-x * _ROOT_HALF))
    inverse = 1.0 / (x * x)
    series = 1.0 - inverse * (1.0 - 3.0 * inverse * (1.0 - 5.0 * inverse * (1.0 - 7.0 * inverse)))
    return -0.5 * x * x - math.log(-x) - _LOG_ROOT_TWO_PI + math.log(series)


# Bisection steps: each halves the bracket, so 200 steps take it below one unit in the
# last place of a double; the bracket's safe end is returned.
_BISECTION_STEPS = 200

# Noise a relative 1e-9 above the exact calibration: the rounding of the arithmetic
# around it (a product with the sensitivity, the grid's steps) then cannot take it
# below, and no one can tell the noise apart.
ROUNDING_MARGIN = 1e-9


def analytic_gaussian_delta(noise_multiplier: float, epsilon: float) -> float:
    """The smallest delta for which adding N(0, sigma**2) to a value of sensitivity
    Delta, with ``noise_multiplier = sigma / Delta``, is (epsilon, delta)-DP:
    ``Phi(1/(2s) - epsilon s) - exp(epsilon) Phi(-1/(2s) - epsilon s)`` (Balle & Wang
    2018, Theorem 8). It falls as the multiplier or epsilon grows."""
    a = 0.5 / noise_multiplier
    b = epsilon * noise_multiplier
    # exp(epsilon) * Phi(x) through logarithms, which neither overflows nor underflows.
    return _normal_cdf(a - b) - math.exp(min(epsilon + _log_normal_cdf(-a - b), 709.0))


def _check_budget(epsilon: float, delta: float) -> None:
    if not (epsilon > 0 and math.isfinite(epsilon)):
        raise ValueError(f"epsilon must be a positive finite number, not {epsilon!r}")
    if not 0 < delta < 1:
        raise ValueError(f"delta must lie between 0 and 1 (exclusive), not {delta!r}")


def analytic_gaussian_sigma(sensitivity: float, epsilon: float, delta: float) -> float:
    """The smallest standard deviation of Gaussian noise that makes a value of L2
    sensitivity ``sensitivity`` (epsilon, delta)-differentially private, never below it
    (found to a double's precision, then raised by ``ROUNDING_MARGIN``)."""
    _check_budget(epsilon, delta)
    if sensitivity == 0:
        return 0.0
    low, high = 0.0, 1.0
    while analytic_gaussian_delta(high, epsilon) > delta:
        low, high = high, high * 2.0
    if low == 0.0:
        low = high
        while low > 1e-300 and analytic_gaussian_delta(low, epsilon) <= delta:
            high, low = low, low / 2.0
    for _ in range(_BISECTION_STEPS):
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if analytic_gaussian_delta(middle, epsilon) > delta:
            low = middle
        else:
            high = middle
    return high * (1.0 + ROUNDING_MARGIN) * sensitivity


def analytic_gaussian_epsilon(noise_multiplier: float, delta: float) -> float:
    """The smallest epsilon (never below it) for which Gaussian noise of
    ``noise_multiplier`` times the sensitivity is (epsilon, delta)-DP."""
    if not 0 < delta < 1:
        raise ValueError(f"delta must lie between 0 and 1 (exclusive), not {delta!r}")
    if noise_multiplier <= 0:
        return math.inf
    low, high = 0.0, 1.0
    while analytic_gaussian_delta(noise_multiplier, high) > delta:
        low, high = high, high * 2.0
    for _ in range(_BISECTION_STEPS):
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if analytic_gaussian_delta(noise_multiplier, middle) > delta:
            low = middle
        else:
            high = middle
    return high


def gaussian_rho(noise_multiplier: float) -> float:
    """The zCDP parameter of Gaussian noise of ``noise_multiplier`` times the
    sensitivity: 1 / (2 s**2)."""
    return math.inf if noise_multiplier == 0 else 0.5 / (noise_multiplier * noise_multiplier)


def zcdp_epsilon(rho: float, delta: float) -> float:
    """The epsilon of rho-zCDP at ``delta``: rho + 2 sqrt(rho ln(1/delta))."""
    if not 0 < delta < 1:
        raise ValueError(f"delta must lie between 0 and 1 (exclusive), not {delta!r}")
    return rho + 2.0 * math.sqrt(rho * math.log(1.0 / delta))


def zcdp_rho(epsilon: float, delta: float) -> float:
    """The largest rho whose zCDP gives (epsilon, delta)-DP: the inverse of
    ``zcdp_epsilon``, (sqrt(epsilon + L) - sqrt(L))**2 with L = ln(1/delta)."""
    _check_budget(epsilon, delta)
    log_term = math.log(1.0 / delta)
    root = math.sqrt(epsilon + log_term) - math.sqrt(log_term)
    rho = root * root
    # Rounding may leave the conversion a hair above epsilon; step rho down until not.
    while zcdp_epsilon(rho, delta) > epsilon:
        rho = math.nextafter(rho, 0.0)
    return rho


def randomized_response_keep(epsilon: float, categories: int) -> float:
    """The probability that k-ary randomized response reports the true category:
    e**epsilon / (e**epsilon + k - 1)."""
    return 1.0 - randomized_response_flip(epsilon, categories)


def randomized_response_flip(epsilon: float, categories: int) -> float:
    """The probability that k-ary randomized response reports another category,
    (k - 1) / (e**epsilon + k - 1), computed without overflow for a large epsilon."""
    if categories <= 1:
        return 0.0
    others = categories - 1
    shrink = math.exp(-epsilon)
    return others * shrink / (1.0 + others * shrink)


def split(total: float, weights: Sequence[float]) -> list:
    """``total`` shared in proportion to ``weights`` (all positive); the shares add up
    to at most ``total`` (a share rounded up is stepped down one unit)."""
    weight_sum = math.fsum(weights)
    shares = [total * weight / weight_sum for weight in weights]
    while shares and math.fsum(shares) > total:
        index = max(range(len(shares)), key=shares.__getitem__)
        shares[index] = math.nextafter(shares[index], 0.0)
    return shares
