"""The load campaign under Wine: many clients of the auth pipe at once, then bursts of starts of a
protected program. Bounded in time, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/load/run_campaign.py [--quick] [--clients N] [--requests N] [--burst N]
  full:    8 clients x 10,000 requests for unmatched commands (after a warm-up of 8 x 500), and
           bursts of 200 starts
  --quick: 8 x 300 (warm-up 8 x 50) and bursts of 30 (about a minute; what the end-to-end test runs)

One SentrelSvc run from the console serves the whole campaign: a command rule (that none of the
requests matches) and a program rule protecting the copies of tools/protected_app; the dialog host
is tools/test_dialog_host installed as SentrelUI.exe, answering with a code the test MFA server
accepts for the user, so the service's own check of the code passes.
Requests: auth_bench load accounts for every request (answered, allowed, lost) and times it; the
audit log must hold exactly one "cmd:" line per request.
Bursts: watcher_bench burst starts the program n times from a Windows parent and reports how each
start ended. Three bursts, each of its own copy of the program (the approval cache is keyed by the
path, so one burst's approval never lets another's starts through):
  held-approve  the first start's dialog stays open while the other n - 1 starts are made and end;
                then it approves: every start stopped, one dialog, one relaunch
  held-deny     the same, denied: every start stopped, the program asked for once more (it was
                started again while being asked) and denied again, no relaunch
  free          n starts while every round is denied as it comes: every start stopped, one
                "program denied" line per dialog
After every burst no copy of the program runs but the relaunches, and the log holds one line per
event. The service's handles, threads and memory are read before, after the warm-up, after the
requests and after the bursts.
Exit code 0 only when nothing was lost, missed, duplicated or left running unjudged."""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import figures, finish, last_line, ROOT, start_wine_session  # noqa: E402
import harness  # noqa: E402
import mfa_fixture  # noqa: E402
import mfa_server  # noqa: E402  (found beside mfa_fixture)

PIPE = r"\\.\pipe\SentrelAuth"
UNMATCHED_LINE = "cmd: path=C:\\Windows\\System32\\bench-unmatched.exe args=--bench result=未命中命令规则，直接放行"
BURSTS = ("held-approve", "held-deny", "free")
STOPPED = 5


def usage_of(install, exe_name):
    """What can be read of the process's use of handles and memory. From Windows' own lists (read
    by watcher_bench usage): open_handles, its entries in the system's handle list (wineserver's
    handle table under Wine: the real count); handles, the process list's figure (under Wine the
    size of its handle table, which only grows, in steps); threads; pagefile_bytes, the commit
    charge (Windows' private bytes; Wine fills it with the process's anonymous resident memory);
    private_bytes, which Wine leaves 0. From Linux, of the Wine process: anonymous resident memory,
    threads, open descriptors."""
    code, out, _ = install.run("watcher_bench.exe", "usage", exe_name, timeout=60)
    usage = figures(out.strip()) if code == 0 else {}
    usage.pop("pid", None)
    pids = install.installed_processes(lambda cmdline: exe_name.lower().encode() in cmdline)
    if pids:
        try:
            with open("/proc/%d/status" % pids[0]) as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            usage["linux_rss_anon_kb"] = status["RssAnon"].split()[0]
            usage["linux_threads"] = status["Threads"].strip()
            usage["linux_fds"] = str(len(os.listdir("/proc/%d/fd" % pids[0])))
        except (OSError, KeyError):
            pass
    return usage


def codes_for_a_while():
    """alice's codes for now, in a minute and in two: sent in turn while the broker asks again, one
    of them is good for about 150 s from now (the server takes a code one step either side)."""
    key = mfa_server.decode_secret(mfa_fixture.SECRET)
    now = time.time()
    return " ".join(mfa_server.totp(key, now + k * 60) for k in range(3))


def idle_usage_of(install, exe_name, threads, timeout=60):
    """usage_of once the process runs no more than the given number of threads, or after the
    timeout: then it shows the threads that did not end. A request handler or a round thread ends a
    moment after its last act; after an MFA call, Wine's WinHTTP keeps the connection in its pool,
    with a thread of its own, for 30 s after the service has closed its handles. idle_wait_s: how
    long it took."""
    start = time.time()
    while True:
        usage = usage_of(install, exe_name)
        if int(usage.get("threads", "-1")) <= threads or time.time() >= start + timeout:
            usage["idle_wait_s"] = "%.1f" % (time.time() - start)
            return usage
        time.sleep(0.5)


