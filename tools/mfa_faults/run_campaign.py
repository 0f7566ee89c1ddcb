"""The MFA server faults campaign under Wine: the test MFA server fails in every way we know of,
one fault kind at a time, while rounds run through runguard and the auth pipe against the running
service. Bounded in time, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/mfa_faults/run_campaign.py [--quick] [--repeat N] [--no-dialog] [--kinds a,b]
                                             [--json FILE]
  full:    every fault kind x every stage it applies to, twice; direct client calls; a push
           that never finishes (the broker's 300 s round deadline); the real dialog on Xvfb
  --quick: once, the SMS stages standing for the e-mail ones, the slow kinds and the push polls
           on a few stages, no direct calls (tests/e2e/mfa_client_test.py has them) and no 300 s
           push (what the end-to-end test runs; about two minutes)

Phase 1 (scripted dialog host installed as SentrelUI.exe): for each fault kind and each stage of a
method it applies to (totp: verify; push: request, poll; sms/email: request, verify) the fault is
set on the test server, one runguard round runs, and then a healthy TOTP round must pass: the
service stays usable. Kinds that need another server (nothing listening, TLS with an untrusted or
an expired certificate) restart the service with that server_url. Phase 2: the five client calls
run directly (tools/mfa_call) under each fault. Phase 3: the real dialog on Xvfb: a faulted check
refuses and closes the dialog, and the next dialog passes.
Every faulted round must be refused (exit code 4) with a reason that names what went wrong,
within its bound (see BOUNDS), except a code check the server answered 200 (see KINDS); exit code
0 only when all were."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import finish, start_wine_session  # noqa: E402
import harness  # noqa: E402
from mfa_fixture import API_KEY, MfaServer, mfa_server  # noqa: E402

# --- bounds, from the code ------------------------------------------------------------------------
# One exchange: connect, send, the header block and the body each within http_timeout_ms (8 s);
# name resolution is not involved (127.0.0.1). A push round polls every 2 s and ends after three
# failed polls in a row; a round the host never answers ends at the broker's deadline (300 s).
# SLACK covers what is not the server's: Wine starting runguard, the pipe, the dialog host.
EXCHANGE_S = 4 * 8
POLL_INTERVAL_S = 2
POLL_FAILURES = 3
ROUND_DEADLINE_S = 300
SLACK_S = 10
BOUNDS = {  # stage -> seconds a refused round may take at most
    "request": EXCHANGE_S + SLACK_S,                                            # one call, no dialog
    "verify": 2 * EXCHANGE_S + SLACK_S,                                         # the code request and the check
    "poll": EXCHANGE_S + POLL_FAILURES * (POLL_INTERVAL_S + EXCHANGE_S) + SLACK_S,  # the push, three failed polls
    "never": ROUND_DEADLINE_S + EXCHANGE_S + POLL_INTERVAL_S + SLACK_S,        # the round's own deadline
    "direct": EXCHANGE_S + 5,
}
SLOW_S = 12  # past every 8 s timeout

# stage name -> (method, the path the fault is set on, stage class, the host's action)
STAGES = {
    "totp.verify": ("totp", "auth/verify", "request", "code 000000"),
    "push.request": ("push", "push/request", "request", "never"),
    "push.poll": ("push", "push/status", "poll", "never"),
    "sms.request": ("sms", "message/request", "request", "never"),
    "sms.verify": ("sms", "message/verify", "verify", "code 000000"),
    "email.request": ("email", "message/request", "request", "never"),
    "email.verify": ("email", "message/verify", "verify", "code 000000"),
}
ANSWER = '{"challenge_id":"c0ffee","passcode":"123456","status":"approved","masked_destination":"***1"}'

# kind -> (fault on the test server or a setup, the stages it applies to, the texts it may give)
# A 200 answer whose body is useless (garbage, 1 MB of it, HTML) fails a request (no challenge
# id), reads as "still open" to a poll (a push that never finishes, its own kind), and is an
# approval for a code check: there the status alone is the server's word by design, so those
# rounds are expected to pass (BODY_200_KINDS x CHECK_STAGES) and are counted apart.
REQUEST_STAGES = ("totp.verify", "push.request", "sms.request", "email.request")
BODY_STAGES = ("totp.verify", "push.request", "sms.request", "sms.verify", "email.request", "email.verify")
CHECK_STAGES = ("totp.verify", "sms.verify", "email.verify")
BODY_200_KINDS = ("garbage_200", "body_1mb", "html_200")
ALL_STAGES = tuple(STAGES)
TRANSPORT = ("接收响应失败: ", "发送请求失败: ")
KINDS = {
    "down": ({"setup": "closed"}, REQUEST_STAGES, TRANSPORT),
    "refusing": ({"drop": True}, ALL_STAGES, TRANSPORT),
    "slow_headers": ({"delay": SLOW_S, "status": 200, "body": ANSWER}, ALL_STAGES, TRANSPORT),
    "slow_body": ({"status": 200, "body": ANSWER + " " * 40, "trickle": 1, "chunk": 4}, ALL_STAGES, TRANSPORT),
    "http_500": ({"status": 500, "body": "internal error"}, ALL_STAGES, ("HTTP 500", "HTTP:500")),
    "http_503": ({"status": 503, "body": "<html>maintenance</html>", "content_type": "text/html"}, ALL_STAGES,
                 ("HTTP 503", "HTTP:503")),
    "not_http": ({"raw": "\x00\x01garbage that is no HTTP\r\n\r\n"}, ALL_STAGES, TRANSPORT),
    "garbage_200": ({"status": 200, "body": "{{{\"challenge_id\":,,]]"}, BODY_STAGES,
                    ("服务器未返回 challenge_id", "HTTP 200", "未收到", "验证码")),
    "body_1mb": ({"status": 200, "body": "garbage ", "body_size": 1 << 20}, BODY_STAGES,
                 ("服务器未返回 challenge_id", "验证码")),
    "truncated": ({"status": 200, "body": ANSWER, "truncate": 20}, ALL_STAGES, TRANSPORT),
    "html_200": ({"status": 200, "body": "<html><body>Sign in to the network</body></html>",
                  "content_type": "text/html"}, BODY_STAGES, ("服务器未返回 challenge_id", "验证码")),
    "redirect": ({"status": 302, "redirect": True}, ALL_STAGES, ("服务器要求重定向，已拒绝: HTTP 302",)),
    "tls_untrusted": ({"setup": "untrusted"}, REQUEST_STAGES, ("发送请求失败: ",)),
    "tls_expired": ({"setup": "expired"}, REQUEST_STAGES, ("发送请求失败: ",)),
}
SLOW_KINDS = ("slow_headers", "slow_body")
QUICK_POLL_KINDS = ("refusing", "http_503", "truncated", "not_http")  # a push round's polls fail 3 times: 6 s
DIRECT_CALLS = {  # name -> (the fault's path, mfa_call arguments)
    "totp": ("auth/verify", ["totp", "000000"]),
    "push": ("push/request", ["push"]),
    "poll": ("push/status", ["poll", "c0ffee"]),
    "message": ("message/request", ["message", "sms"]),
    "verify-message": ("message/verify", ["verify-message", "c0ffee", "000000"]),
}
EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "arg_echo.exe", "mfa_call.exe", "trust_test_ca.exe")


def policy():
    rules = [harness.rule_json("command", "Faults " + m, match_name="arg_echo.exe", args_contains="via-" + m,
                               auth_mode=m, cache_window_seconds=0) for m in ("push", "sms", "email", "totp")]
    return harness.policy_json(rules)


class Campaign:
    """The servers, the install and the records of one campaign."""

    def __init__(self, install, tmp):
        self.install = install
        self.tmp = tmp
        self.main = MfaServer(tmp)
        self.other = MfaServer(tmp)  # where redirects point: it must never see a request
        self.tls = {}
        self.service = None
        self.server_url = None
        self.rounds = []   # one dict per round
        self.healthy = []  # (kind, passed)
        self.by_design = []  # code checks a 200 answer approves, whatever its body

    def close(self):
        for server in [self.main, self.other] + list(self.tls.values()):
            server.stop()

    # --- set-up ---------------------------------------------------------------------------------
    def lay_out(self):
        self.install.lay_out(settings=self.settings(self.main_url()), policy=policy(), executables=EXECUTABLES,
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})

    def main_url(self):
        return "http://127.0.0.1:%d" % self.main.port

    def settings(self, url, language="zh-CN"):
        return harness.settings_json(server_url=url, api_key=API_KEY, mfa_username="alice", language=language)

    def use_server(self, url):
        """The service running with server_url; restarted only when it changes."""
        if self.service is not None and url == self.server_url:
            return
        if self.service is not None:
            self.install.stop(self.service)
        self.install.write_file("SentrelSvc.json", self.settings(url))
        self.service = self.install.start_console_service()
        self.server_url = url

    def setup_url(self, setup):
        if setup == "closed":
            return "http://127.0.0.1:%d" % harness.free_port()
        if not self.tls:
            self.make_tls_servers()
        return "https://localhost:%d" % self.tls[setup].port

    def make_tls_servers(self):
        trusted = mfa_server.make_test_certs(os.path.join(self.tmp, "trusted"))
        untrusted = mfa_server.make_test_certs(os.path.join(self.tmp, "untrusted"))
        shutil.copy(trusted["ca.der"], os.path.join(self.install.folder, "ca.der"))
        code, out, err = self.install.run("trust_test_ca.exe", "add", self.install.path_win("ca.der"))
        if code != 0:
            raise RuntimeError("trust_test_ca add failed: %s %s" % (out, err))
        self.tls["untrusted"] = MfaServer(os.path.dirname(untrusted["ca.pem"]), "--tls-cert", untrusted["server.pem"],
                                          "--tls-key", untrusted["server.key"])
        self.tls["expired"] = MfaServer(os.path.dirname(trusted["ca.pem"]), "--tls-cert", trusted["expired.pem"],
                                        "--tls-key", trusted["server.key"])

    def untrust(self):
        if self.tls:
            self.install.run("trust_test_ca.exe", "remove", self.install.path_win("ca.der"))

    def set_fault(self, fault, path):
        self.main.control("DELETE", "faults")
        if "setup" in fault:
            return
        fault = dict(fault, path=path)
        if fault.pop("redirect", None):
            fault["headers"] = {"Location": "http://127.0.0.1:%d/api/v1/auth/%s" % (self.other.port, path)}
        self.main.fault(**fault)

    # --- rounds ---------------------------------------------------------------------------------
    def runguard(self, method, timeout):
        started = time.monotonic()
        code, out, err = self.install.run("runguard.exe", "run", "--", "arg_echo.exe", "via-" + method,
                                          timeout=timeout)
        return code, err.replace("\r\n", "\n").strip(), time.monotonic() - started

    def faulted_round(self, kind, stage, repetition):
        fault, _, texts = KINDS[kind]
        method, path, stage_class, action = STAGES[stage]
        self.use_server(self.setup_url(fault["setup"]) if "setup" in fault else self.main_url())
        self.install.host_script(action)
        self.set_fault(fault, path)
        bound = BOUNDS[stage_class]
        code, err, took = self.runguard(method, timeout=bound + 60)
        self.main.control("DELETE", "faults")
        reason = err[len("命令被拒绝: "):] if err.startswith("命令被拒绝: ") else err
        by_design = kind in BODY_200_KINDS and stage in CHECK_STAGES
        if by_design:
            self.by_design.append({"kind": kind, "stage": stage, "exit_code": code, "seconds": round(took, 2)})
            return
        self.rounds.append({"kind": kind, "stage": stage, "repetition": repetition, "exit_code": code,
                            "reason": reason, "seconds": round(took, 2), "bound": bound,
                            "refused": code == 4 and err.startswith("命令被拒绝: "),
                            "reason_ok": any(t in reason for t in texts), "in_bound": took <= bound})

    def healthy_round(self, kind):
        """With the main server healthy again, TOTP with the right code passes."""
        self.main.control("DELETE", "faults")
        self.use_server(self.main_url())
        self.install.host_script("code " + self.main.control("GET", "totp/alice")["code"])
        code, err, took = self.runguard("totp", timeout=120)
        self.healthy.append({"after": kind, "passed": code == 0, "seconds": round(took, 2), "err": err})

    def never_finishing_push(self):
        """A push whose every poll says pending: the broker's own deadline ends the round."""
        self.use_server(self.main_url())
        self.install.host_script("never")
        self.main.fault(path="push/status", status=200, body='{"status":"pending"}')
        code, err, took = self.runguard("push", timeout=BOUNDS["never"] + 60)
        self.main.control("DELETE", "faults")
        reason = err[len("命令被拒绝: "):]
        self.rounds.append({"kind": "push_never_finishes", "stage": "push.poll", "repetition": 0, "exit_code": code,
                            "reason": reason, "seconds": round(took, 2), "bound": BOUNDS["never"],
                            "refused": code == 4, "reason_ok": "超时" in reason,
                            "in_bound": took <= BOUNDS["never"]})

    def direct_calls(self, kinds):
        """The five client calls under each fault (tools/mfa_call with its own settings file)."""
        results = []
        for kind in kinds:
            fault, _, _ = KINDS[kind]
            url = self.setup_url(fault["setup"]) if "setup" in fault else self.main_url()
            self.install.write_file("direct.json", self.settings(url))
            for call, (path, args) in DIRECT_CALLS.items():
                self.set_fault(fault, path)
                started = time.monotonic()
                code, out, _ = self.install.run("mfa_call.exe", "direct.json", *args, timeout=BOUNDS["direct"] + 60)
                took = time.monotonic() - started
                fields = dict(line.split("=", 1) for line in out.replace("\r\n", "\n").splitlines() if "=" in line)
                # A poll whose 200 answer has no status reads as "still open" to the broker: not a
                # failure of the call itself.
                expected = code == 1 or (call == "poll" and code == 0 and not fields.get("status"))
                expected = expected or (call in ("push", "message") and code == 0 and not fields.get("id"))
                if kind in BODY_200_KINDS and call in ("totp", "verify-message"):
                    expected = code == 0  # the server's word by design: the call succeeds
                results.append({"kind": kind, "call": call, "exit_code": code, "err": fields.get("err", ""),
                                "seconds": round(took, 2), "as_expected": expected, "in_bound": took <= BOUNDS["direct"]})
        self.main.control("DELETE", "faults")
        return results


