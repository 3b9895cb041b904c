"""How fast Ctrl-C stops the long calls: ``Rulewarden.validate`` (3,000 rules),
``TabularEvaluator().evaluate`` (the default suite) and ``apply_noiseforge`` (each
method) on 1,000,000 rows.

Each call runs in a child process that builds its frames, says it is starting and
starts; the parent sends SIGINT after a delay and times how long the child takes to
stop with KeyboardInterrupt and exit (status 130; the child ends without tearing its
frames down). Several delays hit the calls in
different phases; the worst latency per call is the figure (goal: under 0.5 s).

Run: .venv/bin/python benchmarks/interrupt_bench.py [--rows 1000000] [--delays 0.5 2 5]
[--calls validate evaluate laplace gaussian minimal]
"""

import argparse
import os
import signal
import subprocess
import sys
import time

GOAL_SECONDS = 0.5

CHILD = r"""
import os, sys, time
sys.path.insert(0, {benchmarks!r})
import numpy as np
from _frames import mixed_frame
call, rows = {call!r}, {rows}
if call == "validate":
    from velmora.tabular.rulewarden import Rulewarden
    frame = mixed_frame(rows, seed=1)
    engine = Rulewarden()
    numbers = [c for c in frame.columns if c.startswith("num_")]
    for i in range(3000):
        a, b = numbers[i % len(numbers)], numbers[(i // len(numbers)) % len(numbers)]
        engine.add_rule(f"{{a}} + {{b}} * 2 > {{(i % 7) - 3}} or {{a}} < {{i % 5}}")
    run = lambda: engine.validate(frame)
elif call == "evaluate":
    from velmora.tabular.evaluator.evaluator import TabularEvaluator
    real, synthetic = mixed_frame(rows, seed=1), mixed_frame(rows, seed=2)
    run = lambda: TabularEvaluator().evaluate(real, synthetic)
else:
    from velmora.core_generator.noiseforge import apply_noiseforge
    import logging
    logging.disable(logging.CRITICAL)
    frame = mixed_frame(rows, seed=1)
    run = lambda: apply_noiseforge(frame, epsilon=1.0, method=call, random_state=0)
print("starting", flush=True)
started = time.perf_counter()
try:
    run()
    print(f"finished {{time.perf_counter() - started:.2f}}", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    # The call has stopped: the frames' teardown is no part of the latency.
    os._exit(130)
"""


def measure(call: str, rows: int, delay: float) -> str:
    benchmarks = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(benchmarks=benchmarks, call=call, rows=rows)],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    line = child.stdout.readline().strip()
    if line != "starting":
        child.kill()
        return f"child did not start ({line!r})"
    time.sleep(delay)
    if child.poll() is not None:
        return f"finished before the signal ({child.stdout.read().strip()})"
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    status = child.wait()
    latency = time.perf_counter() - sent
    rest = child.stdout.read().strip()
    if status != 130:
        return f"status {status} ({rest!r}) after {latency:.3f} s"
    return f"{latency:.3f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--delays", type=float, nargs="+", default=[0.5, 2.0, 5.0])
    parser.add_argument("--calls", nargs="+", default=["validate", "evaluate", "laplace", "gaussian", "minimal"])
    arguments = parser.parse_args()
    print(f"Ctrl-C latency at {arguments.rows:,} rows (load average {os.getloadavg()[0]:.2f}; goal {GOAL_SECONDS} s)")
    for call in arguments.calls:
        results = [measure(call, arguments.rows, delay) for delay in arguments.delays]
        latencies = [float(result) for result in results if result.replace(".", "", 1).isdigit()]
        worst = f"worst {max(latencies):.3f} s" if latencies else "no latency measured"
        shown = ", ".join(f"{delay:g} s: {result}" for delay, result in zip(arguments.delays, results))
        verdict = "ok" if latencies and max(latencies) < GOAL_SECONDS and len(latencies) == len(results) else "check"
        print(f"  {call:9s} {worst} ({verdict}); after {shown}")


if __name__ == "__main__":
    main()
