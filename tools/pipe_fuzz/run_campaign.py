"""The pipe records campaign under Wine: mutated records against the running service and between
broker and dialog host. Bounded in time, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/pipe_fuzz/run_campaign.py [--quick] [--auth N] [--ui N] [--seed S]
  full:    100,000 auth records (about 14,000 of them protected: each a broker round with a
           hostile dialog host answering garbage) and 10,000 garbage records sent to the real host
  --quick: 2,000 and 300 (seconds; what the end-to-end test runs)

Phase 1: SentrelSvc run from the console with a command rule protecting PROTECTED_PATH and
pipe_fuzz_host installed as SentrelUI.exe; no MFA server listens, so nothing can pass a round but
a bug. pipe_fuzz auth sends the records; the service's private bytes and handles are read before
and after. Phase 2: the real SentrelUI.exe --pipe on an Xvfb display; pipe_fuzz ui sends it garbage
requests as a hostile client would.
Exit code 0 when there was no crash, no hang, no approval no dialog gave, and both ends still answer."""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import figures, finish, last_line, start_wine_session  # noqa: E402
import harness  # noqa: E402

PROTECTED_PATH = r"C:\Tools\fuzz-protected.exe"
CLOSED_SERVER = "http://127.0.0.1:9"  # nothing listens: every code check fails


def usage_of(install, exe_name):
    """The process's private bytes and handles as Windows counts them (Wine answers 0 for both), and
    what Linux sees of the Wine process: anonymous resident memory, threads, open descriptors."""
    code, out, _ = install.run("pipe_fuzz.exe", "usage", exe_name, timeout=60)
    usage = figures(out.strip()) if code == 0 else {}
    pids = install.installed_processes(lambda cmdline: exe_name.lower().encode() in cmdline)
    if pids:
        try:
            with open("/proc/%d/status" % pids[0]) as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            usage["rss_anon_kb"] = status["RssAnon"].split()[0]
            usage["threads"] = status["Threads"].strip()
            usage["fds"] = str(len(os.listdir("/proc/%d/fd" % pids[0])))
        except (OSError, KeyError):
            pass
    return usage


def run_auth_phase(install, n, seed, bound_s):
    """Phase 1; returns a dict of figures (and the per-kind lines under 'kinds')."""
    settings = harness.settings_json(server_url=CLOSED_SERVER, api_key="k", mfa_username="u")
    policy = harness.policy_json([harness.rule_json("command", "Fuzz protected", match_path=PROTECTED_PATH)])
    install.lay_out(settings=settings, policy=policy,
                    executables=("SentrelSvc.exe", "SentrelUI.exe", "pipe_fuzz.exe"),
                    replace={"SentrelUI.exe": "pipe_fuzz_host.exe"})
    install.write_file("pipe_fuzz_host_seed.txt", str(seed))
    service = install.start_console_service()
    before = usage_of(install, "SentrelSvc.exe")
    code, out, err = install.run("pipe_fuzz.exe", "auth", str(n), str(seed), PROTECTED_PATH, timeout=bound_s)
    after = usage_of(install, "SentrelSvc.exe")
    result = figures(last_line(out, "auth"))
    result["kinds"] = [line for line in out.replace("\r\n", "\n").splitlines() if line.startswith("kind=")]
    result["exit_code"] = code
    result["stderr"] = err.strip()
    result["service_running"] = service.poll() is None
    result["usage_before"] = before
    result["usage_after"] = after
    try:
        with open(os.path.join(install.folder, "pipe_fuzz_host_stats.txt"), encoding="utf-8") as f:
            result["host"] = figures(f.read().strip())
    except FileNotFoundError:
        result["host"] = {}
    install.stop_all()
    return result


def run_ui_phase(install, n, seed, bound_s):
    """Phase 2; returns a dict of figures."""
    install.start_display()
    settings = harness.settings_json(server_url=CLOSED_SERVER, api_key="k", mfa_username="u", language="en-US")
    install.lay_out(settings=settings, executables=("SentrelUI.exe", "pipe_fuzz.exe"))
    host = install.start("SentrelUI.exe", "--pipe")
    code, out, err = install.run("pipe_fuzz.exe", "ui", str(n), str(seed), timeout=bound_s,
                                 env={"DISPLAY": install.display})
    result = figures(last_line(out, "ui"))
    result["exit_code"] = code
    result["stderr"] = err.strip()
    result["host_running"] = host.poll() is None
    install.stop_all()
    return result


def failures(auth, ui):
    """What went wrong, as texts; empty when the campaign passed."""
    wrong = []
    if auth.get("exit_code") != 0:
        wrong.append("pipe_fuzz auth failed (exit code %s): %s" % (auth.get("exit_code"), auth.get("stderr")))
    if not auth.get("service_running"):
        wrong.append("the service ended during the campaign")
    if auth.get("host", {}).get("passed", "0") != "0":
        wrong.append("the broker passed rounds the hostile host answered: %s" % auth["host"])
    if not auth.get("host", {}).get("requests"):
        wrong.append("the hostile dialog host got no request")
    if ui.get("exit_code") != 0:
        wrong.append("pipe_fuzz ui failed (exit code %s): %s" % (ui.get("exit_code"), ui.get("stderr")))
    if not ui.get("host_running"):
        wrong.append("the dialog host ended during the campaign")
    return wrong


def report(auth, ui):
    print("auth records: " + " ".join("%s=%s" % kv for kv in auth.items()
                                      if kv[0] not in ("kinds", "host", "usage_before", "usage_after", "stderr")))
    for line in auth.get("kinds", []):
        print("  " + line)
    print("hostile dialog host (broker -> host requests, garbage answers): %s" % auth.get("host"))
    print("service before: %s  after: %s" % (auth.get("usage_before"), auth.get("usage_after")))
    print("hostile client -> dialog host: " + " ".join("%s=%s" % kv for kv in ui.items() if kv[0] != "stderr"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--auth", type=int)
    parser.add_argument("--ui", type=int)
    parser.add_argument("--seed", type=int, default=24001)
    options = parser.parse_args()
    auth_n = options.auth or (2000 if options.quick else 100000)
    ui_n = options.ui or (300 if options.quick else 10000)
    start_wine_session(harness.PREFIX)
    install = harness.Install()
    install.kill_installed_processes()
    try:
        auth = run_auth_phase(install, auth_n, options.seed, bound_s=120 + auth_n // 50)
        ui = run_ui_phase(harness.Install(), ui_n, options.seed, bound_s=120 + ui_n // 5)
    finally:
        install.stop_all()
    report(auth, ui)
    wrong = failures(auth, ui)
    finish(wrong)


if __name__ == "__main__":
    main()
