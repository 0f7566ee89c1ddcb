"""The process faults campaign under Wine: our own processes killed or stopped at random moments of a
round, the log folder taken away while the service runs, and data-file writes meeting a full disk or
an unwritable file. Seeded, bounded in time, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/proc_faults/run_campaign.py [--quick] [--rounds N] [--seed S] [--only PHASE,...]
  full:    150 dialog host kills, 80 service kills, 30 service stops, 60 log faults, 300 write faults
  --quick: 8, 6, 2, 8, 24 (about two minutes; what the end-to-end test runs)
  --rounds N: N rounds of every phase

Phases (each round of the first three is followed by a plain round that must pass):
  dialog_kill   runguard asks for a protected command; the dialog host (the scripted test host
                installed as SentrelUI.exe, answering with a code the test MFA server accepts after a
                random think time, sometimes after a slow start) is killed at a random moment: idle or
                starting, while its dialog is shown, after the verdict reached it, or after the round
                (a kill before the broker started any host meets nothing: "no_host_yet"). The round
                must be denied within DIALOG_KILL_BOUND_S, or approved only when the server verified
                the code before the kill.
  service_kill  the same round with SentrelSvc (console run) killed at a random moment; runguard must
                exit 3 within SERVICE_KILL_BOUND_S (0 only when the round was over before the kill).
                The service is started again before the plain round.
  service_stop  the service under the service control manager stopped at a random moment of a round
                (the host answering late or never); it must report STOPPED within STOP_BOUND_S and
                runguard must exit 3 (0 when the round was over). Started again before the plain round.
  log_fault     while SentrelSvc runs, its log folder is deleted, made read-only with the file gone,
                deleted under a read-only parent, or its file made read-only; commands sent meanwhile
                must be answered, and once the fault is lifted the next command's line must be in the
                log. (What the dashboard is told is not read here: under Wine the service is not
                LocalSystem, and once its registry key is guarded it cannot publish a change; the
                unit test AuditLogOutage follows every change to the sink.)
  write_fault   settings save, policy save, rule append and rule toggle through the product's writers
                (tools/write_fault) against a full disk (a file size limit, RLIMIT_FSIZE, at a random
                byte of the new file), a read-only file or a read-only folder: the writer must answer
                false, the old file stay byte-identical and no temporary file be left; with the fault
                lifted the same write must succeed.
Read-only: running as root, Unix permission bits bind nobody, so the immutable attribute (chattr +i)
plays the read-only file or folder; as another user, chmod does. Exit code 0 when no round failed."""

import argparse
import json
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import finish, start_wine_session  # noqa: E402
import harness  # noqa: E402
import mfa_fixture  # noqa: E402

PHASES = ("dialog_kill", "service_kill", "service_stop", "log_fault", "write_fault")
FULL = {"dialog_kill": 150, "service_kill": 80, "service_stop": 30, "log_fault": 60, "write_fault": 300}
QUICK = {"dialog_kill": 8, "service_kill": 6, "service_stop": 2, "log_fault": 8, "write_fault": 24}

# Bounds, in seconds, measured from the fault to the outcome.
DIALOG_KILL_BOUND_S = 5.0   # the broker sees the host's pipe break (or its start fail) and denies
SERVICE_KILL_BOUND_S = 3.0  # "at once": the client's pipe breaks with the server's process
STOP_BOUND_S = 10.0         # two bounded waits of 3 s and the tamper watcher's 2 s, and Wine's slack
NEXT_ROUND_BOUND_S = 30.0   # a plain round, the host started anew when it had been killed
LOG_RESUME_BOUND_S = 5.0
WRITE_BOUND_S = 30.0

PROTECTED = "arg_echo.exe"


# --- shared pieces --------------------------------------------------------------------------------
def lay_out_guarded(install, server, host="test_dialog_host.exe", service="SentrelSvc.exe"):
    settings = harness.settings_json(server_url="http://127.0.0.1:%d" % server.port, api_key=mfa_fixture.API_KEY,
                                     mfa_username="alice")
    policy = harness.policy_json([harness.rule_json("command", "Echo", match_name=PROTECTED, cache_window_seconds=0)])
    install.lay_out(settings=settings, policy=policy,
                    executables=("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", PROTECTED),
                    replace={"SentrelUI.exe": host, "SentrelSvc.exe": service})


