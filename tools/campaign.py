"""What the campaign and benchmark scripts under tools/ share: the build's programs and Wine prefix
found as the end-to-end tests find them (unless SENTREL_BIN or SENTREL_WINEPREFIX says otherwise),
the test harness importable, one Wine session kept up for a run, and one way to end with what
went wrong. A script imports it first:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from campaign import ROOT, finish, start_wine_session  # noqa: E402
    import harness  # noqa: E402
"""

import os
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("SENTREL_BIN", os.path.join(ROOT, "build", "bin"))
os.environ.setdefault("SENTREL_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))


def figures(line):
    """'name a=1 b=2' -> {'a': '1', 'b': '2'}"""
    return dict(part.split("=", 1) for part in line.split() if "=" in part)


def last_line(out, first_word):
    lines = [line for line in out.replace("\r\n", "\n").splitlines() if line.startswith(first_word + " ")]
    return lines[-1] if lines else ""


def start_wine_session(prefix):
    """One wineserver kept alive for the run, the prefix booted once."""
    subprocess.run([os.path.join(ROOT, "tests/support/wine-session.sh"), "start", prefix], check=True)


def finish(wrong):
    """Prints each failure and exits: 0 when there was none, 1 otherwise."""
    for text in wrong:
        print("FAILED: " + text)
    sys.exit(1 if wrong else 0)
