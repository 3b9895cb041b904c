"""Recording stand-ins for the evaluator's sister modules.

The evaluator imports its report records and metric classes at call time, so tests put
recording stub modules in ``sys.modules`` and read back what was built, called and
filed, in which order and with which keywords.
"""

import types

REPORT = "velmora.tabular.evaluator.report"
KS = "velmora.tabular.evaluator.metrics.statistical.ks_complement"
ALPHA = "velmora.tabular.evaluator.metrics.fidelity.alpha_precision"
BETA = "velmora.tabular.evaluator.metrics.fidelity.beta_recall"
TSTR = "velmora.tabular.evaluator.metrics.utility.tstr"
MIA = "velmora.tabular.evaluator.metrics.privacy.membership_inference"
DTCR = "velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record"
SIMILARITY = "velmora.evaluation.metrics.similarity"
UTILITY = "velmora.evaluation.metrics.utility"

SISTER_MODULES = (REPORT, KS, ALPHA, BETA, TSTR, MIA, DTCR, SIMILARITY, UTILITY)


class Sisters:
    """Builds the stub modules; `outputs` says what each computation returns (an
    exception instance is raised instead), `events` records every step."""

    def __init__(self):
        self.events = []
        self.outputs = {
            "ks": {"a": 0.9, "b": 0.8},
            "wasserstein": {"wasserstein_a": 0.7, "wasserstein_b": 0.6},
            "total_variation": {"tv_complement_a": 0.95},
            "hellinger": {"hellinger_a": 0.85},
            "pearson": 0.81,
            "spearman": 0.82,
            "correlation_matrix": 0.83,
            "mmd": 0.84,
            "prediction_agreement": 0.86,
            "mia": 0.5,
            "dtcr": 1.25,
            "compare": object(),
        }
        self.modules = {}
        self._build()

    def output(self, key):
        value = self.outputs[key]
        if isinstance(value, BaseException):
            raise value
        return value

    def filed(self, report):
        """(name, scope) of every result filed in a stub report, in order."""
        return [(result.name, scope) for result, scope in report.filed]

    def _build(self):
        sisters = self
        log = self.events.append

        class MetricResult:
            def __init__(self, **kwargs):
                log(("MetricResult", kwargs))
                self.kwargs = kwargs
                self.name = kwargs.get("name")

        class EvaluationReport:
            def __init__(self, **kwargs):
                log(("EvaluationReport", kwargs))
                self.kwargs = kwargs
                self.filed = []

            def add_metric(self, result, **kwargs):
                log(("add_metric", result.name, kwargs))
                self.filed.append((result, kwargs.get("scope")))

        def compare(reports):
            log(("compare", reports))
            return sisters.output("compare")

        def metric_class(class_name, methods):
            def __init__(self, *args, **kwargs):
                log(("build", class_name, args, kwargs))
                self.args = args

            namespace = {"__init__": __init__}
            for method_name, key in methods.items():

                def method(self, *args, _method=method_name, _key=key, **kwargs):
                    log(("call", f"{class_name}.{_method}", args, kwargs))
                    return sisters.output(_key)

                namespace[method_name] = method
            return type(class_name, (), namespace)

        def returned_result(name, category="fidelity"):
            # A metric class that hands back its own MetricResult.
            def compute(real, synthetic):
                if isinstance(sisters.outputs.get(name), BaseException):
                    raise sisters.outputs[name]
                return MetricResult(name=name, value=0.5, category=category)

            return compute

        def module(name, **contents):
            mod = types.ModuleType(name)
            mod.__dict__.update(contents)
            self.modules[name] = mod

        module(REPORT, MetricResult=MetricResult, EvaluationReport=EvaluationReport, compare=compare)
        module(KS, KSComplementMetric=metric_class("KSComplementMetric", {"compute": "ks"}))
        module(
            SIMILARITY,
            UnivariateSimilarityMetrics=metric_class(
                "UnivariateSimilarityMetrics",
                {
                    "wasserstein_distance_metric": "wasserstein",
                    "total_variation_distance": "total_variation",
                    "hellinger_distance": "hellinger",
                },
            ),
            CorrelationSimilarityMetrics=metric_class(
                "CorrelationSimilarityMetrics",
                {"pearson_correlation_difference": "pearson", "spearman_correlation_difference": "spearman"},
            ),
            MultivariateSimilarityMetrics=metric_class(
                "MultivariateSimilarityMetrics", {"correlation_matrix_distance": "correlation_matrix", "mmd_rbf": "mmd"}
            ),
        )
        module(
            UTILITY,
            PredictionAgreementMetrics=metric_class(
                "PredictionAgreementMetrics", {"prediction_agreement_percentage": "prediction_agreement"}
            ),
        )
        module(MIA, MembershipInferenceMetric=metric_class("MembershipInferenceMetric", {"compute": "mia"}))
        module(DTCR, DTCRMetric=metric_class("DTCRMetric", {"compute": "dtcr"}))
        for module_name, class_name, result_name in (
            (ALPHA, "AlphaPrecisionMetric", "alpha_precision"),
            (BETA, "BetaRecallMetric", "beta_recall"),
            (TSTR, "TSTRNormalizedMetric", "tstr_normalized"),
        ):
            cls = metric_class(class_name, {})
            inner = returned_result(result_name)

            def compute(self, *args, _class=class_name, _inner=inner, **kwargs):
                log(("call", f"{_class}.compute", args, kwargs))
                return _inner(*args, **kwargs)

            cls.compute = compute
            module(module_name, **{class_name: cls})
