"""The budget of a protected release: each perturbed column's share of it, the noise
that share calibrates, and the refusal of a plan that spends more than it may."""

import math
from typing import Any, Dict, Hashable, List, Optional, Tuple

from velmora.exceptions import VelmoraInputError
from velmora.privacy import accounting
from velmora.privacy._planning import _Plan, _positive

# A composed cost may exceed its cap by this relative amount: the rounding of a sum of
# shares of the cap, never a real overspend.
_TOLERANCE = 1e-12


class BudgetExceededError(VelmoraInputError):
    """A release whose composed privacy cost exceeds its budget, refused before any
    random number is drawn. ``costs`` maps each perturbed column to its (epsilon,
    delta)."""

    def __init__(self, message: str, costs: Dict[Hashable, Tuple[float, float]]) -> None:
        super().__init__(message)
        self.costs = costs


# ---- budget ---------------------------------------------------------------------------


def _weights(plans: List[_Plan], weights: Dict[Hashable, Any]) -> None:
    for plan in plans:
        if plan.column in weights:
            plan.weight = _positive(f"weight of column {plan.column!r}", weights[plan.column])


def _allocate(
    plans: List[_Plan],
    method: str,
    epsilon: Optional[float],
    delta: Optional[float],
    total_epsilon: Optional[float],
    total_delta: Optional[float],
    weighted: bool,
) -> str:
    """Sets each perturbed column's epsilon, delta, rho and Gaussian noise multiplier;
    returns how the budget was allocated."""
    gaussian = [plan for plan in plans if plan.numeric and method == "gaussian"]
    pure = [plan for plan in plans if plan not in gaussian]
    if gaussian:
        if delta is not None:
            for plan in gaussian:
                plan.delta = delta
        elif total_delta is not None:
            for plan, share in zip(gaussian, accounting.split(total_delta, [plan.weight for plan in gaussian])):
                plan.delta = share
        else:
            raise VelmoraInputError("Gaussian noise needs delta (per column) or total_delta (per record)")
    if epsilon is not None:
        for plan in plans:
            plan.epsilon = epsilon
        _calibrate_basic(gaussian, pure)
        return "epsilon per column"
    assert total_epsilon is not None
    shares = "by weights" if weighted else "equal shares"
    for plan, share in zip(plans, accounting.split(total_epsilon, [plan.weight for plan in plans])):
        plan.epsilon = share
    _calibrate_basic(gaussian, pure)
    if not gaussian:
        return f"{shares} of total_epsilon, basic composition"
    basic_noise = math.fsum(plan.noise_multiplier**2 for plan in gaussian)
    basic = [(plan.epsilon, plan.rho, plan.noise_multiplier) for plan in plans]
    _calibrate_zcdp(plans, gaussian, total_epsilon)
    if math.fsum(plan.noise_multiplier**2 for plan in gaussian) < basic_noise:
        return f"{shares} of total_epsilon, zCDP"
    for plan, (share, rho, multiplier) in zip(plans, basic):
        plan.epsilon, plan.rho, plan.noise_multiplier = share, rho, multiplier
    return f"{shares} of total_epsilon, basic composition"


def _calibrate_basic(gaussian: List[_Plan], pure: List[_Plan]) -> None:
    for plan in gaussian:
        plan.noise_multiplier = accounting.analytic_gaussian_sigma(1.0, plan.epsilon, plan.delta)
        plan.rho = accounting.gaussian_rho(plan.noise_multiplier)
    for plan in pure:
        plan.rho = plan.epsilon * plan.epsilon / 2.0


def _calibrate_zcdp(plans: List[_Plan], gaussian: List[_Plan], total_epsilon: float) -> None:
    """Shares the zCDP budget that total_epsilon gives at the columns' total delta."""
    total_rho = accounting.zcdp_rho(total_epsilon, math.fsum(plan.delta for plan in gaussian))
    for plan, rho in zip(plans, accounting.split(total_rho, [plan.weight for plan in plans])):
        if plan in gaussian:
            multiplier = math.sqrt(0.5 / rho) * (1.0 + accounting.ROUNDING_MARGIN)
            plan.noise_multiplier = multiplier
            plan.rho = accounting.gaussian_rho(multiplier)
            plan.epsilon = accounting.analytic_gaussian_epsilon(multiplier, plan.delta)
        else:
            share = math.sqrt(2.0 * rho)
            while share * share / 2.0 > rho:
                share = math.nextafter(share, 0.0)
            plan.epsilon, plan.rho = share, share * share / 2.0


def _set_noise_scales(perturbed: List[_Plan], method: str) -> None:
    """Each numeric column's noise in grid steps, rounded up (never less than the ledger
    says); refused when it overflows (an epsilon far too small to mean anything)."""
    for plan in perturbed:
        if not plan.numeric:
            continue
        scale = plan.noise_multiplier * plan.steps if method == "gaussian" else plan.steps / plan.epsilon
        plan.scale_steps = math.nextafter(scale, math.inf)
        if not math.isfinite(plan.scale_steps):
            raise VelmoraInputError(f"epsilon of column {plan.column!r} is so small that its noise overflows")


def _costs_text(perturbed: List[_Plan], attribute: str) -> str:
    return ", ".join(f"{plan.column} {getattr(plan, attribute):.6g}" for plan in perturbed)


def _enforce(
    perturbed: List[_Plan],
    totals: Tuple[float, float, Optional[float]],
    cap_epsilon: Optional[float],
    cap_delta: Optional[float],
    explicit_epsilon: bool,
) -> None:
    epsilon_basic, delta_basic, epsilon_zcdp = totals
    spent = epsilon_basic if epsilon_zcdp is None else min(epsilon_basic, epsilon_zcdp)
    costs = {plan.column: (plan.epsilon, plan.delta) for plan in perturbed}
    advice = (
        "lower epsilon, leave columns out of the noise (preserve= releases them as is, not privately), "
        "or give total_epsilon without epsilon to split it over the columns"
        if explicit_epsilon
        else "raise the budget"
    )
    if cap_epsilon is not None and spent > cap_epsilon * (1 + _TOLERANCE):
        how = "basic composition" if spent == epsilon_basic else "zCDP"
        raise BudgetExceededError(
            f"the release would spend epsilon {spent:.6g} per record ({how}) over total_epsilon {cap_epsilon:g}; "
            f"epsilon per column: {_costs_text(perturbed, 'epsilon')}; {advice}",
            costs,
        )
    if cap_delta is not None and delta_basic > cap_delta * (1 + _TOLERANCE):
        raise BudgetExceededError(
            f"the release would spend delta {delta_basic:.6g} per record over total_delta {cap_delta:g}; "
            f"delta per column: {_costs_text(perturbed, 'delta')}; lower delta, or give total_delta without "
            "delta to split it",
            costs,
        )
