"""A limiter pickles and copies to an equal configuration, so it can be
handed to worker processes."""
import copy
import math
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

from nalo_limiter import NaloLimiter
from support import assert_same_result, loud

PROPERTIES = ["sample_rate", "threshold", "threshold_dBFS", "lookahead_samples", "attack_samples",
              "hold_samples", "release_samples"]
CONFIGS = [(48000,), (44100, -0.0, 2.5, 0, 0), (96000, -6.5, 1.0, 100.0, 250.0), (8000, -1e-300, 0.125, 15, 1e6),
           (4294967295, -120.0, 0.001, 0.0, 0.5)]
CLONES = [pytest.param(lambda x, p=p: pickle.loads(pickle.dumps(x, p)), id=f"pickle{p}")
          for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [copy.copy, copy.deepcopy]


@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("clone", CLONES)
def test_clone_has_the_same_configuration_and_results(config, clone):
    limiter = NaloLimiter(*config)
    other = clone(limiter)
    assert type(other) is NaloLimiter and other is not limiter
    assert repr(other) == repr(limiter)
    for name in PROPERTIES:
        a, b = getattr(other, name), getattr(limiter, name)
        assert type(a) is type(b) and a == b and math.copysign(1, a) == math.copysign(1, b)
    if config[0] == 48000:
        x = loud((2, 3000))
        assert_same_result(other.process(x), limiter.process(x))


def test_process_pool_runs_a_limiters_method():
    limiter = NaloLimiter(48000, -3.0)
    signals = [loud((2, 2000), seed=s) for s in range(3)]
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(limiter.process, signals))
    for got, x in zip(results, signals):
        assert_same_result(got, limiter.process(x))
