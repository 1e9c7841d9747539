# Test configuration: the hypothesis profile, the settings from the environment, a watchdog. The shared helpers live
# in registry.py (the functions), generators.py, comparison.py and processes.py. Environment:
# QRL_EXAMPLES (cases per property test, default 60), QRL_FUZZ_EXAMPLES (fuzz cases per function, default 400),
# QRL_LEAK_CALLS (calls per leak check, default 100000), QRL_SANITIZER (set in sanitizer runs: no memory bounds).
import faulthandler
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

settings.register_profile("suite", max_examples=int(os.environ.get("QRL_EXAMPLES", "60")), deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("suite")
FUZZ_EXAMPLES = int(os.environ.get("QRL_FUZZ_EXAMPLES", "400"))
LEAK_CALLS = int(os.environ.get("QRL_LEAK_CALLS", "100000"))
SANITIZER = os.environ.get("QRL_SANITIZER", "")


def pytest_report_header(config):  # what the module decided, above the results
    import quorvale_rl_core as q
    info = q.runtime_info()
    return (f"quorvale_rl_core {info['version']}: {info['instruction_set']} path (allowed "
            f"{', '.join(info['instruction_sets_allowed'])}, cap {info['cpu_features_cap']}); pool of "
            f"{info['pool_threads']} threads from {info['pool_threads_source']} (online {info['online_processors']}, "
            f"affinity {info['affinity_processors']}, quota {info['cpu_quota']})")


def pytest_runtest_setup(item):  # a test that hangs dumps every thread's stack and ends the run
    faulthandler.dump_traceback_later(1800, exit=True)


@pytest.fixture
def core_algos():  # verl's estimators, or a skip naming the package to install
    from peers import peer
    return peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
