"""Many threads at once: eight threads hammering one shared NaloLimiter, and
eight threads each with limiters of their own. The signals are long enough
that every process call runs for a while with the interpreter lock released."""
import threading

import numpy as np

from nalo_limiter import NaloLimiter
from support import assert_same_result, loud

THREADS = 8
ROUNDS = 12


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    failures = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # pragma: no cover - reported below
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures


def test_one_shared_limiter_either_works_or_reports_the_borrow():
    limiter = NaloLimiter(44100, -3.0, 2.0, 10.0, 60.0)
    planar = loud((2, 150_000), seed=21)
    frames_first = np.ascontiguousarray(loud((150_000, 3), seed=22))
    expected = {"planar": limiter.process(planar), "frames first": limiter.process(frames_first, 0)}
    properties = {"sample_rate": 44100, "threshold_dBFS": -3.0, "lookahead_samples": 88, "attack_samples": 88,
                  "hold_samples": 441, "release_samples": 2646.0}
    text = repr(limiter)
    tally = {"processed": 0, "already borrowed": 0, "read": 0, "already mutably borrowed": 0}
    lock = threading.Lock()

    def count(key):
        with lock:
            tally[key] += 1

    def hammer(index):
        for round_ in range(ROUNDS):
            action = (index + round_) % 4
            try:
                if action == 0:
                    assert_same_result(limiter.process(planar), expected["planar"])
                elif action == 1:
                    assert_same_result(limiter.process(frames_first, axis=0), expected["frames first"])
                elif action == 2:
                    for name, value in properties.items():
                        assert getattr(limiter, name) == value
                else:
                    assert repr(limiter) == text
            except RuntimeError as error:
                message = str(error)
                assert message == ("Already borrowed" if action < 2 else "Already mutably borrowed")
                count(message.lower())
            else:
                count("processed" if action < 2 else "read")

    run_threads(hammer)
    assert tally["processed"] >= 1 and tally["read"] >= 1
    assert sum(tally.values()) == THREADS * ROUNDS
    # Free and intact afterwards.
    assert_same_result(limiter.process(planar), expected["planar"])
    assert repr(limiter) == text


def test_separate_limiters_give_the_single_threaded_results():
    configs = [(48000, -1.0), (44100, -6.0, 1.0, 0.0, 0.0), (96000, 0.0, 10.0, 5.0, 100.0), (8000, -20.0),
               (22050, -0.5, 3.0), (48000, -3.0, 0.5, 50.0, 5.0), (192000, -12.0), (32000, -9.0, 7.0, 0.0)]
    signals = [loud((1 + i % 3, 120_000), seed=40 + i) for i in range(THREADS)]
    expected = [NaloLimiter(*configs[i]).process(signals[i]) for i in range(THREADS)]
    expected_t = [NaloLimiter(*configs[i]).process(np.ascontiguousarray(signals[i].T), 0) for i in range(THREADS)]
    got = [[] for _ in range(THREADS)]

    def work(index):
        limiter = NaloLimiter(*configs[index])
        other = NaloLimiter(*configs[(index + 1) % THREADS])  # interleaved use of a second object
        for _ in range(4):
            got[index].append(("planar", limiter.process(signals[index])))
            other.process(signals[(index + 1) % THREADS][:, :5000])
            got[index].append(("frames first", limiter.process(signals[index].T, 0)))

    run_threads(work)
    for index in range(THREADS):
        assert len(got[index]) == 8
        for kind, result in got[index]:
            assert_same_result(result, expected[index] if kind == "planar" else expected_t[index])
