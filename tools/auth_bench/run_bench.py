"""Runs the auth pipe benchmark under Wine: the real service against a raw echo baseline, both
running at once and measured interleaved (see auth_bench compare).
Usage (after a build): python3 tools/auth_bench/run_bench.py [n] [clients]"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import start_wine_session  # noqa: E402
import harness  # noqa: E402


def main():
    n = sys.argv[1] if len(sys.argv) > 1 else "2000"
    clients = sys.argv[2] if len(sys.argv) > 2 else "8"
    start_wine_session(harness.PREFIX)
    install = harness.Install()
    try:
        install.lay_out(policy=harness.policy_json([]),
                        executables=harness.EXECUTABLES + ("auth_bench.exe",))
        install.start_console_service()
        install.start("auth_bench.exe", "echo", r"\\.\pipe\SentrelBenchEcho")
        if install.wait_for("pipe", "SentrelBenchEcho", "15000")[0] != 0:
            sys.exit("the echo server's pipe did not appear")
        # Both at once, interleaved: the machine's load meets both alike.
        code, out, err = install.run("auth_bench.exe", "compare", r"\\.\pipe\SentrelAuth",
                                     r"\\.\pipe\SentrelBenchEcho", n, clients, timeout=900)
        lines = out.strip().splitlines()
        if code or len(lines) != 2:
            sys.exit("the benchmark failed (exit code %s): %s %s" % (code, out, err))
        out2, out = lines
        print("service:  " + out2)
        print("baseline: " + out)
        base = dict(kv.split("=") for kv in out.split())
        svc = dict(kv.split("=") for kv in out2.split())
        print("ratio p50 service/baseline: %.2f" % (float(svc["p50_us"]) / float(base["p50_us"])))
        print("ratio p99 service/baseline: %.2f" % (float(svc["p99_us"]) / float(base["p99_us"])))
        print("ratio throughput service/baseline: %.2f" %
              (float(svc["throughput_per_s"]) / float(base["throughput_per_s"])))
    finally:
        install.stop_all()


if __name__ == "__main__":
    main()
