"""Trust boundaries of the authentication dialog, end to end under Wine: window messages forged by
another process of the user neither approve nor harm the dialog host, in every mode (the real
dialog on Xvfb, see dialog_fixture.py); and a push approval counts only when the broker's own
poll confirms it (a dialog host that says yes to everything, tools/test_dialog_host)."""

import json
import os
import urllib.request

from dialog_fixture import DialogCase
from harness import free_port, main, policy_json, rule_json, settings_json, wait_until
from mfa_fixture import API_KEY, MfaServerCase

# ui_driver forge: 3 private messages x 4 wParams x 7 lParams, posted and then sent.
FORGED = 2 * 3 * 4 * 7
WINDOW_CLOSED = (4, "", "命令被拒绝: Window closed\n")


class ForgedDialogMessages(DialogCase):
    def policy(self):
        return policy_json([rule_json("command", "Push step", match_name="arg_echo.exe", args_contains="push-step",
                                      auth_mode="push", cache_window_seconds=0),
                            rule_json("command", "Mail step", match_name="arg_echo.exe", args_contains="sms-step",
                                      auth_mode="sms"),
                            rule_json("command", "Deploy tool", match_name="arg_echo.exe")])

    def pushes(self):
        return self.server.control("GET", "pushes")

    def test_forged_messages_deny_in_every_mode_and_the_host_survives(self):
        host = None
        for step in ("totp-step", "push-step", "sms-step"):
            guarded = self.open_dialog(step)
            if step == "push-step":
                # The dialog polls the push the broker created; the forgeries arrive meanwhile.
                self.assertTrue(wait_until(lambda: any(r["path"].startswith("/api/v1/auth/push/status")
                                                       for r in self.server.requests())), "the dialog never polled")
            code, out = self.driver("forge")
            # Every forged message was delivered, and the sent ones were handled before their send
            # returned: a host that crashed on one would have failed the rest.
            self.assertEqual((code, out.strip()), (0, str(FORGED)), step)
            # The close posted behind them decides: nothing they carried approved the round.
            self.assertEqual(self.finish(guarded), WINDOW_CLOSED, step)
            if host is None:
                host = self.host_pids()
            self.assertEqual(self.host_pids(), host, step)  # the same host, alive
        self.assertEqual([p["status"] for p in self.pushes()], ["pending"])  # nobody approved it

        # The host still serves: a real code passes.
        guarded = self.open_dialog("totp-step")
        self.driver("type", self.current_code())
        self.assertEqual(self.finish(guarded)[0], 0)
        self.assertEqual(self.host_pids(), host)

    def test_a_forged_quit_refuses_the_round_and_leaves_no_stale_dialog(self):
        guarded = self.open_dialog("totp-step")
        host = self.host_pids()
        self.assertEqual(self.driver("forge-quit")[0], 0)
        self.assertEqual(self.finish(guarded)[0], 4)
        self.assertEqual(self.driver("gone", "10000")[0], 0, "the dialog stayed on screen")
        # The next round gets a dialog of its own, from the same host, that still works.
        guarded = self.open_dialog("totp-step")
        self.driver("type", self.current_code())
        self.assertEqual(self.finish(guarded)[0], 0)
        self.assertEqual(self.host_pids(), host)

    def test_forged_push_finished_approves_nothing_with_the_server_unreachable(self):
        # The one-line forgery against a TOTP rule while the MFA server cannot be reached.
        self.restart_service(self.settings("en-US", server_url="http://127.0.0.1:%d" % free_port()))
        guarded = self.open_dialog()
        self.assertEqual(self.driver("forge-approve")[0], 0)
        self.assertEqual(self.driver("close")[0], 0)  # queued behind the forgery
        self.assertEqual(self.finish(guarded), WINDOW_CLOSED)
        self.assertEqual(self.server.requests(), [])


STATUS_PATH = "/api/v1/auth/push/status?challenge_id="


