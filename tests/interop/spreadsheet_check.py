#!/usr/bin/python3
"""LibreOffice Calc reads qelvo's CSV files as numbers.

spreadsheet_check.py BUILD: captures one two-channel record of the virtual
scope into a ';' CSV and a ',' CSV, has headless LibreOffice convert the ';'
file under a German locale and the ',' file under US English to .xlsx, and
checks with openpyxl that every data cell is a number equal to the ',' CSV's
text as Python reads it. The ';' file under US English, whose decimal commas
that locale does not take, must come out as text: the check can tell.
Status 0 when all holds, 1 otherwise.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import openpyxl

# A sine and a noise record, offset so that both signs occur, at a time base
# whose sample times need every digit.
SCOPE = ["--wave1", "sine", "--wave2", "noise", "--samples", "1000", "--pace", "none"]
CAPTURE = ["--channels=1,2", "-t", "1m", "--gain=2,500m", "--offset=1,-1", "--probe=1,10",
           "--format=csv"]
HEADER = ("Time [s]", "CH1 [V]", "CH2 [V]")

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def capture(build, tmp, separator, name):
    """One run of qelvo against a fresh virtual scope; the file's text."""
    link = os.path.join(tmp, "tty-" + name)
    with open(os.path.join(tmp, "scope-sim.log"), "ab") as log:
        sim = subprocess.Popen([os.path.join(build, "qelvo-scope-sim"), "--link", link] + SCOPE,
                               stdout=log, stderr=subprocess.STDOUT)
    try:
        end = time.monotonic() + 5
        while not os.path.exists(link) and time.monotonic() < end:
            time.sleep(0.05)
        # The default 10 digits after the point: Calc keeps 15 significant
        # digits, so 17 would differ in the last ones whatever the separator.
        env = {k: v for k, v in os.environ.items() if k not in ("QELVO", "FLOAT_PRECISION")}
        run = subprocess.run([os.path.join(build, "qelvo"), "-s", link] + CAPTURE
                             + ["--separator=" + separator, name],
                             cwd=tmp, env=env, capture_output=True, timeout=60)
    finally:
        sim.terminate()
        sim.wait()
    if run.returncode != 0:
        raise AssertionError("qelvo ended with status %d: %s"
                             % (run.returncode, run.stderr.decode(errors="replace")))
    with open(os.path.join(tmp, name), encoding="ascii") as f:
        return f.read()


def convert(tmp, name, lang, separator_code):
    """The CSV `name` through headless LibreOffice under `lang` into .xlsx,
    with a profile of its own; the sheet's rows as openpyxl reads them."""
    stem = os.path.splitext(name)[0] + "-" + lang.split(".")[0]
    profile = tempfile.mkdtemp(prefix="profile-", dir=tmp)
    out = os.path.join(tmp, stem)
    os.mkdir(out)
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANGUAGE"}
    env["LANG"] = lang
    started = time.monotonic()
    run = subprocess.run(
        ["soffice", "-env:UserInstallation=file://" + profile, "--headless", "--norestore",
         "--infilter=CSV:%d,34,76,1" % separator_code, "--convert-to", "xlsx",
         "--outdir", out, os.path.join(tmp, name)],
        env=env, capture_output=True, timeout=300)
    xlsx = os.path.join(out, os.path.splitext(name)[0] + ".xlsx")
    if run.returncode != 0 or not os.path.exists(xlsx):
        raise AssertionError("LibreOffice did not convert %s under %s (status %d): %s"
                             % (name, lang, run.returncode, (run.stdout + run.stderr).decode()))
    print("     %s under %s: converted in %.1f s" % (name, lang, time.monotonic() - started))
    book = openpyxl.load_workbook(xlsx, read_only=True)
    rows = [tuple(row) for row in book.active.iter_rows(values_only=True)]
    book.close()
    return rows


def compare(label, rows, expected):
    """Every data cell a number equal to `expected`'s; the count that are."""
    check(len(rows) == len(expected) + 1 and rows[0] == HEADER,
          "%s: the column names and %d rows (%d rows, first %r)"
          % (label, len(expected), len(rows) - 1, rows[0] if rows else None))
    numbers = equal = 0
    first_wrong = None
    for got, want in zip(rows[1:], expected):
        for cell, value in zip(got, want):
            is_number = isinstance(cell, (int, float)) and not isinstance(cell, bool)
            numbers += is_number
            equal += is_number and cell == value
            if (not is_number or cell != value) and first_wrong is None:
                first_wrong = (cell, value)
    cells = sum(map(len, expected))
    check(numbers == cells and equal == cells,
          "%s: %d of %d data cells are numbers, %d equal to the ',' CSV's%s"
          % (label, numbers, cells, equal,
             "" if first_wrong is None else " (first other: %r for %r)" % first_wrong))
    return numbers


def main():
    if len(sys.argv) != 2:
        print("usage: spreadsheet_check.py BUILD", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    if shutil.which("soffice") is None:
        print("spreadsheet_check: soffice is not installed (sh scripts/ensure-deps interop)",
              file=sys.stderr)
        return 1
    tmp = tempfile.mkdtemp(prefix="qelvo-spreadsheet-")
    try:
        semi = capture(build, tmp, ";", "semi.csv")
        comma = capture(build, tmp, ",", "comma.csv")
        # The virtual scope sends the same record each run: the two files
        # differ in their separator and decimal sign alone.
        check(semi.replace(",", ".").replace(";", ",") == comma and "," in semi.split("\n")[1],
              "the ';' file is the ',' file with decimal commas (%d bytes)" % len(semi))
        expected = [tuple(float(v) for v in line.split(","))
                    for line in comma.splitlines()[1:]]
        check(len(expected) == 1000 and all(len(row) == 3 for row in expected)
              and any(v < 0 for row in expected for v in row),
              "the ',' file holds 1000 rows of three numbers, some negative")

        compare("';' under de_DE.UTF-8", convert(tmp, "semi.csv", "de_DE.UTF-8", 59), expected)
        compare("',' under en_US.UTF-8", convert(tmp, "comma.csv", "en_US.UTF-8", 44), expected)
        # US English reads "8,17..." as text: without the right locale the
        # cells are not numbers, so the checks above do see a wrong import.
        wrong = convert(tmp, "semi.csv", "en_US.UTF-8", 59)
        texts = sum(isinstance(cell, str) for row in wrong[1:] for cell in row)
        check(texts > 0, "';' under en_US.UTF-8 gives text cells (%d of %d), as it must"
              % (texts, sum(map(len, expected))))
    except (AssertionError, subprocess.TimeoutExpired) as error:
        check(False, str(error))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        print("spreadsheet_check: %d check(s) failed" % len(failures))
        return 1
    print("spreadsheet_check: LibreOffice reads both CSV files as the same numbers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
