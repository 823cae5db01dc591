"""Writes that land whole. Whatever stops a write (a file size limit, a full
file system, a directory that takes no new file, SIGKILL), each file keeps its
old content or gets the whole new one, and no temporary file is left behind.
Every scenario runs in an interpreter of its own, so a crash fails its test."""
import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

from support import run_python, run_script

LONG = "g" * 243  # ".{name}.{8}.tmp" is then over the usual 255-byte limit

PRELUDE = r'''
import hashlib, json, os, pathlib, resource, sys, types, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import prettytable
import korrin.utils.profile as profile
profile.log = types.SimpleNamespace(info=lambda *a: None)

def digests(d):
    return {n: hashlib.sha1(open(os.path.join(d, n), "rb").read()).hexdigest() for n in sorted(os.listdir(d))}

def pts(value):
    return {"bgp": {"R1": value}}

def attempt(call):
    try:
        call()
    except Exception as e:
        return [type(e).__name__, getattr(e, "errno", None)]

def table(rows):
    t = prettytable.PrettyTable(["port", "frames"])
    for i in range(rows):
        t.add_row([f"1/{i}", i])
    return t

def report(**values):
    print(json.dumps(values))
'''


def temporary_files(names):
    return [n for n in names if n.endswith(".tmp")]


# A file size limit -------------------------------------------------------------------

SIZE_LIMIT = PRELUDE + r'''
d, name, stopped = sys.argv[1:]
attempt(lambda: profile.pickle(pts({"blob": "old"}), d, name))  # a long name's JSON files fail here
before = digests(d)
# The golden file over the limit; or a small golden file and a JSON file over it.
new = pts({"blob": "n" * 3_000_000} if stopped == "golden" else list(range(150_000)))
resource.setrlimit(resource.RLIMIT_FSIZE, (1_000_000, resource.RLIM_INFINITY))
report(error=attempt(lambda: profile.pickle(new, d, name)), before=before, after=digests(d))
'''


@pytest.mark.parametrize("name, stopped", [("pts", "golden"), (LONG, "golden"), ("pts", "json")],
                         ids=["golden", "golden-243-byte-name", "json"])
def test_a_size_limit_half_way_keeps_the_old_file(tmp_path, name, stopped):
    out = run_script(SIZE_LIMIT, tmp_path, name, stopped)
    assert out["error"] == ["OSError", errno.EFBIG]
    before, after = out["before"], out["after"]
    assert sorted(after) == sorted(before) and not temporary_files(after)
    if stopped == "golden":
        assert after == before
    else:  # written one by one: the golden file is new, the JSON file old
        assert after[name] != before[name] and after[f"{name}_R1_bgp_pts.json"] == before[f"{name}_R1_bgp_pts.json"]


# A full file system (a private tmpfs) ------------------------------------------------------

FULL = PRELUDE + r'''
d, name, full = sys.argv[1:]
attempt(lambda: profile.pickle(pts({"blob": "o" * 1_000_000}), d, name))
count = 0
while full == "inodes" and not attempt(lambda: open(os.path.join(d, f"filler{count}"), "x").close()):
    count += 1
before = digests(d)
report(error=attempt(lambda: profile.pickle(pts({"blob": "n" * 12_000_000}), d, name)), before=before,
       after=digests(d))
'''


