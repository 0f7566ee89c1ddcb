"""The dialog host's pipe end to end: a dialog whose caller has gone closes itself and never blocks
the next round, and an idle client on the host's pipe neither blocks a round nor stays. The real
SentrelUI.exe shows its dialogs on an Xvfb display; tools/ui_ask is a broker with a reply bound of
the test's choosing, tools/ui_driver looks at and presses the dialog."""

import signal
import time

from harness import E2ETestCase, main, policy_json, rule_json, settings_json

EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "arg_echo.exe", "ui_driver.exe", "ui_ask.exe",
               "pipe_probe.exe")
GAVE_UP = "approved=0 message=等待认证结果超时，默认拒绝"
CANCELLED = "approved=0 message=User cancelled"


class HostPipe(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.install.start_display()
        self.install.lay_out(settings=settings_json(server_url="http://127.0.0.1:9", api_key="k", mfa_username="u",
                                                    language="en-US"),
                             policy=policy_json([rule_json("command", "Echo", match_name="arg_echo.exe")]),
                             executables=EXECUTABLES)

    def driver(self, *args):
        code, out, _ = self.install.run("ui_driver.exe", *args, env={"DISPLAY": self.install.display})
        return code, out.replace("\r\n", "\n")

    def ask(self, bound_ms, title):
        return self.install.start("ui_ask.exe", str(bound_ms), title)

    def answer_of(self, asker, timeout=60):
        """ui_ask's one line, once it has ended. The host it started keeps its output open, so the
        line is read, not the output to its end."""
        asker.wait(timeout)
        return asker.stdout.readline().decode("utf-8", "replace").strip()

    def wait_dialog(self, title, timeout_ms=30000):
        """The dialog of the round with this title is shown (the first round starts the host cold)."""
        code, out = self.driver("wait", str(timeout_ms))
        self.assertEqual(code, 0, "no dialog appeared within %d ms" % timeout_ms)
        code, out = self.driver("texts")
        self.assertEqual(code, 0)
        subtitle = [line for line in out.splitlines() if line.startswith("103\t")]
        self.assertTrue(subtitle and title in subtitle[0], (title, out))

    def assert_dialog_closes(self, timeout_ms=15000):
        self.assertEqual(self.driver("gone", str(timeout_ms))[0], 0, "the dialog was still open after %d ms" % timeout_ms)

    def cancel(self):
        self.assertEqual(self.driver("press", "Cancel")[0], 0)

    # ------------------------------------------------------------------------------------------
    def test_a_dialog_whose_caller_gave_up_closes_and_the_next_round_shows_its_own(self):
        first = self.ask(4000, "First round")
        self.wait_dialog("First round")
        self.assertEqual(self.answer_of(first), GAVE_UP)
        self.assert_dialog_closes()

        second = self.ask(60000, "Second round")
        self.wait_dialog("Second round", 15000)
        self.cancel()
        self.assertEqual(self.answer_of(second), CANCELLED)

    def test_a_dialog_whose_caller_died_closes_and_the_next_round_shows_its_own(self):
        # The broker's process ends in the middle of the round: its end of the pipe breaks.
        asker = self.ask(120000, "Caller killed")
        self.wait_dialog("Caller killed")
        asker.send_signal(signal.SIGKILL)
        asker.wait(10)
        self.assert_dialog_closes()

        # The same through the service: a round of a protected command, the service ends, then a
        # service started again asks again and its dialog is shown.
        service = self.install.start_console_service()
        waiting = self.install.start("runguard.exe", "run", "--", "arg_echo.exe", "first")
        self.wait_dialog("Echo", 15000)
        self.install.stop(service)
        self.assert_dialog_closes()
        waiting.wait(30)
        self.install.start_console_service()
        again = self.install.start("runguard.exe", "run", "--", "arg_echo.exe", "second")
        self.wait_dialog("Echo", 15000)
        self.cancel()
        again.wait(30)
        self.assertEqual(again.returncode, 4)
        self.assertEqual(again.stderr.read().decode("utf-8").replace("\r\n", "\n"), "命令被拒绝: User cancelled\n")

    def test_an_idle_client_on_the_hosts_pipe_neither_blocks_a_round_nor_stays(self):
        warm = self.ask(60000, "Host started")
        self.wait_dialog("Host started")
        self.cancel()
        self.assertEqual(self.answer_of(warm), CANCELLED)
        self.assertEqual(self.install.wait_for("pipe", "SentrelUI", "15000"), (0, ""))

        holder = self.install.start("pipe_probe.exe", "hold-ui", "60000")
        self.assertEqual(holder.stdout.readline().strip(), b"connected")
        started = time.time()
        round_ = self.ask(60000, "Beside an idle client")
        self.wait_dialog("Beside an idle client", 10000)
        self.assertLess(time.time() - started, 10)
        self.cancel()
        self.assertEqual(self.answer_of(round_), CANCELLED)
        line = holder.stdout.readline().decode().strip()
        self.assertRegex(line, r"^dropped after \d+ ms$")
        self.assertLess(int(line.split()[2]), 15000, line)


if __name__ == "__main__":
    main()