def stages_of(kind, repetition, quick):
    """The stages a kind runs on: all of its own, but the e-mail ones (the SMS ones' twins) and
    only one stage per class for the slow kinds in the quick size, and the slow kinds repeated only
    where a round holds more than one slow call."""
    stages = KINDS[kind][1]
    if quick:
        stages = [s for s in stages if not s.startswith("email.")]
        if kind in SLOW_KINDS:
            stages = [s for s in stages if s in ("push.request", "sms.verify")]
        elif kind not in QUICK_POLL_KINDS:
            stages = [s for s in stages if s != "push.poll"]
    if repetition > 0 and kind in SLOW_KINDS:
        stages = [s for s in stages if s in ("push.poll", "sms.verify")]
    return stages


def run_rounds(install, tmp, repeat, kinds, quick):
    """Phases 1 and 2; returns the figures."""
    campaign = Campaign(install, tmp)
    try:
        campaign.lay_out()
        for repetition in range(repeat):
            for kind in kinds:
                for stage in stages_of(kind, repetition, quick):
                    campaign.faulted_round(kind, stage, repetition)
                campaign.healthy_round(kind)
        if not quick:
            campaign.never_finishing_push()
            campaign.healthy_round("push_never_finishes")
        direct_results = [] if quick else campaign.direct_calls(kinds)
        leaked = len(campaign.other.requests())
    finally:
        if campaign.service is not None:
            install.stop(campaign.service)
        campaign.untrust()
        campaign.close()
        install.stop_all()
    return {"rounds": campaign.rounds, "healthy": campaign.healthy, "direct": direct_results,
            "by_design": campaign.by_design,
            "redirect_target_requests": leaked}