class PushConfirmedByTheBroker(MfaServerCase):
    """The scripted dialog host installed as SentrelUI.exe approves every request, as a forged or
    subverted dialog would; the broker is trusted to check the push with the server itself."""

    def setUp(self):
        super().setUp()
        self.install.lay_out(settings=settings_json(server_url=self.server_url(), api_key=API_KEY,
                                                    mfa_username="alice"),
                             policy=policy_json([rule_json("command", "Push step", match_name="arg_echo.exe",
                                                           auth_mode="push", cache_window_seconds=0)]),
                             executables=("SentrelSvc.exe", "runguard.exe", "arg_echo.exe", "SentrelUI.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        self.install.host_script("approve")
        self.install.start_console_service()

    def server_url(self):
        return "http://127.0.0.1:%d" % self.server.port

    def runguard(self, *command):
        code, out, err = self.install.run("runguard.exe", "run", "--", *command)
        return code, out.replace("\r\n", "\n"), err.replace("\r\n", "\n")

    def host_requests(self):
        try:
            with open(os.path.join(self.install.folder, "test_dialog_requests.txt"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def polled(self):
        return [r["path"][len(STATUS_PATH):] for r in self.server.requests() if r["path"].startswith(STATUS_PATH)]

    def create_push(self):
        """A push made by someone else through the API, as the test server's client would."""
        request = urllib.request.Request(self.server_url() + "/api/v1/auth/push/request", method="POST",
                                         data=json.dumps({"username": "alice"}).encode(),
                                         headers={"X-API-Key": API_KEY, "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.loads(answer.read().decode())

    def test_a_forged_approval_is_not_confirmed(self):
        code, out, err = self.runguard("arg_echo.exe", "sign")
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 推送未经服务器确认，默认拒绝\n"))
        # The broker made the push, handed its challenge to the host, and found it still pending.
        pushes = self.server.control("GET", "pushes")
        self.assertEqual([(p["status"], p["username"]) for p in pushes], [("pending", "alice")])
        request = self.host_requests()[-1]
        self.assertEqual((request["mode"] & 0xFFFF, request["challenge_id"], request["passcode"]),
                         (2, pushes[0]["challenge_id"], pushes[0]["passcode"]))
        self.assertEqual(self.polled(), [pushes[0]["challenge_id"]] * 3)
        self.assertIn("UI push approval not confirmed by the server: pending", self.install.log_messages())
        self.assertTrue(any(m.endswith("result=推送未经服务器确认，默认拒绝") for m in self.install.log_messages()))

    def test_an_approval_the_server_confirms_runs_the_command(self):
        # The push the broker gets is one that was approved on the phone already: the host's yes
        # is then confirmed by the broker's own poll of that very challenge.
        push = self.create_push()
        self.server.control("POST", "pushes/%s/approve" % push["challenge_id"])
        self.server.fault(path="push/request", status=200, times=1, body=json.dumps(push))
        code, out, err = self.runguard("arg_echo.exe", "sign")
        self.assertEqual((code, err), (0, ""), out)
        self.assertIn("[sign]", out)
        self.assertEqual(self.host_requests()[-1]["challenge_id"], push["challenge_id"])
        self.assertEqual(self.polled(), [push["challenge_id"]])

    def test_a_failed_push_request_asks_no_dialog(self):
        self.server.fault(path="push/request", status=500, body="boom")
        code, out, err = self.runguard("arg_echo.exe", "sign")
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 推送请求失败，默认拒绝：Push挑战失败, HTTP:500 响应:boom\n"))
        self.assertEqual(self.host_requests(), [])



class CodesCheckedByTheService(MfaServerCase):
    """The scripted dialog host installed as SentrelUI.exe (so trusted as the genuine one) answers
    like a frozen and driven host would: "approved" without a code, or with codes of its choosing.
    Only a code the MFA server accepts, checked by the service, runs the command."""

    def setUp(self):
        super().setUp()
        self.install.lay_out(settings=settings_json(server_url="http://127.0.0.1:%d" % self.server.port,
                                                    api_key=API_KEY, mfa_username="alice"),
                             policy=policy_json([rule_json("command", "Totp step", match_name="arg_echo.exe",
                                                           args_contains="totp", cache_window_seconds=0),
                                                 rule_json("command", "Sms step", match_name="arg_echo.exe",
                                                           args_contains="sms", auth_mode="sms")]),
                             executables=("SentrelSvc.exe", "runguard.exe", "arg_echo.exe", "SentrelUI.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})

    def runguard(self, *command):
        code, out, err = self.install.run("runguard.exe", "run", "--", *command)
        return code, out.replace("\r\n", "\n"), err.replace("\r\n", "\n")

    def test_approved_without_a_valid_code_is_refused_and_a_valid_one_passes(self):
        right = self.server.control("GET", "totp/alice")["code"]
        wrong = next(c for c in ("000000", "111111", "222222") if c != right)
        self.install.host_script("approve", "magic approve", "code " + wrong + " CODE", "approve", "code " + right)
        self.install.start_console_service()
        refusals = ["命令被拒绝: 未收到验证码，默认拒绝\n", "命令被拒绝: 未收到验证码，默认拒绝\n",
                    "命令被拒绝: 未收到验证码，默认拒绝\n"]
        for expected in refusals:
            # the third: one wrong code (retry), then a malformed one ("CODE"): no code given
            self.assertEqual(self.runguard("arg_echo.exe", "totp"), (4, "", expected))
        # An SMS round: the service sent the code; the host's bare approval does not pass.
        self.assertEqual(self.runguard("arg_echo.exe", "sms"), (4, "", "命令被拒绝: 未收到验证码，默认拒绝\n"))
        self.assertEqual([m["auth_type"] for m in self.server.control("GET", "outbox")], ["sms"])
        verifies = [r for r in self.server.requests() if r["path"].endswith("/verify")]
        self.assertEqual(len(verifies), 1)  # only the one wrong code reached the server
        # The right code, checked by the service: the command runs.
        code, out, err = self.runguard("arg_echo.exe", "totp")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("[totp]", out)


if __name__ == "__main__":
    main()