def records(install, name):
    try:
        with open(os.path.join(install.folder, name), encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except (FileNotFoundError, ValueError):
        return []


def verifies(server):
    return sum(1 for r in server.requests() if r["path"].rstrip("/").endswith("/verify"))


def start_delay(install, ms):
    path = os.path.join(install.folder, "test_dialog_start_delay.txt")
    if ms:
        install.write_file("test_dialog_start_delay.txt", str(ms))
    elif os.path.exists(path):
        os.remove(path)


def wait_process(process, bound_s):
    """Seconds until the process ended, or None when it outlived the bound (it is then killed)."""
    started = time.time()
    try:
        process.wait(bound_s)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None
    return time.time() - started


def start_round(install, server, i):
    """Starts round i's protected command: runguard, and the counts its stage and outcome are
    judged against (host requests, verdicts the host got, codes the server verified)."""
    requests_before = len(records(install, "test_dialog_requests.txt"))
    verdicts_before = len(records(install, "test_dialog_verdicts.txt"))
    verifies_before = verifies(server)
    runguard = install.start("runguard.exe", "run", "--", PROTECTED, "fault-%d" % i)
    return runguard, requests_before, verdicts_before, verifies_before


def stage_of(install, runguard, requests_before, verdicts_before):
    if runguard.poll() is not None:
        return "round_over"
    if len(records(install, "test_dialog_verdicts.txt")) > verdicts_before:
        return "verdict_reached_host"
    if len(records(install, "test_dialog_requests.txt")) > requests_before:
        return "dialog_shown"
    return "before_dialog"


def plain_round(install, label):
    """A protected command answered with a right code: (passed, seconds, what went wrong)."""
    install.host_script("code " + mfa_fixture.current_totp())
    start_delay(install, 0)
    started = time.time()
    try:
        code, out, err = install.run("runguard.exe", "run", "--", PROTECTED, label, timeout=NEXT_ROUND_BOUND_S)
    except AssertionError as e:  # it outlived the bound
        return False, time.time() - started, str(e)[:300]
    seconds = time.time() - started
    passed = code == 0 and ("[%s]" % label) in out
    return passed, seconds, "" if passed else "exit %s: %r %r" % (code, out[-200:], err[-200:])


def end_round(rounds, entry, passed_next, next_s, next_wrong):
    entry["next_ok"] = passed_next
    entry["next_s"] = round(next_s, 2)
    if not passed_next:
        entry["wrong"].append("the next round failed: " + next_wrong)
    rounds.append(entry)


# --- the dialog host killed ---------------------------------------------------------------------------
def run_dialog_kill(install, server, n, rng):
    rounds = []
    lay_out_guarded(install, server)
    install.start_console_service()
    for i in range(n):
        slow_start = rng.choice([0, 0, rng.randint(100, 1500)])
        think = rng.randint(0, 1500)
        start_delay(install, slow_start)
        install.host_script("delay %d code %s" % (think, mfa_fixture.current_totp()))
        runguard, requests_before, verdicts_before, verifies_before = start_round(install, server, i)
        time.sleep(rng.uniform(0, (slow_start + think) / 1000.0 + 1.0))  # the moment of the kill
        stage = stage_of(install, runguard, requests_before, verdicts_before)
        # Under load runguard may not yet have asked, and the broker not yet started a host: then the
        # kill meets nothing, the round runs its course, and only its outcome is checked.
        hit = bool(install.installed_processes(lambda cmdline: b"sentrelui.exe" in cmdline))
        if stage == "before_dialog" and not hit:
            stage = "no_host_yet"
        install.kill_installed_processes_named("SentrelUI.exe")
        bound = DIALOG_KILL_BOUND_S if hit else NEXT_ROUND_BOUND_S
        seconds = wait_process(runguard, bound) if stage != "round_over" else 0.0
        out = runguard.stdout.read().decode("utf-8", "replace")
        err = runguard.stderr.read().decode("utf-8", "replace").strip()
        entry = {"phase": "dialog_kill", "round": i, "point": stage, "code": runguard.returncode,
                 "seconds": round(seconds, 2) if seconds is not None and hit else None,
                 "bound_s": DIALOG_KILL_BOUND_S, "wrong": []}
        if seconds is None:
            entry["wrong"].append("runguard did not end within %.0f s of the kill" % bound)
        elif runguard.returncode == 0:
            if verifies(server) == verifies_before or "[fault-%d]" % i not in out:
                entry["wrong"].append("approved without a code the server verified")
            entry["outcome"] = "approved"
        elif runguard.returncode == 4 and err.startswith("命令被拒绝: "):
            entry["outcome"] = "denied"
        else:
            entry["wrong"].append("exit %s: %r" % (runguard.returncode, err[-200:]))
            entry["outcome"] = "other"
        if "[fault-%d]" % i in out and runguard.returncode != 0:
            entry["wrong"].append("the command ran though the round was not approved")
        end_round(rounds, entry, *plain_round(install, "next-%d" % i))
    install.stop_all()
    return rounds


# --- the service killed ---------------------------------------------------------------------------
def run_service_kill(install, server, n, rng):
    rounds = []
    lay_out_guarded(install, server)
    install.start_console_service()
    for i in range(n):
        think = rng.randint(0, 1500)
        start_delay(install, 0)
        install.host_script("delay %d code %s" % (think, mfa_fixture.current_totp()))
        runguard, requests_before, verdicts_before, verifies_before = start_round(install, server, i)
        time.sleep(rng.uniform(0, think / 1000.0 + 1.0))
        stage = stage_of(install, runguard, requests_before, verdicts_before)
        install.kill_installed_processes_named("SentrelSvc.exe")
        seconds = wait_process(runguard, SERVICE_KILL_BOUND_S * 5) if stage != "round_over" else 0.0
        out = runguard.stdout.read().decode("utf-8", "replace")
        err = runguard.stderr.read().decode("utf-8", "replace").strip()
        entry = {"phase": "service_kill", "round": i, "point": stage, "code": runguard.returncode,
                 "seconds": round(seconds, 2) if seconds is not None else None, "bound_s": SERVICE_KILL_BOUND_S,
                 "wrong": []}
        if seconds is None or seconds > SERVICE_KILL_BOUND_S:
            entry["wrong"].append("runguard did not end within %.0f s of the kill (%s)" % (SERVICE_KILL_BOUND_S, seconds))
        if runguard.returncode == 0:
            entry["outcome"] = "approved"
            if verifies(server) == verifies_before or "[fault-%d]" % i not in out:
                entry["wrong"].append("approved without a code the server verified")
        elif runguard.returncode == 3 and err.startswith("无法连接 SentrelSvc"):
            entry["outcome"] = "no_service"
        else:
            entry["outcome"] = "other"
            entry["wrong"].append("exit %s: %r" % (runguard.returncode, err[-200:]))
        if "[fault-%d]" % i in out and runguard.returncode != 0:
            entry["wrong"].append("the command ran though the round was not approved")
        try:
            install.start_console_service()
        except AssertionError as e:
            entry["wrong"].append("the service did not start again: %s" % str(e)[:300])
            rounds.append(entry)
            break
        end_round(rounds, entry, *plain_round(install, "next-%d" % i))
    install.stop_all()
    return rounds


# --- the service stopped ----------------------------------------------------------------------------
def service_stopped(install):
    return "STOPPED" in install.service_state()


def run_service_stop(install, server, n, rng):
    rounds = []
    lay_out_guarded(install, server)
    install.start_registered_service()
    for i in range(n):
        think = rng.randint(0, 3000)
        start_delay(install, 0)
        action = "never" if rng.random() < 0.3 else "delay %d code %s" % (think, mfa_fixture.current_totp())
        install.host_script(action)
        runguard, requests_before, verdicts_before, verifies_before = start_round(install, server, i)
        time.sleep(rng.uniform(0, think / 1000.0 + 1.0))
        stage = stage_of(install, runguard, requests_before, verdicts_before)
        asked = time.time()
        install.sc("stop", "SentrelSvc")
        stopped = harness.wait_until(lambda: service_stopped(install), timeout=STOP_BOUND_S * 3, step=0.05)
        seconds = time.time() - asked
        client_s = wait_process(runguard, 10)
        out = runguard.stdout.read().decode("utf-8", "replace")
        err = runguard.stderr.read().decode("utf-8", "replace").strip()
        entry = {"phase": "service_stop", "round": i, "point": stage + ("/never" if action == "never" else ""),
                 "code": runguard.returncode, "seconds": round(seconds, 2), "bound_s": STOP_BOUND_S, "wrong": []}
        if not stopped or seconds > STOP_BOUND_S:
            entry["wrong"].append("the service reported STOPPED %s s after the stop request"
                                  % (round(seconds, 1) if stopped else "not within %.0f" % (STOP_BOUND_S * 3)))
        if client_s is None:
            entry["wrong"].append("runguard did not end within 10 s of the stop")
        if runguard.returncode == 0:
            entry["outcome"] = "approved"
            if verifies(server) == verifies_before or "[fault-%d]" % i not in out:
                entry["wrong"].append("approved without a code the server verified")
        elif runguard.returncode == 3 and err.startswith("无法连接 SentrelSvc"):
            entry["outcome"] = "no_service"
        elif runguard.returncode == 4:
            entry["outcome"] = "denied"  # the round was refused before the stop ended it
        else:
            entry["outcome"] = "other"
            entry["wrong"].append("exit %s: %r" % (runguard.returncode, err[-200:]))
        if "[fault-%d]" % i in out and runguard.returncode != 0:
            entry["wrong"].append("the command ran though the round was not approved")
        install.kill_installed_processes_named("SentrelUI.exe")  # a host answering "never" would hold on
        code, said = install.sc("start", "SentrelSvc")
        try:
            install.wait_service_running()
        except AssertionError as e:
            entry["wrong"].append("the service did not start again (%s %s): %s" % (code, said.strip()[-200:], e))
            rounds.append(entry)
            break
        end_round(rounds, entry, *plain_round(install, "next-%d" % i))
    install.stop_all()
    return rounds


# --- the log folder taken away ------------------------------------------------------------------
AS_ROOT = os.geteuid() == 0


def make_unwritable(path):
    if AS_ROOT:
        subprocess.run(["chattr", "+i", path], check=True)
    else:
        os.chmod(path, 0o555 if os.path.isdir(path) else 0o444)


def make_writable(path):
    if not os.path.exists(path):
        return
    if AS_ROOT:
        subprocess.run(["chattr", "-i", path], check=True)
    else:
        os.chmod(path, 0o755 if os.path.isdir(path) else 0o644)


LOG_FAULTS = ("folder_deleted", "folder_read_only", "folder_deleted_parent_read_only", "file_read_only")


def play_log_fault(fault, folder, parent):
    """Applies the fault; returns what lifts it."""
    log_file = os.path.join(folder, "sentrel.log")
    if fault == "folder_deleted":
        shutil.rmtree(folder, ignore_errors=True)
        return lambda: None
    if fault == "folder_read_only":
        os.makedirs(folder, exist_ok=True)
        if os.path.exists(log_file):
            os.remove(log_file)
        make_unwritable(folder)
        return lambda: make_writable(folder)
    if fault == "folder_deleted_parent_read_only":
        shutil.rmtree(folder, ignore_errors=True)
        make_unwritable(parent)
        return lambda: make_writable(parent)
    os.makedirs(folder, exist_ok=True)
    with open(log_file, "a"):
        pass
    make_unwritable(log_file)
    return lambda: make_writable(log_file)


def run_log_fault(install, n, rng):
    rounds = []
    install.lay_out(policy=harness.policy_json([harness.rule_json("command", "Other", match_name="other.exe")]),
                    executables=("SentrelSvc.exe", "runguard.exe", PROTECTED))
    service = install.start_console_service()
    folder = os.path.dirname(install.log_path())
    for i in range(n):
        fault = LOG_FAULTS[i % len(LOG_FAULTS)] if i < len(LOG_FAULTS) else rng.choice(LOG_FAULTS)
        entry = {"phase": "log_fault", "round": i, "point": fault, "bound_s": LOG_RESUME_BOUND_S, "wrong": []}
        lift = play_log_fault(fault, folder, install.folder)
        try:
            during = []
            for j in range(rng.randint(1, 3)):
                label = "during-%d-%d" % (i, j)
                code, out, err = install.run("runguard.exe", "run", "--", PROTECTED, label, timeout=30)
                if code != 0 or "[%s]" % label not in out:
                    entry["wrong"].append("a command during the fault was not answered: exit %s %r" % (code, err[-200:]))
                during.append(label)
            logged = [m for m in install.log_messages() if any("args=%s " % label in m for label in during)]
        finally:
            lift()
        # Deleted, the folder comes back with the next event; read-only, nothing can be written.
        if fault == "folder_deleted" and len(logged) != len(during):
            entry["wrong"].append("lines after the folder was deleted are missing: %d of %d" % (len(logged), len(during)))
        if fault != "folder_deleted" and logged:
            entry["wrong"].append("the fault did not hold: %d lines were written" % len(logged))
        label = "after-%d" % i
        started = time.time()
        code, out, err = install.run("runguard.exe", "run", "--", PROTECTED, label, timeout=30)
        resumed = install.wait_for_log("args=%s " % label, timeout=LOG_RESUME_BOUND_S)
        entry["seconds"] = round(time.time() - started, 2)
        entry["code"] = code
        entry["outcome"] = "resumed" if resumed else "not_resumed"
        if not resumed:
            entry["wrong"].append("logging did not resume once the fault was lifted")
        if service.poll() is not None:
            entry["wrong"].append("the service ended (exit code %s)" % service.returncode)
            rounds.append(entry)
            break
        entry["next_ok"] = code == 0 and "[%s]" % label in out
        if not entry["next_ok"]:
            entry["wrong"].append("the command after the fault failed: exit %s %r" % (code, err[-200:]))
        rounds.append(entry)
    install.stop_all()
    return rounds


# --- writes of the data files -----------------------------------------------------------------
WRITE_FOLDER_WIN = r"C:\SentrelWriteFaults"
WRITE_KINDS = ("settings", "policy", "append", "toggle")
WRITE_FAULTS = ("disk_full", "file_read_only", "folder_read_only")


def write_tool(args, fsize_limit=None):
    """Runs tools/write_fault from the build folder: (exit code, first line of its output)."""
    def limit():
        if fsize_limit is not None:
            # Writing past the limit fails with EFBIG instead of ending the process by SIGXFSZ.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, resource.RLIM_INFINITY))
    process = subprocess.run(["wine", os.path.join(harness.BIN, "write_fault.exe")] + list(args), env=harness.wine_env(),
                             stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=limit, timeout=WRITE_BOUND_S)
    said = (process.stdout + process.stderr).decode("utf-8", "replace").strip()
    return process.returncode, said.splitlines()[0] if said else ""


def old_text(kind, rng):
    if kind == "settings":
        return harness.settings_json(server_url="https://old-%d.example.test" % rng.randint(0, 10 ** 6),
                                     api_key="old", mfa_username="bob")
    rules = [harness.rule_json("command", "Old %d" % k, match_name="old%d.exe" % k) for k in range(rng.randint(1, 5))]
    return harness.policy_json(rules)


def run_write_fault(n, rng, careless=False):
    """careless: the writes go through the tool's in-place writer instead of the product's."""
    rounds = []
    mode = ["in-place"] if careless else []
    folder = harness.win_to_unix(WRITE_FOLDER_WIN)
    for i in range(n):
        kind = WRITE_KINDS[i % len(WRITE_KINDS)]
        fault = WRITE_FAULTS[(i // len(WRITE_KINDS)) % len(WRITE_FAULTS)]
        make_writable(folder)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        name = "SentrelSvc.json" if kind == "settings" else "SentrelSvc.policy.json"
        target = os.path.join(folder, name)
        target_win = WRITE_FOLDER_WIN + "\\" + name
        with open(target, "w", encoding="utf-8", newline="") as f:
            f.write(old_text(kind, rng))
        with open(target, "rb") as f:
            old = f.read()
        entry = {"phase": "write_fault", "round": i, "point": "%s/%s" % (kind, fault), "bound_s": WRITE_BOUND_S,
                 "wrong": []}
        limit = None
        started = time.time()
        try:
            if fault == "disk_full":
                code, said = write_tool(["measure", kind, target_win, str(i)])
                size = int(said.split("=")[1]) if code == 0 and said.startswith("size=") else 1
                limit = rng.randint(0, max(0, size - 1))
                entry["point"] += "@%d/%d" % (limit, size)
            elif fault == "file_read_only":
                make_unwritable(target)
            else:
                make_unwritable(folder)
            code, said = write_tool(mode + [kind, target_win, str(i)], fsize_limit=limit)
        except subprocess.TimeoutExpired:
            code, said = None, "did not end within %.0f s" % WRITE_BOUND_S
        finally:
            make_writable(target)
            make_writable(folder)
        entry["seconds"] = round(time.time() - started, 2)
        entry["code"] = code
        entry["outcome"] = said
        with open(target, "rb") as f:
            kept = f.read() == old
        left = sorted(set(os.listdir(folder)) - {name})
        if code != 1 or said != "write failed":
            entry["wrong"].append("the writer did not report the failure: exit %s %r" % (code, said))
        if not kept:
            entry["wrong"].append("the old file was not kept byte for byte")
        if left:
            entry["wrong"].append("files left behind: %s" % left)
        # The fault lifted, the same write goes through.
        code, said = write_tool(mode + [kind, target_win, str(i)])
        entry["next_ok"] = code == 0 and said == "write ok"
        if not entry["next_ok"]:
            entry["wrong"].append("the write failed with the fault lifted: exit %s %r" % (code, said))
        rounds.append(entry)
    shutil.rmtree(folder, ignore_errors=True)
    return rounds


# --- figures --------------------------------------------------------------------------------------
def summary(rounds):
    """Per phase: rounds, counts per kill point / fault and outcome, the longest time against its
    bound, failed next rounds, failed rounds."""
    phases = {}
    for r in rounds:
        p = phases.setdefault(r["phase"], {"rounds": 0, "points": {}, "outcomes": {}, "max_s": 0.0,
                                           "bound_s": r["bound_s"], "next_failed": 0, "failed": 0, "max_next_s": 0.0})
        p["rounds"] += 1
        point = r["point"].split("@")[0]
        p["points"][point] = p["points"].get(point, 0) + 1
        p["outcomes"][r.get("outcome")] = p["outcomes"].get(r.get("outcome"), 0) + 1
        if r.get("seconds") is not None:
            p["max_s"] = max(p["max_s"], r["seconds"])
        p["max_next_s"] = max(p["max_next_s"], r.get("next_s") or 0.0)
        if r.get("next_ok") is False:
            p["next_failed"] += 1
        if r["wrong"]:
            p["failed"] += 1
    return phases


def failures(rounds, wanted):
    wrong = ["%s round %d (%s): %s" % (r["phase"], r["round"], r["point"], "; ".join(r["wrong"]))
             for r in rounds if r["wrong"]]
    got = summary(rounds)
    for phase, n in wanted.items():
        if got.get(phase, {}).get("rounds", 0) != n:
            wrong.append("%s ran %d of %d rounds" % (phase, got.get(phase, {}).get("rounds", 0), n))
    return wrong


def report(rounds):
    for phase, p in summary(rounds).items():
        print("%-13s rounds=%d failed=%d next_failed=%d max_s=%.2f bound_s=%.1f max_next_s=%.2f"
              % (phase, p["rounds"], p["failed"], p["next_failed"], p["max_s"], p["bound_s"], p["max_next_s"]))
        print("  points:   " + " ".join("%s=%d" % kv for kv in sorted(p["points"].items())))
        print("  outcomes: " + " ".join("%s=%d" % kv for kv in sorted(p["outcomes"].items(), key=str)))


def run(wanted, seed):
    """Runs the phases asked for (name -> rounds); returns every round's record."""
    rng = random.Random(seed)
    rounds = []
    tmp = tempfile.mkdtemp(prefix="sentrel-proc-faults-")
    server = mfa_fixture.MfaServer(tmp)
    try:
        for phase in PHASES:
            if not wanted.get(phase):
                continue
            install = harness.Install()
            install.kill_installed_processes()
            try:
                if phase == "dialog_kill":
                    rounds += run_dialog_kill(install, server, wanted[phase], rng)
                elif phase == "service_kill":
                    rounds += run_service_kill(install, server, wanted[phase], rng)
                elif phase == "service_stop":
                    rounds += run_service_stop(install, server, wanted[phase], rng)
                elif phase == "log_fault":
                    rounds += run_log_fault(install, wanted[phase], rng)
                else:
                    rounds += run_write_fault(wanted[phase], rng)
            finally:
                make_writable(install.folder)
                install.stop_all()
    finally:
        server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    return rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--seed", type=int, default=24003)
    parser.add_argument("--only", help="comma-separated phases")
    parser.add_argument("--json", help="writes every round's record to this file")
    options = parser.parse_args()
    sizes = QUICK if options.quick else FULL
    phases = options.only.split(",") if options.only else PHASES
    wanted = {phase: options.rounds or sizes[phase] for phase in phases}
    start_wine_session(harness.PREFIX)
    started = time.time()
    rounds = run(wanted, options.seed)
    if options.json:
        with open(options.json, "w") as f:
            json.dump(rounds, f, indent=1, ensure_ascii=False)
    report(rounds)
    print("seed=%d wall_s=%.0f" % (options.seed, time.time() - started))
    wrong = failures(rounds, wanted)
    finish(wrong)


if __name__ == "__main__":
    main()
