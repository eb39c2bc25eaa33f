"""Time everything the dashboard asks of an experiment for one model, then the
explanations and figures beyond the panel.

Builds an experiment on synthetic data (default 10,000 rows, 10 features),
fits a scikit-learn model (on at most --fit-rows of the rows: the set-up is not
what is timed), then times, in the order the panel asks for them:
explain_single (permutation importance), permutation_vi, the one- and
two-feature PDP and ALE of the default selection (the two most important
features), and the SHAP and LIME explanations of sample 0 (drawn with the Agg
backend). The first SHAP and LIME calls include importing those packages,
which is also timed on its own. Target: the whole panel under 30 s on 2 cores.

Beyond the panel, each on first use (nothing cached): permutation_importance
on a fresh experiment (the same computation as explain_single), ice_explain of
the second feature, shap_summary of its default sample, interaction_strength
of the default pairs; then the drawing of each figure of
qalvo.experiment.plots from those cached results. Run it on 10,000 x 10 and on
200,000 x 50 rows: the methods that sample (SHAP summary, interaction
strength) cost about the same on both; the others grow linearly in the rows.

    .venv/bin/python bench/bench_experiment.py [--model gbr|mlp] [--rows N] [--features M]
        [--fit-rows N] [--n-jobs J]
"""

import argparse
import os
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.ensemble import GradientBoostingRegressor  # noqa: E402
from sklearn.neural_network import MLPRegressor  # noqa: E402

from qalvo.experiment import Experiment, plots  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", choices=["gbr", "mlp"], default="gbr")
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--fit-rows", type=int, default=20_000)
    parser.add_argument("--n-jobs", type=int, default=1)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (args.rows, args.features))
    y = 3 * x[:, 0] + x[:, 1] ** 2 + x[:, 2] * x[:, 3] + 0.1 * rng.normal(size=args.rows)
    names = ["feature_%02d" % i for i in range(args.features)]

    start = time.perf_counter()
    if args.model == "gbr":
        model = GradientBoostingRegressor(n_estimators=100, max_depth=3, random_state=0)
    else:
        model = MLPRegressor(hidden_layer_sizes=(64, 64), max_iter=60, random_state=0)
    model.fit(x[: args.fit_rows], y[: args.fit_rows])
    fit_time = time.perf_counter() - start

    plt.show = lambda *a, **k: plt.close("all")  # the panel's output would show and drop it

    timings = []

    def timed(label, call):
        t0 = time.perf_counter()
        result = call()
        timings.append((label, time.perf_counter() - t0))
        return result

    def experiment():
        return Experiment(x, y, names, n_jobs=args.n_jobs).add_model("m", model)

    exp = timed("Experiment + add_model", experiment)
    timed("explain_single (PFI)", lambda: exp.explain_single("m"))
    timed("permutation_vi (cached)", lambda: exp.permutation_vi("m"))
    first, second = exp.per_vi_rank[::-1][:2]
    timed("pdp_explain one feature", lambda: exp.pdp_explain("m", first, None))
    timed("ale_explain one feature", lambda: exp.ale_explain("m", first, None))
    timed("pdp_explain pair", lambda: exp.pdp_explain("m", first, second))
    timed("ale_explain pair", lambda: exp.ale_explain("m", first, second))
    t0 = time.perf_counter()
    import lime.lime_tabular  # noqa: F401
    import shap  # noqa: F401

    import_time = time.perf_counter() - t0
    timed("local_explain SHAP, sample 0", lambda: exp.local_explain(reg_model_name="m", method="SHAP", sample_index=0))
    timed("local_explain LIME, sample 0", lambda: exp.local_explain(reg_model_name="m", method="LIME", sample_index=0))
    timed("local_explain SHAP, sample 1", lambda: exp.local_explain(reg_model_name="m", method="SHAP", sample_index=1))
    timed("local_explain LIME, sample 1", lambda: exp.local_explain(reg_model_name="m", method="LIME", sample_index=1))

    beyond = []

    def timed_beyond(label, call):
        t0 = time.perf_counter()
        call()
        beyond.append((label, time.perf_counter() - t0))

    fresh = experiment()
    timed_beyond("permutation_importance (fresh)", lambda: fresh.permutation_importance("m"))
    timed_beyond("ice_explain one feature", lambda: exp.ice_explain("m", second))
    timed_beyond("shap_summary (%d rows)" % exp.shap_summary_samples, lambda: exp.shap_summary("m"))
    timed_beyond(
        "interaction_strength (%d pairs)" % (exp.interaction_features * (exp.interaction_features - 1) // 2),
        lambda: exp.interaction_strength("m"),
    )

    def drawn(draw):
        def run():
            ax = draw()
            ax.figure.canvas.draw()
            plt.close(ax.figure)

        return run

    timed_beyond("plots.importance", drawn(lambda: plots.importance(exp, "m")))
    timed_beyond("plots.partial_dependence ice", drawn(lambda: plots.partial_dependence(exp, "m", second, ice=True)))
    timed_beyond("plots.ale", drawn(lambda: plots.ale(exp, "m", first)))
    timed_beyond("plots.effect_map pdp", drawn(lambda: plots.effect_map(exp, "m", first, second)))
    timed_beyond("plots.effect_map ale", drawn(lambda: plots.effect_map(exp, "m", first, second, kind="ale")))
    timed_beyond("plots.shap_summary bar", drawn(lambda: plots.shap_summary(exp, "m")))
    timed_beyond("plots.shap_summary beeswarm", drawn(lambda: plots.shap_summary(exp, "m", kind="beeswarm")))
    timed_beyond("plots.dependence", drawn(lambda: plots.dependence(exp, "m", first)))
    timed_beyond("plots.interactions", drawn(lambda: plots.interactions(exp, "m")))

    print("model %s, %d rows x %d features, %s cores, n_jobs=%d; fit on %d rows %.1f s (not counted)"
          % (args.model, args.rows, args.features, os.cpu_count(), args.n_jobs, min(args.rows, args.fit_rows),
             fit_time))
    print("settings: pfi_repeats=%d pdp_grid=%d pdp_grid_2d=%d pdp_max_samples=%d ale_bins=%d "
          "ale_bins_2d=%d shap_background=%d lime_samples=%d"
          % (exp.pfi_repeats, exp.pdp_grid, exp.pdp_grid_2d, exp.pdp_max_samples, exp.ale_bins,
             exp.ale_bins_2d, exp.shap_background, exp.lime_samples))
    print("%-32s %8s" % ("step", "seconds"))
    panel = 0.0
    for label, seconds in timings:
        print("%-32s %8.2f" % (label, seconds))
        if "sample 1" not in label:
            panel += seconds
    print("%-32s %8.2f" % ("import shap + lime", import_time))
    print("%-32s %8.2f" % ("whole panel (imports included)", panel + import_time))
    print("beyond the panel: interaction_samples=%d interaction_features=%d shap_summary_samples=%d"
          % (exp.interaction_samples, exp.interaction_features, exp.shap_summary_samples))
    for label, seconds in beyond:
        print("%-32s %8.2f" % (label, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
