"""Saves after a crash: a save killed before its rename leaves its temporary file
(".<name>.<host>-<pid>.<random>.mvtmp"); the next save of the same path removes it, and nothing
else: not a live writer's, not another target's, not another machine's until it is a day old."""

import os
import subprocess
import sys
import time

import pytest

import morvane as mv

PROFILE = mv.profile({"x": [float(i) for i in range(1000)], "c": [str(i % 300) for i in range(1000)]})

# A save stalled after writing its bytes, before the rename; the parent then kills it or not.
STALLED_SAVE = """
import os, sys, time
import morvane as mv
def stall(fd):
    print("written", flush=True)
    time.sleep(600)
os.fsync = stall
mv.Profile.from_bytes(bytes.fromhex(sys.argv[1])).save(sys.argv[2])
"""


def stalled_save(path):
    child = subprocess.Popen([sys.executable, "-c", STALLED_SAVE, PROFILE.to_bytes().hex(), str(path)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "written\n"
    return child


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".mvtmp"))


def test_next_save_removes_a_killed_saves_file_and_nothing_else(tmp_path):
    path = tmp_path / "ref.mvp"
    live, killed = stalled_save(path), stalled_save(path)
    try:
        killed.kill()
        killed.wait()
        (dead,) = [n for n in leftovers(tmp_path) if f"-{killed.pid}." in n]
        assert (tmp_path / dead).read_bytes() == PROFILE.to_bytes()  # the whole profile, left behind
        tail = dead[len(".ref.mvp"):]  # ".<host>-<pid>.<random>.mvtmp"
        host, _, rest = tail[1:].partition("-")
        day_ago = time.time() - 86400 - 60
        cases = {  # leftover name -> removed by a save of ref.mvp
            dead: True,
            ".ref" + tail: False, ".ref.mvp.1" + tail: False, ".other.mvp" + tail: False,  # other targets
            ".ref.mvp.ffffff-" + rest: False,  # another machine's, recent
            ".ref.mvp.fffffe-" + rest: True,  # another machine's, a day old
            ".ref.mvp." + host + "-" + rest.replace(".", "x", 1): False,  # not the pattern
        }
        for name in cases:
            if name != dead:
                (tmp_path / name).write_bytes(b"partial")
        os.utime(tmp_path / (".ref.mvp.fffffe-" + rest), (day_ago, day_ago))
        (writing,) = [n for n in leftovers(tmp_path) if f"-{live.pid}." in n]

        PROFILE.save(path)
        assert mv.load(path) == PROFILE
        kept = set(os.listdir(tmp_path))
        assert {name: name not in kept for name in cases} == cases
        assert writing in kept  # the live save still owns its file
    finally:
        live.kill()
        live.wait()
    PROFILE.save(path)
    assert writing not in os.listdir(tmp_path)


@pytest.mark.parametrize("name", ["p", "p.mvp", "with space.mvp", "ü" * 120, "x" * 250])
def test_a_save_leaves_only_its_target(tmp_path, name):
    PROFILE.save(tmp_path / name)
    mv.Monitor(PROFILE).save(tmp_path / name)
    assert os.listdir(tmp_path) == [name]
