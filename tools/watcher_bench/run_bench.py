"""Runs the process watcher benchmark under Wine: the cost of one pass against the bare enumeration
of the same process list (its baseline), with 50 and with 500 processes, then the detection latency
of a protected program with the real service.
Usage (after a build): python3 tools/watcher_bench/run_bench.py [starts] [passes]
(passes with 500 processes; with 50 it runs five times as many, as each takes a tenth of the time)"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "../.."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("SENTREL_BIN", os.path.join(ROOT, "build", "bin"))
os.environ.setdefault("SENTREL_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))

import harness  # noqa: E402


def main():
    starts = sys.argv[1] if len(sys.argv) > 1 else "30"
    passes = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    subprocess.run([os.path.join(ROOT, "tests/support/wine-session.sh"), "start", harness.PREFIX], check=True)
    install = harness.Install()
    failed = False
    try:
        rule = harness.rule_json("program", "Bench", match_name="protected_app.exe")
        install.lay_out(policy=harness.policy_json([rule]),
                        executables=("SentrelSvc.exe", "SentrelUI.exe", "protected_app.exe", "watcher_bench.exe"),
                        replace={"SentrelUI.exe": "test_dialog_host.exe"})
        install.write_file("test_dialog_script.txt", "deny bench\n")
        ratios = []
        for count, rounds, rule in (("50", passes * 5, ""), ("500", passes, ""), ("50", passes * 5, "identity"),
                                    ("500", passes, "identity")):
            code, out, err = install.run("watcher_bench.exe", "passes", count, str(rounds), *([rule] if rule else []),
                                         timeout=900)
            print("pass, %3s processes%s: %s" % (count, ", identity rule" if rule else "", (out or err).strip()))
            failed |= code != 0
            ratio = re.search(r"ratio pass/bare:\s+cpu=([0-9.]+) wall_p50=([0-9.]+)", out)
            ratios.append("%s processes%s: cpu %s, wall p50 %s" % ((count, " (identity rule)" if rule else "") +
                                                                 (ratio.groups() if ratio else ("?", "?"))))
        print("ratio pass / bare enumeration (aim: at most 1.3): " + "; ".join(ratios))
        install.start_console_service()
        code, out, err = install.run("watcher_bench.exe", "latency", install.path_win("protected_app.exe"), starts,
                                     timeout=600)
        print("detection latency: " + (out or err).strip())
        failed |= code != 0
    finally:
        install.stop_all()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