def run_dialog(install, tmp, rounds):
    """Phase 3: the real dialog on Xvfb. Each faulted SMS check ends the round refused and the
    dialog closes; the next dialog, the server healthy again, passes."""
    server = MfaServer(tmp)
    results = []
    try:
        install.start_display()
        settings = harness.settings_json(server_url="http://127.0.0.1:%d" % server.port, api_key=API_KEY,
                                         mfa_username="alice", language="en-US")
        install.lay_out(settings=settings, policy=policy(),
                        executables=("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "arg_echo.exe", "ui_driver.exe"))
        install.start_console_service()
        faults = [("slow_headers", {"delay": SLOW_S, "status": 200, "body": '{"status":"ok"}'}),
                  ("truncated", {"status": 200, "body": '{"status":"ok"}', "truncate": 3}),
                  ("http_503", {"status": 503})][:rounds]
        for kind, fault in faults:
            for faulted in (True, False):
                results.append(dialog_round(install, server, kind if faulted else "healthy", fault if faulted else None))
    finally:
        install.stop_all()
        server.stop()
    return results


def dialog_round(install, server, kind, fault):
    def driver(*args):
        code, out, _ = install.run("ui_driver.exe", *args, env={"DISPLAY": install.display})
        return code, out
    process = install.start("runguard.exe", "run", "--", "arg_echo.exe", "via-sms")
    result = {"kind": kind, "dialog_shown": False, "exit_code": None, "reason": "", "seconds": None}
    if not harness.wait_until(lambda: process.poll() is not None or driver("wait", "500")[0] == 0, timeout=60) \
            or process.poll() is not None:
        install.stop(process)
        return result
    result["dialog_shown"] = True
    code = server.control("GET", "outbox")[-1]["code"]
    if fault:
        server.fault(path="message/verify", times=1, **fault)
    started = time.monotonic()
    driver("type", code)
    result["closed"] = driver("gone", str(int(BOUNDS["verify"] * 1000)))[0] == 0
    try:
        process.wait(BOUNDS["verify"] + 30)
    except subprocess.TimeoutExpired:
        install.stop(process)
    result["seconds"] = round(time.monotonic() - started, 2)
    result["exit_code"] = process.returncode
    err = process.stderr.read().decode("utf-8", "replace").replace("\r\n", "\n").strip()
    result["reason"] = err[len("命令被拒绝: "):] if err.startswith("命令被拒绝: ") else err
    server.control("DELETE", "faults")
    return result


def failures(figures):
    """What went wrong, as texts; empty when the campaign passed."""
    wrong = []
    for r in figures["rounds"]:
        if not (r["refused"] and r["reason_ok"] and r["in_bound"]):
            wrong.append("round %(kind)s/%(stage)s #%(repetition)d: exit %(exit_code)s in %(seconds)ss "
                         "(bound %(bound)ss) reason %(reason)r" % r)
    for h in figures["healthy"]:
        if not h["passed"]:
            wrong.append("the healthy round after %(after)s did not pass: %(err)r" % h)
    for d in figures["direct"]:
        if not (d["as_expected"] and d["in_bound"]):
            wrong.append("direct %(call)s under %(kind)s: exit %(exit_code)s in %(seconds)ss, err %(err)r" % d)
    for b in figures["by_design"]:
        if b["exit_code"] != 0:
            wrong.append("a code check the server answered 200 did not pass: %r" % b)
    if figures["redirect_target_requests"]:
        wrong.append("the redirect target got %d requests" % figures["redirect_target_requests"])
    for d in figures.get("dialog", []):
        want = 0 if d["kind"] == "healthy" else 4
        if not d["dialog_shown"] or d["exit_code"] != want or not d.get("closed") or \
                (want == 4 and not d["reason"]) or (d["seconds"] or 0) > BOUNDS["verify"]:
            wrong.append("dialog round %r" % d)
    return wrong


def report(figures):
    rounds = figures["rounds"]
    print("faulted rounds: %d, refused %d, reason named %d, within bound %d; healthy rounds after them: %d, passed %d"
          % (len(rounds), sum(r["refused"] for r in rounds), sum(r["reason_ok"] for r in rounds),
             sum(r["in_bound"] for r in rounds), len(figures["healthy"]), sum(h["passed"] for h in figures["healthy"])))
    by_kind = {}
    for r in rounds:
        by_kind.setdefault(r["kind"], []).append(r)
    print("%-20s %6s %7s %8s %8s  %s" % ("kind", "rounds", "refused", "max_s", "bound_s", "reasons"))
    for kind, rs in by_kind.items():
        reasons = sorted({r["reason"] for r in rs})
        print("%-20s %6d %7d %8.1f %8d  %s" % (kind, len(rs), sum(r["refused"] for r in rs),
                                                max(r["seconds"] for r in rs), max(r["bound"] for r in rs),
                                                " | ".join(reasons)))
    if figures["direct"]:
        print("direct calls: %d, as expected (failed, or a check the server answered 200) %d, max %.1f s"
              % (len(figures["direct"]), sum(d["as_expected"] for d in figures["direct"]),
                 max(d["seconds"] for d in figures["direct"])))
        slow = [d for d in figures["direct"] if d["kind"] in SLOW_KINDS]
        if slow:
            print("  slow kinds, direct: " + ", ".join("%s/%s %.1fs" % (d["kind"], d["call"], d["seconds"]) for d in slow))
    print("redirect target requests: %d" % figures["redirect_target_requests"])
    print("code checks answered 200 with a useless body (the server's word by design): %d, passed %d"
          % (len(figures["by_design"]), sum(b["exit_code"] == 0 for b in figures["by_design"])))
    for d in figures.get("dialog", []):
        print("dialog: %s" % json.dumps(d, ensure_ascii=False))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int)
    parser.add_argument("--no-dialog", action="store_true")
    parser.add_argument("--kinds", help="comma-separated fault kinds (default: all)")
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()
    repeat = options.repeat or (1 if options.quick else 2)
    start_wine_session(harness.PREFIX)
    install = harness.Install()
    install.kill_installed_processes()
    tmp = tempfile.mkdtemp(prefix="sentrel-mfa-faults-")
    started = time.monotonic()
    try:
        kinds = options.kinds.split(",") if options.kinds else list(KINDS)
        figures = run_rounds(install, tmp, repeat, kinds, quick=options.quick)
        if not options.no_dialog:
            figures["dialog"] = run_dialog(harness.Install(), tmp, 1 if options.quick else 3)
    finally:
        install.stop_all()
        shutil.rmtree(tmp, ignore_errors=True)
    figures["wall_seconds"] = round(time.monotonic() - started, 1)
    report(figures)
    print("wall time: %.1f s" % figures["wall_seconds"])
    if options.json:
        with open(options.json, "w", encoding="utf-8") as f:
            json.dump(figures, f, ensure_ascii=False, indent=1)
    wrong = failures(figures)
    finish(wrong)


if __name__ == "__main__":
    main()
