"""A distance-based membership-inference attack."""

from typing import Dict, Optional

import numpy as np
import pandas as pd
from sklearn.metrics import roc_auc_score

from .._data import FeatureSpace, resolve_seed, sample_positions, take_rows
from .._neighbours import DEFAULT_MAX_ROWS, embed, nearest

__all__ = ["MembershipInferenceMetric"]


class MembershipInferenceMetric:
    """AUC of a membership-inference attack on the synthetic data (0.5 = chance).

    The attack is the full black-box attack of GAN-Leaks (Chen, Yu, Zhang and Fritz,
    "GAN-Leaks: A taxonomy of membership inference attacks against generative models",
    CCS 2020): the attacker sees only the synthetic records and calls a candidate record
    a member of the training data the closer it lies to its nearest synthetic record
    (score = minus that Euclidean distance, in the real-fitted standardised feature space
    of ``FeatureSpace``). The AUC is that of telling members from non-members by the
    score; 1 means every training record can be singled out, 0.5 that the attacker
    learns nothing.

    Assumptions:

    - the real frame holds the records the generator was trained on (the members);
    - non-members are the ``holdout`` records when given (records from the same
      population the generator never saw: the sound setting). Without a holdout, the
      stand-in non-members are synthetic records, each scored against the other
      synthetic records (leave one out): when the generator reproduces the population
      without copying, a real record lies as close to the synthetic data as one more
      synthetic record would, and the AUC is 0.5; copied or near-copied records lie
      closer and push it towards 1.

    Exact over frames up to ``max_rows`` rows; larger frames (real, synthetic and
    holdout) are replaced by seeded samples of ``max_rows`` rows. After ``compute``,
    ``details`` records the sizes and the non-member source.

    Parameters
    ----------
    holdout : pandas.DataFrame, optional
        Real records not used to train the generator.
    max_rows : int, default 10000
    random_seed : int, optional
        None means 0.
    """

    def __init__(
        self,
        holdout: Optional[pd.DataFrame] = None,
        max_rows: Optional[int] = DEFAULT_MAX_ROWS,
        random_seed: Optional[int] = None,
    ) -> None:
        self.holdout = holdout
        self.max_rows = max_rows
        self.random_seed = resolve_seed(random_seed)
        self.details: Dict[str, object] = {}

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> float:
        x, y, details = embed(real, synthetic, self.max_rows, self.random_seed)
        member_distances, _ = nearest(x, y)
        if self.holdout is not None:
            if len(self.holdout) == 0:
                raise ValueError("The holdout data has no rows.")
            rng = np.random.RandomState(self.random_seed + 1)
            space = FeatureSpace(real, synthetic)
            holdout = take_rows(self.holdout, sample_positions(len(self.holdout), self.max_rows, rng))
            non_member_distances, _ = nearest(space.transform(holdout), y)
            source = "holdout"
        else:
            if len(y) < 2:
                raise ValueError("The attack without a holdout needs at least two synthetic rows.")
            non_member_distances, _ = nearest(y, y, exclude_self=True)
            source = "synthetic_leave_one_out"
        labels = np.concatenate([np.ones(len(member_distances)), np.zeros(len(non_member_distances))])
        scores = -np.concatenate([member_distances, non_member_distances])
        auc = float(roc_auc_score(labels, scores))
        details.update(non_members=source, n_non_members=len(non_member_distances), auc=auc)
        self.details = details
        return auc
