"""The interleaving machinery: blocks paired by the stretch of time they ran in, the repeat check,
a client that dies or goes silent, and a peer client run in blocks against varno-sim.

PEER_TERMIOS and VARNO_SIM (from CTest) name the programs for the last; without them it skips.
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from interleave import (Block, BlockProcess, ClientFailed, Measurement,  # noqa: E402
                        compare_runs, run_interleaved, spread)


def block(median):
    return Block(samples=[median], cpu_s=0.001, count=1)


def test_ratios_pair_blocks_of_the_same_stretch_and_spread_is_quartiles():
    m = Measurement(["a", "ref"])
    m.blocks["a"] = {(0, 0): block(20), (0, 1): block(30), (1, 0): block(99)}
    m.blocks["ref"] = {(0, 1): block(10), (0, 0): block(10), (1, 1): block(1)}
    # (1, 0) and (1, 1) have no partner: only the two blocks both ran are compared.
    assert sorted(m.ratios("a", "ref")) == [2.0, 3.0]
    s = spread([5, 1, 4, 2, 3])
    assert (s.median, s.q1, s.q3, s.n) == (3, 2, 4, 5)


def test_two_runs_agree_only_within_the_tolerance_and_on_the_same_figures():
    assert compare_runs({"x": 1.0, "y": 5000}, {"x": 1.09, "y": 4600})[1]
    rows, agreed = compare_runs({"x": 1.0}, {"x": 1.11})
    assert not agreed and rows == [("x", 1.0, 1.11, False)]
    assert not compare_runs({"x": 1.0, "y": 2.0}, {"x": 1.0})[1]
    assert not compare_runs({}, {})[1]


class Fake:
    def __init__(self, name, log, fail_at=None):
        self.name, self.log, self.fail_at, self.blocks, self.closed = name, log, fail_at, 0, False

    def block(self, n):
        self.blocks += 1
        if self.blocks == self.fail_at:
            raise ClientFailed("gone")
        self.log.append(self.name)
        return Block(samples=[1.0] * n, cpu_s=0.0, count=n)

    def close(self):
        self.closed = True


def test_clients_take_turns_in_rotating_order_and_a_failed_one_is_left_out():
    log, made = [], []

    def start(name, _round):
        made.append(Fake(name, log, fail_at=3 if name == "b" else None))
        return made[-1]

    m = run_interleaved(["a", "b", "c"], start, rounds=2, blocks=3, size=4, warmup=2,
                        progress=lambda text: None)
    # Each round's first calls are the warm-ups; b's third call (its second block) fails.
    assert log[:3] == ["a", "b", "c"]
    assert log[3:10] == ["a", "b", "c", "c", "a", "a", "c"]
    assert m.failures["b"].startswith("round 1, block 2: gone")
    assert len(made) == 5 and all(f.closed for f in made)  # b is not started again in round 2
    assert len(m.blocks["a"]) == 6 and len(m.blocks["b"]) == 1


def test_a_client_that_dies_or_goes_silent_fails_its_block_with_its_reason():
    script = ("import sys\n"
              "sys.stdin.readline()\n"
              "print('{\"count\": 2, \"cpu_s\": 0.5, \"samples_us\": [1, 3]}', flush=True)\n"
              "sys.stdin.readline()\n"
              "print('fake: the line broke', file=sys.stderr)\n"
              "sys.exit(1)\n")
    p = BlockProcess([sys.executable, "-c", script])
    assert p.block(2).samples == [1.0, 3.0]
    with pytest.raises(ClientFailed, match="exit status 1: fake: the line broke"):
        p.block(2)

    cleaned = []
    silent = BlockProcess([sys.executable, "-c", "import time; time.sleep(60)"],
                          cleanup=lambda: cleaned.append(True), seconds=0.3, seconds_per_op=0)
    with pytest.raises(ClientFailed, match="no result within"):
        silent.block(1)
    assert cleaned == [True]


@pytest.mark.skipif(not (os.environ.get("PEER_TERMIOS") and os.environ.get("VARNO_SIM")),
                    reason="PEER_TERMIOS and VARNO_SIM name the programs (CTest sets them)")
def test_a_peer_client_keeps_its_port_open_across_blocks():
    sim = subprocess.Popen([os.environ["VARNO_SIM"], "1"], stdout=subprocess.PIPE,
                           stdin=subprocess.DEVNULL)
    try:
        path = sim.stdout.readline().decode().strip()
        client = BlockProcess([os.environ["PEER_TERMIOS"], path, "115200", "-", "3"])
        sizes = [(b.count, len(b.samples), b.errors) for b in (client.block(5), client.block(2))]
        assert sizes == [(5, 5, 0), (2, 2, 0)]
        assert client.close() == 0
    finally:
        sim.terminate()
        sim.wait(10)


def test_repeat_judges_the_printed_figures_of_two_runs_and_passes_a_failure_on(tmp_path):
    from repeat import figures_in, run_twice
    judged, shown = figures_in("x\nfigure: a / b = 1.5\nfigure (shown): cpu, us = 12\n"
                               "figure: broken = n/a\n")
    assert (judged, shown) == ({"a / b": 1.5}, {"cpu, us": 12.0})
    # Each run prints the next value from its list: the first pair agrees, the second does not.
    counter = tmp_path / "n"
    counter.write_text("0")

    def bench(values, status=0):
        return [sys.executable, "-c",
                f"import sys; p = {str(counter)!r}; n = int(open(p).read()); "
                f"open(p, 'w').write(str(n + 1)); "
                f"print('figure: r =', {values!r}[n % 2]); sys.exit({status})"]
    out = open(os.devnull, "w")
    assert run_twice(bench([1.0, 1.05]), out=out) == 0
    assert run_twice(bench([1.0, 1.2]), out=out) == 3
    assert run_twice(bench([1.0, 1.0], status=1), out=out) == 1
    assert run_twice([sys.executable, "-c", "print('no figures')"], out=out) == 3


def test_workqueues_are_pinned_meanwhile_and_restored_after_an_error(tmp_path):
    from steady import mask_of, unbound_workqueues
    assert (mask_of({0}), mask_of({0, 1}), mask_of({4})) == ("1", "3", "10")
    mask = tmp_path / "cpumask"
    mask.write_text("3\n")
    with pytest.raises(RuntimeError):
        with unbound_workqueues({0}, path=mask, lock=tmp_path / "lock"):
            assert mask.read_text() == "1"
            raise RuntimeError
    assert mask.read_text() == "3"
    with pytest.raises(OSError, match="cannot read"):
        with unbound_workqueues({0}, path=tmp_path / "missing", lock=tmp_path / "lock"):
            pass
