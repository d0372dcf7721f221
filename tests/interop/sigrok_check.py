#!/usr/bin/python3
"""Debian's sigrok-cli reads qelvo's session files (--format=sr).

Captures from the virtual scope, one channel, two channels and a series, as
TSV and as session file; then for each session file:
- its float32 samples are the ones nearest the TSV's values (one step at most);
- `sigrok-cli -i FILE --show` names the channels, the sample count and rate;
- `sigrok-cli -i FILE -O srzip -o COPY.sr` writes sigrok's own session file,
  whose float arrays equal qelvo's bit for bit.

    /usr/bin/python3 tests/interop/sigrok_check.py [BUILD]
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
QELVO = os.path.join(BUILD, "qelvo")
SIM = os.path.join(BUILD, "qelvo-scope-sim")

# name, qelvo's options, the files written, scope channels in column order,
# rate in Hz as sigrok-cli shows it.
CASES = [
    ("one channel", ["-c", "1", "-t", "1m", "-y", "500m", "-p", "10"], ["one.sr"], [1], 99200),
    ("two channels", ["--channels=2,1", "-t", "20u", "--gain=2,0.05", "--probe=1,10"],
     ["two.sr"], [2, 1], 4960000),
    ("series", ["--channels=1,2", "-t", "5m", "--count=2"], ["run-0001.sr", "run-0002.sr"],
     [1, 2], 19840),
]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


def run(argv, cwd):
    env = dict(os.environ)
    env.pop("QELVO", None)
    done = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit("sigrok_check: %s ended with %d:\n%s" % (" ".join(argv), done.returncode,
                                                          done.stderr))
    return done.stdout


def tsv_columns(path):
    """The volts of each column of a TSV file's sample rows."""
    columns = []
    with open(path, encoding="latin-1") as text:
        for line in text:
            if line.startswith("#"):
                continue
            values = [float(field) for field in line.split("\t")[1:]]
            while len(columns) < len(values):
                columns.append([])
            for k, value in enumerate(values):
                columns[k].append(value)
    return columns


def analog_arrays(path):
    """Each channel's float32 bytes, chunks joined, by channel number."""
    arrays = {}
    with zipfile.ZipFile(path) as archive:
        names = [n for n in archive.namelist() if re.fullmatch(r"analog-1-\d+-\d+", n)]
        for name in sorted(names, key=lambda n: [int(p) for p in n.split("-")[1:]]):
            channel = int(name.split("-")[2])
            arrays[channel] = arrays.get(channel, b"") + archive.read(name)
    return arrays


def float_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def check_floats(what, data, volts):
    check(len(data) == 4 * len(volts), "%s: %d bytes for %d samples" % (what, len(data), len(volts)))
    worst = 0
    for i, value in enumerate(volts[: len(data) // 4]):
        got = struct.unpack_from("<I", data, 4 * i)[0]
        worst = max(worst, abs(got - float_bits(value)))
    check(worst <= 1, "%s: a float %d steps from the TSV's value" % (what, worst))
    return worst


def check_file(workdir, name, channels, rate, reference):
    path = os.path.join(workdir, name)
    with zipfile.ZipFile(path) as archive:
        check(archive.namelist()[:2] == ["version", "metadata"], name + ": entries " +
              str(archive.namelist()))
        check(archive.read("version") == b"2", name + ": version")
        metadata = archive.read("metadata").decode("utf-8")
    head = "[global]\nsigrok version=0.5.2\n\n[device 1]\nsamplerate=%d Hz\ntotal analog=%d\n" % (
        rate, len(channels))
    head += "".join("analog%d=CH%d\n" % (k + 1, c) for k, c in enumerate(channels))
    check(metadata.startswith(head), name + ": metadata begins\n" + metadata)
    check("\nqelvo_time_base=" in metadata, name + ": no qelvo_time_base")
    ours = analog_arrays(path)
    check(sorted(ours) == list(range(1, len(channels) + 1)), name + ": channels " + str(sorted(ours)))
    worst = 0
    for k in range(len(channels)):
        worst = max(worst, check_floats("%s column %d" % (name, k + 1), ours.get(k + 1, b""),
                                        reference[k]))

    shown = run(["sigrok-cli", "-i", path, "--show"], workdir)
    print("$ sigrok-cli -i %s --show" % name)
    print(shown.rstrip("\n"))
    check("Samplerate: %d\n" % rate in shown, name + ": sigrok-cli's rate")
    listed = re.findall(r"^- (\S+): analog$", shown, re.M)
    check(listed == ["CH%d" % c for c in channels], name + ": sigrok-cli's channels " + str(listed))
    count = re.search(r"Analog sample count: (\d+)", shown)
    check(count is not None and int(count.group(1)) == len(reference[0]),
          name + ": sigrok-cli's sample count")

    copy = os.path.join(workdir, "copy-" + name)
    run(["sigrok-cli", "-i", path, "-O", "srzip", "-o", copy], workdir)
    theirs = analog_arrays(copy)
    check(theirs == ours, name + ": sigrok-cli's copy holds other floats")
    print("%s: %d channel(s) of %d samples; sigrok-cli's copy equal bit for bit: %s; "
          "floats within %d step of the TSV" % (name, len(ours), len(reference[0]),
                                                 "yes" if theirs == ours else "NO", worst))
    print()


def main():
    for program in (QELVO, SIM):
        if not os.access(program, os.X_OK):
            sys.exit("sigrok_check: %s is not built" % program)
    with tempfile.TemporaryDirectory(prefix="qelvo-sigrok-") as workdir:
        tty = os.path.join(workdir, "tty")
        sim = subprocess.Popen([SIM, "--link", tty, "--pace", "none", "--samples", "900",
                                "--wave2", "noise"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                if os.path.exists(tty):
                    break
                time.sleep(0.05)
            for name, options, files, channels, rate in CASES:
                run([QELVO, "-s", tty] + options + ["--format=sr", files[0].replace("-0001", "")],
                    workdir)
                text = [o for o in options if not o.startswith("--count")]
                run([QELVO, "-s", tty] + text + ["reference.dat"], workdir)
                reference = tsv_columns(os.path.join(workdir, "reference.dat"))
                print("== %s" % name)
                for file in files:
                    check_file(workdir, file, channels, rate, reference)
        finally:
            sim.terminate()
            sim.wait()
    if failures:
        print("sigrok_check: %d failure(s)" % len(failures))
        return 1
    print("sigrok_check: sigrok-cli read every session file; its copies hold the same floats")
    return 0


if __name__ == "__main__":
    sys.exit(main())
