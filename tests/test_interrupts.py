"""Ctrl-C stops the long native calls: each runs once in full, then again with a timer
that raises KeyboardInterrupt (as SIGINT's handler does) a tenth of the way in; the call
must stop well before it would have finished, with no result. Run apart, in a child
process, since the signal is process-wide."""

import subprocess
import sys

import pytest

SETUPS = {
    "validate": (
        "import numpy as np, pandas as pd\n"
        "from velmora.tabular.rulewarden import Rulewarden\n"
        "rng = np.random.default_rng(0)\n"
        "frame = pd.DataFrame({'a': rng.normal(size=200_000), 'b': rng.normal(size=200_000)})\n"
        "engine = Rulewarden()\n"
        "for i in range(400):\n"
        "    engine.add_rule(f'a + b * 2 > {i % 7 - 3} or a < {i % 5}')\n"
        "work = lambda: engine.validate(frame)\n"
    ),
    "nearest_neighbours": (
        "import numpy as np\n"
        "from velmora._metric_core import kernels\n"
        "rng = np.random.default_rng(0)\n"
        "query, reference = rng.normal(size=(3000, 8)), rng.normal(size=(100_000, 8))\n"
        "work = lambda: kernels.nearest_neighbours(query, reference, 5)\n"
    ),
    "apply_noiseforge": (
        "import logging, numpy as np, pandas as pd\n"
        "from velmora.core_generator.noiseforge import apply_noiseforge\n"
        "logging.disable(logging.CRITICAL)\n"
        "rng = np.random.default_rng(0)\n"
        "frame = pd.DataFrame({f'x{i}': rng.normal(size=300_000) for i in range(40)})\n"
        "work = lambda: apply_noiseforge(frame, method='laplace', random_state=0)\n"
    ),
}

RUN = (
    "import signal, time\n"
    "signal.signal(signal.SIGALRM, signal.default_int_handler)  # the timer acts as Ctrl-C\n"
    "start = time.perf_counter(); work(); full = time.perf_counter() - start\n"
    "signal.setitimer(signal.ITIMER_REAL, full / 10)\n"
    "start = time.perf_counter()\n"
    "try:\n"
    "    result = work()\n"
    "    print('finished', full)\n"
    "except KeyboardInterrupt:\n"
    "    print('interrupted', (time.perf_counter() - start) / full)\n"
)


@pytest.mark.parametrize("call", sorted(SETUPS))
def test_ctrl_c_stops_the_call_long_before_it_ends(call):
    completed = subprocess.run([sys.executable, "-c", SETUPS[call] + RUN], capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stderr[-2000:]
    outcome, share = completed.stdout.split()
    assert outcome == "interrupted" and float(share) < 0.5
