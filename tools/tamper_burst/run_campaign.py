"""The tamper campaign under Wine: seeded bursts of mixed tampering with the five protected files
of the running service. Bounded in time, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/tamper_burst/run_campaign.py [--quick] [--actions N] [--seed S]
  full:    200 actions (every fourth burst done from the Unix side), 2 s of quiet checked after each burst
  --quick: 30 actions, 0.5 s of quiet (what the end-to-end test runs)

SentrelSvc.exe is registered and started through the service control manager, as installed. A
burst tampers with one to five distinct protected files, one action each: delete, overwrite,
truncate, rename, attributes (read-only, hidden, system), or the name taken by an empty folder.
Three bursts in four are done by tools/tamper_burst (tamper_burst.exe in the install folder, Win32
calls as an administrator's program makes them; it asks the service an auth request before the
burst and another while the repairs run, and polls each file until it is a plain file with its
start bytes); every fourth is done from the Unix side with Python's file calls (no attributes),
which Wine's change feed reports as well. After each burst: every protected file byte-identical to
its start content (read from the Unix side), the new log lines counted per file, then a fixed
quiet interval proving that nothing more happens (no line, no change: no restore loop).
Exit code 0 when every action was restored byte-identical with exactly one log line (a burst
changes each file once, so that is at most one per action, and none is hidden),
the log stayed quiet after each burst and every auth request was answered."""

import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import figures, finish, start_wine_session  # noqa: E402
import harness  # noqa: E402

FILES = ("SentrelSvc.json", "SentrelSvc.policy.json", "SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")
RUNNING_IMAGE = "SentrelSvc.exe"
KINDS = ("delete", "overwrite", "truncate", "rename", "attributes", "directory")
UNIX_KINDS = ("delete", "overwrite", "truncate", "rename", "directory")
DETECT = "Detect unauthorized change/delete on: "
UNPROTECTED = r"C:\Tools\tamper-campaign-unprotected.exe"
AUTH_LINE = "cmd: path=%s " % UNPROTECTED  # the service's line for each campaign auth request
RESTORE_BOUND_S = 10


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
        return None


