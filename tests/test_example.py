"""The example trigger session, run end to end as `make run` runs it."""
import os
import pathlib
import re

import pytest

from support import row, run_python

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "trigger_session.py"


def run_example(run_dir):
    return run_python(None, EXAMPLE, run_dir, cwd=None, timeout=120)


def box(lines, title, width, prefix="INFO "):
    """The rows of the box with that title, up to the next box's top line."""
    start = lines.index(prefix + row(title, width)) + 2
    end = next((i for i in range(start, len(lines)) if lines[i].endswith("+" + "=" * (width - 2) + "+")), len(lines))
    return lines[start:end]


def test_session_end_to_end(tmp_path):
    run_dir = tmp_path / "new" / "run"  # missing: created
    out = run_example(run_dir)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()

    trigger = box(lines, "Trigger: BGP neighbour shut, MTU changed", 80)
    assert {"INFO " + row("Description", 80), "INFO " + row("    bgp_neighbor: 10.0.0.2", 80)} <= set(trigger)
    polling = [re.sub(r"^INFO \d\.\d\d seconds remaining", "INFO ...", line) for line in lines
               if "attempt(s) have been performed" in line or "BGP neighbour 10.0.0.2" in line]
    assert polling == [
        "INFO BGP neighbour 10.0.0.2 on R1 is still established",
        "INFO ...; Sleeping for 0.20 seconds. '1' attempt(s) have been performed",
        "INFO BGP neighbour 10.0.0.2 on R1 is still established",
        "INFO ...; Sleeping for 0.20 seconds. '2' attempt(s) have been performed",
        "INFO BGP neighbour 10.0.0.2 on R1 is idle",
        "INFO Section 'verify the neighbour is idle' Passed: BGP neighbour 10.0.0.2 on R1 is idle",
    ]
    assert "INFO R1 neighbour 10.0.0.2 state: idle" in lines

    changes = box(lines, "Configuration changes since the golden profile", 80)
    r2 = changes.index("INFO " + row("* Device: R2", 80))
    assert changes[r2 + 1:r2 + 4] == ["INFO " + row(text, 80) for text in
                                      ("  interface Ethernet1/1", "-     mtu 1500", "+     mtu 9000")]

    for title, device, changed in (("Bgp PTS Summary", "uut", "+   state: idle"),
                                   ("Interface PTS Summary", "helper", "+  mtu: 9000")):
        verdict = box(lines, title, 150, prefix="INFO  ")
        failing = verdict.index("INFO  " + row(f"* Summary for device: {device}"))
        diff = verdict[failing + 1:verdict.index("INFO  |" + "*" * 148 + "|", failing)]
        assert diff and all(line.startswith("ERROR | ") for line in diff)
        assert "ERROR " + row(changed) in diff
    assert "INFO Devices differing from the golden profile: bgp on uut, interface on helper" in lines
    assert {"golden_pts", "golden_pts_uut_bgp_pts.json", "golden_pts_helper_interface_pts.json"} <= set(
        os.listdir(run_dir))


@pytest.mark.parametrize("kind", ["file", pytest.param("read-only", marks=pytest.mark.skipif(
    os.geteuid() == 0, reason="root writes through permissions"))])
def test_unusable_run_directory(tmp_path, kind):
    path = tmp_path / "run"
    if kind == "file":
        path.write_text("")
    else:
        path.mkdir(mode=0o500)
    out = run_example(path)
    assert out.returncode == 2
    assert out.stdout == "" and len(out.stderr.splitlines()) == 1 and str(path) in out.stderr


def readme_blocks(heading):
    """The fenced blocks under a README heading, up to the next heading of its level."""
    text = (EXAMPLE.parent.parent / "README.md").read_text()
    section = text.split(heading + "\n", 1)[1].split("\n" + heading.split()[0] + " ", 1)[0]
    return re.findall(r"^```(\w*)\n(.*?)^```$", section, re.M | re.S)


def test_readme_quick_start_runs_as_written():
    (language, code), (_, shown) = readme_blocks("## Quick start")
    assert language == "python"
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    # print() goes to stdout before the log records reach stderr
    assert (out.stdout + out.stderr).splitlines() == shown.splitlines()