def private_mount_command():
    """unshare's options for a mount namespace of our own, or None."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return None
    # In a chroot "/" is no mount point: keep the (already private) propagation.
    for options in (["-m"], ["-m", "--propagation", "unchanged"]):
        if subprocess.run(["unshare", *options, "true"], capture_output=True).returncode == 0:
            return ["unshare", *options]
    return None


@pytest.mark.parametrize("name, full", [("pts", "inodes"), (LONG, "inodes"), ("pts", "space")],
                         ids=["no-inodes", "no-inodes-243-byte-name", "no-space-half-way"])
def test_a_full_file_system_keeps_the_old_file(tmp_path, name, full):
    unshare = private_mount_command()
    if not unshare:
        pytest.skip("needs root and a private mount namespace")
    mount = 'mount -t tmpfs -o size=8m,nr_inodes=64 tmpfs "$0" || exit 97; exec "$@"'
    done = subprocess.run([*unshare, "sh", "-c", mount, tmp_path, sys.executable, "-c", FULL, tmp_path, name, full],
                          capture_output=True, text=True, timeout=120)
    if done.returncode == 97:
        pytest.skip(f"cannot mount a tmpfs: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr[-3000:]
    out = __import__("json").loads(done.stdout.splitlines()[-1])
    assert out["error"] == ["OSError", errno.ENOSPC]
    assert out["after"] == out["before"] and not temporary_files(out["after"])
    assert not os.listdir(tmp_path)  # the tmpfs was ours alone


# A directory that takes no new file ----------------------------------------------------

DENIED = PRELUDE + r'''
base, case = sys.argv[1:]
d, reference = os.path.join(base, "run"), os.path.join(base, "reference")
os.mkdir(reference)
ours = case != "sticky directory"  # else made by another user
if ours:
    os.mkdir(d)
if ours and case != "no file":
    profile.pickle(pts({"blob": "o" * (100_000 if case == "in place, shorter" else 10)}), d, "pts")
    for n in os.listdir(d):
        os.chmod(os.path.join(d, n), 0o444 if case == "read-only file" else 0o640)
inodes = {n: os.stat(os.path.join(d, n)).st_ino for n in os.listdir(d)}
modes = lambda: sorted(oct(os.stat(os.path.join(d, n)).st_mode & 0o7777) for n in os.listdir(d))
before, modes_before = digests(d), modes()
new = pts({"blob": "n" * 1000})
if case == "serialisation fails":
    class Unpicklable:
        def __reduce__(self):
            raise RuntimeError("cannot pickle")
    new = pts(Unpicklable())
if case == "size limit":
    new = pts({"blob": "n" * 3_000_000})
    resource.setrlimit(resource.RLIMIT_FSIZE, (1_000_000, resource.RLIM_INFINITY))
if ours and case != "read-only file":
    os.chmod(d, 0o555)
try:
    error = attempt(lambda: profile.pickle(new, d, "pts"))
finally:
    os.chmod(d, 0o755) if ours else None
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
profile.pickle(new, reference, "pts") if not error else None
report(error=error, before=before, after=digests(d), expected=digests(reference),
       same_files=all(os.stat(os.path.join(d, n)).st_ino == i for n, i in inodes.items()),
       modes=[modes_before, modes()])
'''


def unprivileged_prefix():
    """How to run a child that directory permissions apply to, or None."""
    if os.geteuid() != 0:
        return []
    if not shutil.which("setpriv"):
        return None
    prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    probe = run_python("import korrin.utils.profile", prefix=prefix, cwd=None)
    return prefix if probe.returncode == 0 else None


@pytest.fixture(scope="module")
def unprivileged():
    prefix = unprivileged_prefix()
    if prefix is None:
        pytest.skip("needs a user that directory permissions apply to (setpriv to nobody)")
    return prefix


DENIED_CASES = {
    "in place, longer": None,
    "in place, shorter": None,
    "serialisation fails": ["RuntimeError", None],
    "size limit": ["OSError", errno.EFBIG],
    "no file": ["PermissionError", errno.EACCES],
    "read-only file": ["PermissionError", errno.EACCES],
    "sticky directory": None,  # another user's file there: only written over, never replaced
}


@pytest.mark.parametrize("case, error", DENIED_CASES.items(), ids=DENIED_CASES)
def test_a_directory_without_room_for_a_temporary_file(unprivileged, case, error):
    if case == "sticky directory" and not unprivileged:
        pytest.skip("needs root, to give the files another owner")
    base = tempfile.mkdtemp()
    try:
        if unprivileged:
            os.chown(base, 65534, 65534)
        if case == "sticky directory":
            os.mkdir(os.path.join(base, "run"), 0o1777)
            os.chmod(os.path.join(base, "run"), 0o1777)
            for name in ("pts", "pts_R1_bgp_pts.json"):
                with open(os.path.join(base, "run", name), "w") as f:
                    f.write("old " * 1000)
                os.chmod(f.name, 0o666)
        out = run_script(DENIED, base, case, prefix=unprivileged)
    finally:
        shutil.rmtree(base)
    assert out["error"] == error
    assert not temporary_files(out["after"])
    if error:
        assert out["after"] == out["before"]
    else:  # the old files written over, whole, their modes kept
        assert out["after"] == out["expected"] and out["same_files"]
        assert out["modes"][0] == out["modes"][1] and len(out["modes"][0]) == 2


# Temporary names that fit -----------------------------------------------------------

NAMES = PRELUDE + r'''
d, expression = sys.argv[1:]
name = eval(expression)
tried = []

def recording_open(file, mode="r", *args, **kwargs):
    if mode.startswith("x"):
        tried.append(file)
    return open(file, mode, *args, **kwargs)

profile.open = recording_open
location = os.fsencode(d) if isinstance(name, bytes) else d
written = profile.pickle_traffic(table(3), location, name)
report(temporary=os.fsencode(os.path.basename(tried[0])).hex(), bytes=isinstance(tried[0], bytes),
       content=open(written).read() == table(3).get_string(), files=[os.fsencode(n).hex() for n in os.listdir(d)])
'''


NAME_CASES = {
    "short": '"pts"', "241-bytes-fits": '"x" * 241', "242-bytes": '"x" * 242', "path-255": 'pathlib.Path("p" * 255)',
    "243-bytes": '"g" * 243', "2-byte-chars-fit": '"é" * 120', "3-byte-chars": '"€" * 80 + "ab"',
    "4-byte-chars": '"a" + "😀" * 63', "2-byte-chars": '"ß" * 127 + "x"', "undecodable-bytes": 'b"\\xff" * 250',
    "mixed-bytes": '"é".encode() * 126 + b"\\xff\\xfe"', "escaped-surrogates": '"z\\udcff" * 125',
}


@pytest.mark.parametrize("expression", NAME_CASES.values(), ids=NAME_CASES)
def test_temporary_names_fit_and_keep_what_they_can_of_the_name(tmp_path, expression):
    out = run_script(NAMES, tmp_path, expression)
    name = eval(expression, {"pathlib": __import__("pathlib")})
    encoded = os.fsencode(name)
    temporary = bytes.fromhex(out["temporary"])
    assert out["content"] and [bytes.fromhex(n) for n in out["files"]] == [encoded]
    assert out["bytes"] == isinstance(name, bytes)
    assert len(temporary) <= os.pathconf(tmp_path, "PC_NAME_MAX")
    prefix = re.fullmatch(rb"\.(?:(.+)\.)?[a-z0-9_]{8}\.tmp", temporary, re.S).group(1) or b""
    text, kept = os.fsdecode(encoded), os.fsdecode(prefix)
    assert text.startswith(kept)  # cut between characters
    if len(encoded) + 14 <= 255:
        assert prefix == encoded
    else:  # the longest prefix that fits
        assert len(os.fsencode(text[:len(kept) + 1])) + 14 > 255


# SIGKILL at any moment -----------------------------------------------------------------

KILLED = PRELUDE + r'''
import random, signal, time
d, name, runs, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
contents = [pts({"blob": c * 8_000_000}) for c in "ab"]

def write(content):
    attempt(lambda: profile.pickle(content, d, name))  # a long name's JSON files fail, after the golden file

def state():
    return {n: open(os.path.join(d, n), "rb").read() for n in os.listdir(d) if not n.endswith(".tmp")}

complete = []
for content in contents:
    started = time.monotonic()
    write(content)
    duration = time.monotonic() - started
    complete.append(state())
current, outcomes, leftovers, broken = 1, [], set(), []
for run in range(runs):
    child = os.fork()
    if child == 0:
        write(contents[1 - current])
        os._exit(0)
    time.sleep(rng.uniform(0, duration * 1.3))
    os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
    now = state()
    if sorted(now) != sorted(complete[0]) or any(now[n] not in (complete[0][n], complete[1][n]) for n in now):
        broken.append(f"run {run}: a file neither old nor new")
    outcomes += ["new" if now[n] == complete[1 - current][n] else "old" for n in now]
    current = 1 - current if now[name] == complete[1 - current][name] else current
    temporaries = {n for n in os.listdir(d) if n.endswith(".tmp")}
    if not leftovers <= temporaries:
        broken.append(f"leftovers removed after run {run}")
    leftovers = temporaries
report(broken=broken, new=outcomes.count("new"), old=outcomes.count("old"), leftovers=len(leftovers))
'''


@pytest.mark.parametrize("name", ["pts", LONG], ids=["pts", "243-byte-name"])
def test_sigkill_at_any_moment_leaves_the_old_or_the_new_file(tmp_path, name):
    runs = int(os.environ.get("KORRIN_KILL_RUNS", "20"))  # more for a soak
    seed = int.from_bytes(os.urandom(4), "little")
    out = run_script(KILLED, tmp_path, name, runs, seed, timeout=60 + runs * 3)
    assert out["broken"] == [], f"seed {seed}: {out}"


# Errors that name the file being written ---------------------------------------------

NAMED = PRELUDE + r'''
d, call = sys.argv[1:]
make = {"pickle": lambda: profile.pickle(pts({"blob": "n"}), d, "golden"),
        "pickle_traffic": lambda: profile.pickle_traffic(table(2), d, "golden")}[call]
try:
    make()
    raise SystemExit("no error")
except OSError as e:
    got = [type(e).__name__, e.errno, e.strerror, e.filename, type(e.__context__).__name__]
try:
    open(got[3], "w")
except OSError as o:
    expected = [type(o).__name__, o.errno, o.strerror, o.filename]
report(got=got, expected=expected, files=sorted(os.listdir(d)) if os.path.isdir(d) else None)
'''


@pytest.mark.parametrize("call", ["pickle", "pickle_traffic"])
@pytest.mark.parametrize("case", ["missing directory", "directory without write permission", "read-only mount"])
def test_a_failed_create_names_the_target_as_open_does(case, call):
    base = tempfile.mkdtemp()
    os.chmod(base, 0o755)
    prefix, d = [], os.path.join(base, "run")
    if case == "missing directory":
        d = os.path.join(base, "missing", "run")
    elif case == "directory without write permission":
        prefix = unprivileged_prefix()
        if not prefix:
            pytest.skip("needs a user that directory permissions apply to (setpriv to nobody)")
        os.mkdir(d, 0o555)
    else:
        unshare = private_mount_command()
        if not unshare:
            pytest.skip("needs root and a private mount namespace")
        os.mkdir(d)
        mount = 'mount -t tmpfs -o ro,size=1m tmpfs "$0" || exit 97; exec "$@"'
        prefix = [*unshare, "sh", "-c", mount, d]
    try:
        done = subprocess.run([*prefix, sys.executable, "-c", NAMED, d, call], capture_output=True, text=True,
                              timeout=120)
    finally:
        shutil.rmtree(base)
    if done.returncode == 97:
        pytest.skip(f"cannot mount a tmpfs: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr[-3000:]
    out = __import__("json").loads(done.stdout.splitlines()[-1])
    assert out["got"][:4] == out["expected"] and out["got"][4] == out["expected"][0]
    assert os.path.dirname(out["got"][3]) == d and not out["got"][3].endswith(".tmp")
    assert not out["files"]