def unix_action(install, name, kind, tag):
    """One action from the Unix side; returns the kind done (None when it could not be done)."""
    path = os.path.join(install.folder, name)
    aside = "%s.%s.old" % (path, tag)
    try:
        if kind == "delete":
            os.remove(path)
        elif kind == "overwrite":
            with open(path, "wb") as f:
                f.write(b"unix side " * 9)
        elif kind == "truncate":
            os.truncate(path, os.path.getsize(path) // 2)
        elif kind == "rename":
            os.rename(path, aside)
        elif kind == "directory":
            os.rename(path, aside)
            try:
                os.mkdir(path)
            except FileExistsError:  # written back in between: the action was a rename
                return "rename"
        return kind
    except OSError:
        return None


def unix_burst(install, rng, burst, n, originals):
    """A burst from the Unix side: returns the action dicts as tamper_burst prints them."""
    names = rng.sample(FILES, n)
    plan = [(name, rng.choice(("rename", "directory") if name == RUNNING_IMAGE else UNIX_KINDS)) for name in names]
    acted = []
    for i, (name, kind) in enumerate(plan):
        done = unix_action(install, name, kind, "%d.%d" % (burst, i))
        acted.append({"file": name, "kind": done or kind, "done": "1" if done else "0", "at": time.monotonic()})
    left = set(range(len(acted)))
    deadline = time.monotonic() + RESTORE_BOUND_S
    while left and time.monotonic() < deadline:
        for i in list(left):
            path = os.path.join(install.folder, acted[i]["file"])
            if not os.path.isdir(path) and read_bytes(path) == originals[acted[i]["file"]]:
                acted[i]["restored"] = "1"
                acted[i]["restore_ms"] = "%.1f" % ((time.monotonic() - acted[i]["at"]) * 1000)
                left.discard(i)
        if left:
            time.sleep(0.005)
    for a in acted:
        a.setdefault("restored", "0")
        a.setdefault("restore_ms", "0")
    return acted


def detections(messages):
    return [m[len(DETECT):] for m in messages if m.startswith(DETECT)]


def run_campaign(install, total, seed, quiet_s, unix_every=4):
    """Returns a dict of figures and the list of failures."""
    policy = harness.policy_json([harness.rule_json("program", "Notepad", match_name="notepad.exe")])
    install.lay_out(policy=policy, executables=harness.EXECUTABLES + ("tamper_burst.exe",))
    originals = {name: read_bytes(os.path.join(install.folder, name)) for name in FILES}
    install.clear_log()
    code, out = install.create_service()
    if code != 0:
        return {}, ["the service could not be registered: " + out]
    code, out = install.sc("start", "SentrelSvc")
    if code != 0:
        return {}, ["the service did not start: " + out]
    install.wait_service_running()

    rng = random.Random(seed)
    wrong = []
    actions, auth_ms = [], []
    bursts = windows_bursts = unix_bursts = 0
    lines_total = restores_total = 0
    max_lines_per_action = 0
    auth_failures = 0
    started = time.monotonic()
    while len(actions) < total:
        n = min(rng.randint(1, 5), total - len(actions))
        from_unix = bursts % unix_every == unix_every - 1
        before = len(install.log_messages())
        if from_unix:
            unix_bursts += 1
            acted = unix_burst(install, rng, bursts, n, originals)
            for a in acted:
                a["side"] = "unix"
        else:
            windows_bursts += 1
            code, out, err = install.run("tamper_burst.exe", str(seed), str(bursts), str(n),
                                         str(RESTORE_BOUND_S * 1000), timeout=RESTORE_BOUND_S + 60)
            lines = out.replace("\r\n", "\n").splitlines()
            acted = [figures(line) for line in lines if line.startswith("action ")]
            summary = [figures(line) for line in lines if line.startswith("burst ")]
            for a in acted:
                a["side"] = "windows"
            if not summary or len(acted) != n:
                wrong.append("burst %d: tamper_burst said nothing whole (exit code %s): %s %s" % (bursts, code, out, err))
            else:
                if summary[0]["auth_ok"] != "1":
                    auth_failures += 1
                    wrong.append("burst %d: an auth request went unanswered" % bursts)
                auth_ms += [float(summary[0]["auth_before_ms"]), float(summary[0]["auth_during_ms"])]
        # Byte-identical start content for every protected file, read from the Unix side.
        for name in FILES:
            path = os.path.join(install.folder, name)
            if os.path.isdir(path) or read_bytes(path) != originals[name]:
                wrong.append("burst %d: %s is not its start content after the burst" % (bursts, name))
        for a in acted:
            if a.get("done") != "1":
                wrong.append("burst %d: the action %s on %s could not be done" % (bursts, a.get("kind"), a.get("file")))
            if a.get("restored") != "1":
                wrong.append("burst %d: %s (%s) was not restored" % (bursts, a.get("file"), a.get("kind")))
        settled = install.log_messages()[before:]
        harness.observe_for(quiet_s, "a restore loop: log lines or changes after the burst settled")
        after_quiet = install.log_messages()[before:]
        if after_quiet != settled:
            wrong.append("burst %d: the log went on after the burst settled: %s" % (bursts, after_quiet[len(settled):]))
        for name in FILES:
            path = os.path.join(install.folder, name)
            if os.path.isdir(path) or read_bytes(path) != originals[name]:
                wrong.append("burst %d: %s changed again during the quiet interval" % (bursts, name))
        after_quiet = [m for m in after_quiet if not m.startswith(AUTH_LINE)]
        found = detections(after_quiet)
        others = [m for m in after_quiet if not m.startswith(DETECT)]
        if others:
            wrong.append("burst %d: log lines other than detections: %s" % (bursts, others))
        lines_total += len(after_quiet)
        restores_total += len(found)
        for a in acted:
            count = found.count(install.path_win(a["file"]))
            a["lines"] = count
            a["burst"] = bursts
            max_lines_per_action = max(max_lines_per_action, count)
            if count > 1:
                wrong.append("burst %d: %d log lines for one action (%s on %s)" % (bursts, count, a["kind"], a["file"]))
            # A burst changes each file once: a change seen and undone without its line was hidden.
            if count == 0 and a.get("seen", "1") == "1" and a.get("restored") == "1":
                wrong.append("burst %d: %s on %s was undone without a log line" % (bursts, a["kind"], a["file"]))
        if len(found) > len(acted):
            wrong.append("burst %d: %d restores for %d actions" % (bursts, len(found), len(acted)))
        # Between bursts the service still answers (for a Unix burst, asked here; a Windows burst
        # asks before its actions and while the repairs run).
        if from_unix:
            code, out, _ = install.run("tamper_burst.exe", str(seed), str(bursts), "0", "0", timeout=60)
            summary = [figures(line) for line in out.replace("\r\n", "\n").splitlines() if line.startswith("burst ")]
            if code != 0 or not summary:
                auth_failures += 1
                wrong.append("burst %d: the auth request after the burst went unanswered" % bursts)
            else:
                auth_ms.append(float(summary[0]["auth_before_ms"]))
        actions += acted
        bursts += 1
    if install.service_state().find("RUNNING") < 0:
        wrong.append("the service is not running after the campaign")
    restore_ms = sorted(float(a["restore_ms"]) for a in actions if a.get("restored") == "1")
    result = {
        "actions": len(actions),
        "bursts": bursts,
        "windows_bursts": windows_bursts,
        "unix_bursts": unix_bursts,
        "by_kind": {kind: sum(1 for a in actions if a["kind"] == kind) for kind in KINDS},
        "by_side": {side: sum(1 for a in actions if a["side"] == side) for side in ("windows", "unix")},
        "restored_byte_identical": sum(1 for a in actions if a.get("restored") == "1"),
        "restores_logged": restores_total,
        "log_lines": lines_total,
        "max_lines_per_action": max_lines_per_action,
        "restore_ms_p50": statistics.median(restore_ms) if restore_ms else 0,
        "restore_ms_max": max(restore_ms) if restore_ms else 0,
        "restore_ms_by_side": {side: "p50=%.1f max=%.1f" % (statistics.median(ms), max(ms)) if ms else "-"
                               for side, ms in ((side, [float(a["restore_ms"]) for a in actions
                                                        if a["side"] == side and a.get("restored") == "1"])
                                                for side in ("windows", "unix"))},
        "restore_ms_by_kind": {kind: "p50=%.1f max=%.1f" % (statistics.median(ms), max(ms)) if ms else "-"
                               for kind, ms in ((kind, [float(a["restore_ms"]) for a in actions
                                                        if a["kind"] == kind and a.get("restored") == "1"])
                                                for kind in KINDS)},
        "auth_requests": len(auth_ms) + auth_failures,
        "auth_unanswered": auth_failures,
        "auth_ms_p50": statistics.median(auth_ms) if auth_ms else 0,
        "auth_ms_max": max(auth_ms) if auth_ms else 0,
        "quiet_s_per_burst": quiet_s,
        "wall_s": round(time.monotonic() - started, 1),
    }
    result["unlogged"] = ["burst %d: %s %s %s seen=%s" % (a["burst"], a["side"], a["kind"], a["file"], a.get("seen")) for a in actions if a.get("lines") == 0]
    return result, wrong


def report(result):
    for key, value in result.items():
        print("%s: %s" % (key, value))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--actions", type=int)
    parser.add_argument("--seed", type=int, default=24024)
    options = parser.parse_args()
    total = options.actions or (30 if options.quick else 200)
    quiet_s = 0.5 if options.quick else 2.0
    start_wine_session(harness.PREFIX)
    install = harness.Install()
    install.kill_installed_processes()
    try:
        install.assert_free()
        result, wrong = run_campaign(install, total, options.seed, quiet_s)
    finally:
        install.stop_all()
    report(result)
    finish(wrong)


if __name__ == "__main__":
    main()