MAX_GROWTH_KB = 1024  # private memory a flat service may still gain past its warm-up (heap pages)
# Handles a flat service may still gain past its warm-up: now and then one event more appears once
# during a run and stays, however long the run (one in 2,400 requests as in 80,000); a leak grows
# with the requests, each of which takes a thread, a pipe instance, an event and a token.
HANDLE_SLACK = 2


class Campaign:
    """The install, the MFA server and the service of one campaign run."""

    def __init__(self, install, server):
        self.install = install
        self.server = server
        self.service = None
        self.threads = 0  # the service's threads when idle
        self.script = []  # the dialog host's action lines so far, one per request it took

    @staticmethod
    def app_name(burst):
        return "protected_%s.exe" % burst.replace("-", "_")

    def lay_out(self):
        apps = tuple(self.app_name(b) for b in BURSTS + ("probe",))
        # One program rule per copy (a rule names one file name), each with a window of 0: an
        # approval holds the 5 s its relaunch needs.
        rules = [harness.rule_json("command", "Protected command", match_name="protected-tool.exe")]
        rules += [harness.rule_json("program", "Protected " + a, match_name=a, cache_window_seconds=0) for a in apps]
        settings = harness.settings_json(server_url="http://127.0.0.1:%d" % self.server.port,
                                         api_key=mfa_fixture.API_KEY, mfa_username="alice")
        self.install.lay_out(settings=settings, policy=harness.policy_json(rules),
                             executables=("SentrelSvc.exe", "SentrelUI.exe", "auth_bench.exe",
                                          "watcher_bench.exe") + apps,
                             replace=dict([("SentrelUI.exe", "test_dialog_host.exe")] +
                                          [(a, "protected_app.exe") for a in apps]))
        self.install.clear_log()

    def start_service(self):
        self.service = self.install.start_console_service()

    def script_next(self, actions):
        """The host takes the n-th line for its n-th request (the last one repeats): the lines of the
        requests it has taken stay, the given ones follow."""
        taken = len(self.host_requests())
        self.script = (self.script + ["deny filler"] * taken)[:taken] + list(actions)
        self.install.write_file("test_dialog_script.txt", "\n".join(self.script) + "\n")

    def host_requests(self):
        path = os.path.join(self.install.folder, "test_dialog_requests.txt")
        try:
            with open(path, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def starts(self):
        try:
            with open(os.path.join(self.install.folder, "protected_app_starts.txt"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def launch(self, app, n, gap_ms, bound_s):
        """watcher_bench burst: n starts of the copy; its figures."""
        code, out, err = self.install.run("watcher_bench.exe", "burst", self.install.path_win(app), str(n),
                                          str(gap_ms), str(bound_s), timeout=bound_s + 2 * n + 120)
        result = figures(last_line(out, "burst"))
        result["exit_code"] = code
        result["stderr"] = err.strip()
        return result

    def requests_for(self, app):
        target = self.install.path_win(app)
        return [r for r in self.host_requests() if r["target"] == target]

    def wait_requests_for(self, app, count, timeout=60):
        return harness.wait_until(lambda: len(self.requests_for(app)) >= count, timeout=timeout)

    def running_copies(self, app):
        path = self.install.path_win(app).lower().encode()
        return self.install.installed_processes(lambda cmdline: cmdline.startswith(path))

    def program_lines(self, app):
        """The log lines of the copy's outcomes, and the relaunch's own lines."""
        path = self.install.path_win(app)
        return [m for m in self.install.log_messages()
                if m.startswith("program ") and path in m or m.startswith("relaunch")]


def merge_launches(first, rest):
    merged = dict(rest)
    for key in ("starts", "started", "start_failures", "stopped_in_start", "stopped", "running", "other"):
        merged[key] = str(int(first.get(key, "0")) + int(rest.get(key, "0")))
    merged["exit_code"] = max(first.get("exit_code", 1), rest.get("exit_code", 1))
    merged["start_errors"] = ",".join(e for e in (first.get("start_errors", "-"), rest.get("start_errors", "-"))
                                      if e != "-") or "-"
    merged["stderr"] = (first.get("stderr", "") + " " + rest.get("stderr", "")).strip()
    return merged


def run_burst(campaign, burst, n, gap_ms, bound_s):
    """One burst; returns its figures.
    held-*: the first start alone; once its dialog is open, the other n - 1 (each folded into the
    open round); the dialog is released when all have ended: approved, one relaunch; denied, the
    program is asked for once more (it was started again meanwhile), and denied again.
    free: n starts while every round is denied as it comes; then two starts of the probe copy, one
    after the other's dialog: rounds of a session come in turn, so when the second probe's dialog
    opens, every round for the burst has been judged."""
    install = campaign.install
    app = campaign.app_name(burst)
    app_win = install.path_win(app)
    starts_before = len(campaign.starts())
    lines_before = len(campaign.program_lines(app))
    result = {}
    if burst.startswith("held"):
        verdict = "code " + codes_for_a_while() if burst == "held-approve" else "deny burst refused"
        campaign.script_next(["hold release-%s.txt %s" % (burst, verdict), "deny unexpected dialog"
                              if burst == "held-approve" else "deny burst refused again"])
        first = campaign.launch(app, 1, 0, bound_s)
        if not campaign.wait_requests_for(app, 1):
            result["stderr"] = "no dialog for the first start"
        rest = campaign.launch(app, n - 1, gap_ms, bound_s)
        result.update(merge_launches(first, rest))
        # Every start of the burst has ended, so a start recorded from now on is the relaunch.
        starts_at_release = len(campaign.starts())
        install.write_file("release-%s.txt" % burst, "")
        if burst == "held-approve":
            harness.wait_until(lambda: len(campaign.starts()) > starts_at_release, timeout=60)
            install.wait_for_log("program relaunch ok: " + app_win)
        else:
            campaign.wait_requests_for(app, 2)
            harness.wait_until(lambda: sum(1 for m in campaign.program_lines(app)[lines_before:]
                                           if m.startswith("program denied: " + app_win)) >= 2, timeout=15)
    else:
        campaign.script_next(["deny burst refused"])
        result.update(campaign.launch(app, n, gap_ms, bound_s))
        probe = campaign.app_name("probe")
        probes_before = len(campaign.requests_for(probe))
        for k in (1, 2):
            campaign.launch(probe, 1, 0, bound_s)
            if not campaign.wait_requests_for(probe, probes_before + k):
                result["stderr"] = (result.get("stderr", "") + " no dialog for probe %d" % k).strip()
    result["rounds"] = len(campaign.requests_for(app))
    lines = campaign.program_lines(app)[lines_before:]
    lines = [m for m in lines if not m.startswith("program ") or app_win in m]
    result["relaunch_ok_lines"] = sum(1 for m in lines if m == "program relaunch ok: " + app_win)
    result["denied_lines"] = sum(1 for m in lines if m.startswith("program denied: " + app_win + " "))
    result["other_lines"] = [m for m in lines if not (
        m == "program relaunch ok: " + app_win or m.startswith("program denied: " + app_win + " ") or
        m.startswith("relaunch: exe=" + app_win + " ") or m.startswith("relaunch ok pid="))]
    relaunch_pids = [int(m.split("pid=")[1].split()[0]) for m in lines if m.startswith("relaunch ok pid=")]
    result["relaunches"] = len(relaunch_pids)
    recorded = {s["pid"] for s in campaign.starts()[starts_before:] if s["image"] == app_win}
    result["relaunches_recorded"] = sum(1 for pid in relaunch_pids if pid in recorded)
    result["running_copies"] = len(campaign.running_copies(app))
    return result


def burst_failures(burst, n, result):
    wrong = []
    name = "burst " + burst
    # A start the watcher ended before Wine had finished starting it fails in the launcher
    # (stopped_in_start): it was judged, though the launcher got no handle to it.
    in_start = int(result.get("stopped_in_start", "0"))
    if int(result.get("started", "0")) + in_start != n or result.get("stderr"):
        wrong.append("%s: the launcher failed (exit code %s, start errors %s): %s" % (
            name, result.get("exit_code"), result.get("start_errors", "-"), result.get("stderr")))
    stopped, running, other = (int(result.get(k, "0")) for k in ("stopped", "running", "other"))
    stopped += in_start
    if stopped != n:
        wrong.append("%s: %d of %d starts stopped, %d running unjudged, %d ended otherwise" % (
            name, stopped, n, running, other))
    if result["other_lines"]:
        wrong.append("%s: unexpected log lines: %s" % (name, result["other_lines"][:5]))
    expected = {"held-approve": (1, 1, 0), "held-deny": (2, 0, 2)}.get(burst)
    got = (result["rounds"], result["relaunch_ok_lines"], result["denied_lines"])
    if expected and got != expected:
        wrong.append("%s: dialogs, relaunch lines, denial lines: %s, expected %s" % (name, got, expected))
    if burst == "free" and (result["rounds"] < 1 or result["denied_lines"] != result["rounds"] or
                            result["relaunch_ok_lines"]):
        wrong.append("%s: %d dialogs, %d denial lines, %d relaunch lines" % (
            name, result["rounds"], result["denied_lines"], result["relaunch_ok_lines"]))
    if result["relaunches"] != result["relaunch_ok_lines"] or result["relaunches_recorded"] != result["relaunches"]:
        wrong.append("%s: %d relaunch lines, %d relaunches logged, %d of them started" % (
            name, result["relaunch_ok_lines"], result["relaunches"], result["relaunches_recorded"]))
    if result["running_copies"] != result["relaunches"]:
        wrong.append("%s: %d copies run after the burst, %d relaunched" % (
            name, result["running_copies"], result["relaunches"]))
    return wrong


def run_requests(campaign, clients, warm_up, per_client, bound_s):
    """The load on the auth pipe: a warm-up, then the measured run; returns their figures."""
    install = campaign.install
    result = {"usage_start": usage_of(install, "SentrelSvc.exe")}
    campaign.threads = int(result["usage_start"].get("threads", "0"))  # the service's own, idle
    code, out, err = install.run("auth_bench.exe", "load", PIPE, str(clients), str(warm_up), timeout=bound_s)
    result["warm_up"] = figures(last_line(out, "load"))
    result["usage_warm"] = idle_usage_of(install, "SentrelSvc.exe", campaign.threads)
    code, out, err = install.run("auth_bench.exe", "load", PIPE, str(clients), str(per_client), timeout=bound_s)
    result["load"] = figures(last_line(out, "load"))
    result["exit_code"] = code
    result["stderr"] = err.strip()
    result["usage_after"] = idle_usage_of(install, "SentrelSvc.exe", campaign.threads)
    result["expected_lines"] = clients * (warm_up + per_client)
    # Each line is written before its reply is sent: every answered request's line is there.
    messages = install.log_messages()
    result["log_lines"] = sum(1 for m in messages if m == UNMATCHED_LINE)
    result["other_cmd_lines"] = sum(1 for m in messages if m.startswith("cmd:") and m != UNMATCHED_LINE)
    return result


def load_failures(name, load, sent):
    """What a load run lost or got wrong, as texts."""
    if load.get("sent") != str(sent) or load.get("answered") != str(sent) or load.get("allowed") != str(sent) or \
            load.get("lost", "?") != "0" or load.get("not_connected", "?") != "0":
        return ["%s: not every request answered and allowed: %s" % (name, " ".join(
            "%s=%s" % (k, load.get(k, "?")) for k in ("sent", "answered", "allowed", "denied", "lost",
                                                      "not_connected")))]
    return []


def request_failures(requests, clients, warm_up, per_client):
    wrong = load_failures("warm-up", requests.get("warm_up", {}), clients * warm_up)
    wrong += load_failures("requests", requests.get("load", {}), clients * per_client)
    if requests["log_lines"] != requests["expected_lines"] or requests["other_cmd_lines"]:
        wrong.append("log: %d cmd lines for %d requests (%d others)" % (
            requests["log_lines"], requests["expected_lines"], requests["other_cmd_lines"]))
    return wrong


def growth_failures(name, before, after, max_growth_kb):
    """The service's use after against before (both idle): no more threads or descriptors, at most
    HANDLE_SLACK more handles, and its private memory grown by at most max_growth_kb."""
    wrong = []
    for key, slack in (("open_handles", HANDLE_SLACK), ("threads", 0), ("linux_threads", 0), ("linux_fds", 0)):
        if key not in before or key not in after:
            wrong.append("%s: %s not read" % (name, key))
        elif int(after[key]) > int(before[key]) + slack:
            wrong.append("%s: %s grew from %s to %s" % (name, key, before[key], after[key]))
    if "pagefile_bytes" not in before or "pagefile_bytes" not in after:
        wrong.append("%s: private memory not read" % name)
    elif int(after["pagefile_bytes"]) - int(before["pagefile_bytes"]) > max_growth_kb * 1024:
        wrong.append("%s: private memory grew by %d KB (at most %d KB allowed)" % (
            name, (int(after["pagefile_bytes"]) - int(before["pagefile_bytes"])) // 1024, max_growth_kb))
    return wrong


def run(install, clients, warm_up, per_client, burst_n, gap_ms=20):
    """The whole campaign on one service; returns (figures, failures)."""
    folder = tempfile.mkdtemp(prefix="sentrel-load-mfa-")
    server = mfa_fixture.MfaServer(folder)
    try:
        campaign = Campaign(install, server)
        campaign.lay_out()
        campaign.start_service()
        requests = run_requests(campaign, clients, warm_up, per_client, bound_s=120 + clients * per_client // 20)
        wrong = request_failures(requests, clients, warm_up, per_client)
        bursts = {}
        for burst in BURSTS:
            bursts[burst] = run_burst(campaign, burst, burst_n, gap_ms, bound_s=60 + burst_n // 2)
            wrong += burst_failures(burst, burst_n, bursts[burst])
            install.kill_installed_processes_named(campaign.app_name(burst))
            bursts[burst]["usage_after"] = idle_usage_of(install, "SentrelSvc.exe", campaign.threads)
        # The first burst brings the rounds' pieces (the dialog host's first start and pipe): past
        # it, and past the requests' warm-up, nothing may grow.
        wrong += growth_failures("requests", requests["usage_warm"], requests["usage_after"], MAX_GROWTH_KB)
        wrong += growth_failures("bursts", bursts[BURSTS[0]]["usage_after"], bursts[BURSTS[-1]]["usage_after"],
                                 MAX_GROWTH_KB)
        if campaign.service.poll() is not None:
            wrong.append("the service ended during the campaign")
        return {"requests": requests, "bursts": bursts}, wrong
    finally:
        install.stop_all()
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def report(result):
    requests = result["requests"]
    print("warm-up:  " + " ".join("%s=%s" % kv for kv in requests.get("warm_up", {}).items()))
    print("requests: " + " ".join("%s=%s" % kv for kv in requests.get("load", {}).items()))
    print("log: %d cmd lines for %d requests" % (requests["log_lines"], requests["expected_lines"]))
    for when in ("usage_start", "usage_warm", "usage_after"):
        print("service %-19s %s" % ("at " + when[6:] + ":", usage_text(requests.get(when, {}))))
    for burst, f in result.get("bursts", {}).items():
        print("burst %-13s %s" % (burst + ":", " ".join("%s=%s" % kv for kv in f.items()
                                                        if kv[0] not in ("other_lines", "stderr", "usage_after"))))
    for burst, f in result.get("bursts", {}).items():
        print("service %-19s %s" % ("after " + burst + ":", usage_text(f.get("usage_after", {}))))


def usage_text(usage):
    return " ".join("%s=%s" % kv for kv in usage.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--requests", type=int, help="per client")
    parser.add_argument("--burst", type=int)
    options = parser.parse_args()
    per_client = options.requests or (300 if options.quick else 10000)
    warm_up = 50 if options.quick else 500
    burst_n = options.burst or (30 if options.quick else 200)
    start_wine_session(harness.PREFIX)
    install = harness.Install()
    install.kill_installed_processes()
    result, wrong = run(install, options.clients, warm_up, per_client, burst_n)
    with open(os.path.join(ROOT, "build", "load_campaign.json"), "w") as f:
        json.dump({"figures": result, "failures": wrong}, f, indent=1, ensure_ascii=False)
    report(result)
    finish(wrong)


if __name__ == "__main__":
    main()
