"""Trust boundaries of the authentication dialog, end to end under Wine on Xvfb (see
dialog_fixture.py): window messages forged by another process of the user neither approve nor
harm the dialog host, in every mode."""

from dialog_fixture import DialogCase
from harness import free_port, main, policy_json, rule_json, wait_until

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

    def test_forged_push_finished_approves_nothing_with_the_server_unreachable(self):
        # The one-line forgery against a TOTP rule while the MFA server cannot be reached.
        self.restart_service(self.settings("en-US", server_url="http://127.0.0.1:%d" % free_port()))
        guarded = self.open_dialog()
        self.assertEqual(self.driver("forge-approve")[0], 0)
        self.assertEqual(self.driver("close")[0], 0)  # queued behind the forgery
        self.assertEqual(self.finish(guarded), WINDOW_CLOSED)
        self.assertEqual(self.server.requests(), [])


if __name__ == "__main__":
    main()
