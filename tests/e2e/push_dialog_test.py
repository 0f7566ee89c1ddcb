"""The push variant of the authentication dialog end to end under Wine on Xvfb (see
dialog_fixture.py): the broker asks the test MFA server for a push and sends its challenge to the
dialog, which shows the passcode; the broker polls the challenge until the test answers it on the
server's control endpoint, and the command runs or is refused. The dialog makes no MFA call."""


from dialog_fixture import DialogCase
from harness import main, policy_json, rule_json, wait_until

PUSH_HEIGHT = 333


class PushDialog(DialogCase):
    def policy(self):
        return policy_json([rule_json("command", "Release signing", match_name="arg_echo.exe", auth_mode="push",
                                      cache_window_seconds=0)])

    def pending_push(self):
        """Waits until the dialog shows the passcode of the push the broker created; returns the
        server's record of that push."""
        pending = lambda: [p for p in self.server.control("GET", "pushes") if p["status"] == "pending"]
        self.assertTrue(wait_until(lambda: pending() and self.passcode_shown() == pending()[0]["passcode"],
                                   timeout=20), "the dialog did not show the pending push's passcode")
        pushes = pending()
        self.assertEqual(len(pushes), 1)
        return pushes[0]

    def passcode_shown(self):
        controls = self.texts()
        return "".join(controls[str(130 + i)][1] for i in range(6))

    def status_becomes(self, text, timeout=20):
        return wait_until(lambda: self.texts()["122"] == (True, text), timeout=timeout)

    def polls(self):
        return [r for r in self.server.requests() if r["path"].startswith("/api/v1/auth/push/status")]

    def answer(self, push, action):
        self.server.control("POST", "pushes/%s/%s" % (push["challenge_id"], action))

    def test_approved_push_runs_the_command(self):
        guarded = self.open_dialog("sign", "v1.2")
        push = self.pending_push()
        controls = self.texts()
        self.assertEqual(controls["115"][1], "Push request sent, please approve")
        self.assertEqual(controls["103"][1], "Release signing \u2014 Please provide credentials to continue")
        self.assertTrue(controls["123"][0])           # the marquee runs
        self.assertEqual(controls["121"], (True, "Cancel"))
        self.assertNotIn("120", controls)             # no Verify in push mode
        self.screenshot("auth_dialog_push_en-US", client_height=PUSH_HEIGHT)

        self.answer(push, "approve")
        self.assertEqual(self.driver("gone", "10000")[0], 0)  # it closes by itself
        status, out, err = self.finish(guarded)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("[sign]\n[v1.2]\n", out)
        self.assertTrue(self.install.wait_for_log("result=认证成功"))
        # One push, created by the broker for the configured user; the dialog and then the broker
        # polled that challenge.
        requested = [r for r in self.server.requests() if r["path"] == "/api/v1/auth/push/request"]
        self.assertEqual(len(requested), 1)
        self.assertIn('"username":"alice"', requested[0]["body"])
        self.assertTrue(all(p["path"].endswith("challenge_id=" + push["challenge_id"]) for p in self.polls()))

    def test_rejected_push_refuses_and_closes_the_dialog(self):
        guarded = self.open_dialog()
        self.answer(self.pending_push(), "reject")
        self.assertEqual(self.driver("gone", "10000")[0], 0)
        self.assertEqual(self.finish(guarded), (4, "", "命令被拒绝: 推送未经服务器确认，默认拒绝：rejected\n"))

    def test_expired_push_in_chinese_and_cancel(self):
        self.restart_service(self.settings("zh-CN"))
        guarded = self.open_dialog()
        push = self.pending_push()
        self.assertEqual(self.texts()["103"][1], "Release signing \u2014 请提供您的身份验证凭据以继续")
        self.screenshot("auth_dialog_push_zh-CN", client_height=PUSH_HEIGHT)
        self.answer(push, "expire")
        self.assertEqual(self.finish(guarded), (4, "", "命令被拒绝: 推送未经服务器确认，默认拒绝：expired\n"))
        guarded = self.open_dialog()
        self.pending_push()
        self.driver("press", "取消")
        self.assertEqual(self.finish(guarded), (4, "", "命令被拒绝: 用户取消\n"))

    def test_failed_polls_reset_and_three_in_a_row_refuse(self):
        guarded = self.open_dialog()
        push = self.pending_push()
        self.server.fault(path="push/status", status=500, times=2)
        # Two failures, then the push is still open: the count starts again.
        self.assertTrue(wait_until(lambda: not self.server.control("GET", "faults"), timeout=30))
        answered = len(self.polls())
        self.assertTrue(wait_until(lambda: len(self.polls()) > answered, timeout=20))  # "pending" again
        self.assertIsNone(guarded.poll())
        self.server.fault(path="push/status", status=500, times=3)
        self.assertEqual(self.finish(guarded),
                         (4, "", "命令被拒绝: 无法向服务器确认推送结果，默认拒绝：Push 轮询失败，HTTP 500\n"))
        faulted = [bool(r["fault"]) for r in self.polls()]
        self.assertEqual(faulted[-3:], [True, True, True])
        self.assertIn(False, faulted[-6:-3])

    def test_failed_push_request_refuses_without_a_dialog(self):
        self.server.fault(path="push/request", status=503, body="down for maintenance")
        status, out, err = self.finish(self.install.start("runguard.exe", "run", "--", "arg_echo.exe"))
        self.assertEqual((status, out), (4, ""))
        self.assertEqual(err, "命令被拒绝: 推送请求失败，默认拒绝：Push挑战失败, HTTP:503 响应:down for maintenance\n")
        self.assertEqual(self.driver("wait", "500")[0], 1)  # nobody was asked
        self.assertTrue(self.install.wait_for_log(
            "UI push request failed: Push挑战失败, HTTP:503 响应:down for maintenance"))

    def test_a_cancelled_push_never_reaches_the_next_dialog(self):
        first = self.open_dialog("first")
        push = self.pending_push()
        # The broker's next poll is held for 6 s by the server and then answers "approved"; the
        # dialog is cancelled while that call is still running: the cancel has the last word.
        self.server.control("DELETE", "requests")
        self.server.fault(path="push/status", delay=6, times=1)
        self.answer(push, "approve")
        self.assertTrue(wait_until(lambda: any(r["fault"] for r in self.polls())))
        self.driver("press", "Cancel")
        self.assertEqual(self.finish(first), (4, "", "命令被拒绝: User cancelled\n"))

        second = self.open_dialog("second")
        second_push = self.pending_push()
        self.assertNotEqual(second_push["challenge_id"], push["challenge_id"])
        self.assertTrue(wait_until(lambda: all(r["answered"] for r in self.polls() if r["fault"]), timeout=20),
                        "the held poll was not answered")
        self.assertEqual(self.driver("wait", "500")[0], 0)
        self.assertIsNone(second.poll())
        self.assertEqual(self.texts()["122"][0], False)
        self.answer(second_push, "approve")
        status, out, err = self.finish(second)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("[second]", out)


if __name__ == "__main__":
    main()
