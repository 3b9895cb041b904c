"""The calibration and composition numbers of velmora.privacy.accounting."""

import math

import pytest

from velmora.privacy import accounting


@pytest.mark.parametrize("epsilon, delta", [(0.1, 1e-5), (1.0, 1e-5), (1.0, 1e-10), (8.0, 1e-6), (200.0, 1e-9)])
def test_the_analytic_gaussian_sigma_is_the_smallest_that_holds(epsilon, delta):
    sigma = accounting.analytic_gaussian_sigma(3.0, epsilon, delta)
    multiplier = sigma / 3.0
    assert accounting.analytic_gaussian_delta(multiplier, epsilon) <= delta
    assert accounting.analytic_gaussian_delta(multiplier * (1 - 1e-8), epsilon) > delta
    if epsilon < 1:  # where the classical bound holds, the exact one needs less noise
        assert sigma < 3.0 * math.sqrt(2 * math.log(1.25 / delta)) / epsilon
    assert accounting.analytic_gaussian_epsilon(multiplier, delta) == pytest.approx(epsilon, rel=1e-7)


def test_known_values():
    # Balle & Wang (2018): sigma 3.73 for epsilon 1, delta 1e-5 at sensitivity 1,
    # where the classical bound (not valid at epsilon 1) would say 4.84.
    assert accounting.analytic_gaussian_sigma(1.0, 1.0, 1e-5) == pytest.approx(3.7306, abs=1e-4)
    assert accounting.gaussian_rho(2.0) == 0.125
    assert accounting.randomized_response_keep(math.log(3), 3) == pytest.approx(0.6)
    assert accounting.randomized_response_flip(800.0, 5) == 0.0
    assert accounting.randomized_response_keep(0.5, 1) == 1.0


@pytest.mark.parametrize("epsilon, delta", [(0.5, 1e-5), (1.0, 1e-6), (10.0, 1e-9)])
def test_zcdp_conversions_invert_each_other_without_overshooting(epsilon, delta):
    rho = accounting.zcdp_rho(epsilon, delta)
    assert accounting.zcdp_epsilon(rho, delta) <= epsilon
    assert accounting.zcdp_epsilon(rho, delta) == pytest.approx(epsilon, rel=1e-12)


@pytest.mark.parametrize("total, weights", [(1.0, [1.0] * 10), (0.3, [1.0, 2.0, 4.0]), (7.0, [0.1] * 7)])
def test_split_shares_add_up_to_at_most_the_total(total, weights):
    shares = accounting.split(total, weights)
    assert math.fsum(shares) <= total
    assert shares == pytest.approx([total * w / sum(weights) for w in weights], rel=1e-12)


@pytest.mark.parametrize(
    "call",
    [
        lambda: accounting.analytic_gaussian_sigma(1.0, 0.0, 1e-5),
        lambda: accounting.analytic_gaussian_sigma(1.0, 1.0, 1.0),
        lambda: accounting.zcdp_epsilon(0.1, 0.0),
    ],
)
def test_budgets_out_of_range_are_refused(call):
    with pytest.raises(ValueError):
        call()
