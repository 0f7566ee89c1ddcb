"""The dashboard's service commands under Wine's service control manager: Start (an elevated
`SentrelSvc.exe install`), changes refused while the service guards the files, Stop behind the
gate, changes accepted once it stopped, Clear Cache both ways, Uninstall; and what the console
says when SentrelSvc.exe cannot be started or fails (see console_fixture.py)."""

from console_fixture import CONSOLE, DIALOG, EDITOR, EXECUTABLES, ConsoleCase
from harness import main

PROTECTION_ON = ("Protection is on: while the service runs it guards the rule and settings files and puts back any "
                 "change. Nothing was changed.  Stop the service on the Dashboard, make the change, then start the "
                 "service again.")


class ServiceCommands(ConsoleCase):
    def start_service_from_the_dashboard(self):
        self.page(0)
        self.assertEqual(self.text(212), "Start Service")
        self.click(212)  # no gate for starting
        self.install.service_created = True  # removed at the end of the test
        self.wait_service("RUNNING")
        self.wait_caption(212, "Stop Service")

    def test_start_refuse_stop_accept_and_uninstall(self):
        self.open_console()
        self.start_service_from_the_dashboard()
        self.click(217)
        self.assertEqual(self.message(), ("Sentrel", "Cache cleared"))
        self.assertIn("approval cache cleared by UI", self.install.log_messages())

        # While the service runs, no change is written, and the console says why.
        rules_before, settings_before = self.read("SentrelSvc.policy.json"), self.read("SentrelSvc.json")
        self.page(1)
        self.click(214)
        self.assertEqual(self.message(), ("Sentrel", PROTECTION_ON))
        self.assertEqual(self.w(EDITOR, "exists")[0], 1)  # no editor was opened
        self.w(CONSOLE, "select", "213", "0")
        for command in (216, 218, 215):
            self.click(command)
            self.assertEqual(self.message(), ("Sentrel", PROTECTION_ON))
        self.page(4)
        self.click(310)
        self.assertEqual(self.message(), ("Sentrel", PROTECTION_ON))
        self.assertEqual(self.w(DIALOG, "exists")[0], 1)  # refused before the gate
        self.assertEqual((self.read("SentrelSvc.policy.json"), self.read("SentrelSvc.json")),
                         (rules_before, settings_before))

        # Stop: the gate says what it guards.
        self.page(0)
        self.screenshot("console_dashboard_running_en-US")
        self.click(212)
        self.pass_gate("Stop Service")
        self.wait_service("STOPPED")
        self.wait_caption(212, "Start Service")
        self.click(217)
        self.assertEqual(self.message(), ("Sentrel", "Cannot connect to service"))

        # Stopped: the change is written, and the next start reads it.
        self.page(1)
        self.click(214)
        self.wait_window(EDITOR, timeout=10)
        self.set_field(501, "Ledger")
        self.set_field(502, "ledger.exe")
        self.click(507, EDITOR)
        self.assertEqual(self.message(), ("  App Rules", "Saved. Restart required."))
        self.assertEqual([r["display_name"] for r in self.rules()], ["Notepad", "Command Prompt", "Ledger"])
        self.page(0)
        self.click(212)
        self.wait_service("RUNNING")
        self.wait_caption(212, "Stop Service")
        self.assertIn("service started, rules=3", self.install.log_messages())

        # Uninstall: gate, confirmation, the elevated uninstaller, the result.
        self.click(219)
        self.pass_gate("Uninstall")
        self.assertEqual(self.message("yes"), ("Uninstall", "Are you sure you want to uninstall Sentrel service? "
                                                           "This will remove all protections."))
        self.assertEqual(self.message(timeout=60), ("Sentrel", "Service uninstalled and cleaned successfully."))
        self.assertIsNone(self.service_state())
        self.assertEqual(self.text(212), "Start Service")
        self.assertEqual(self.text(219), "Uninstall")
        self.assertIn("uninstall authorized: via UI, proceeding", self.install.log_messages())

    def test_uninstall_answered_no_does_nothing(self):
        self.open_console()
        self.start_service_from_the_dashboard()
        self.click(219)
        self.pass_gate("Uninstall")
        self.message("no")
        self.assertEqual(self.service_state(), "RUNNING")
        self.assertEqual(self.text(219), "Uninstall")


class FailingServiceProgram(ConsoleCase):
    """SentrelSvc.exe is a program that shows its arguments and exits with code 5."""

    def setUp(self):
        super().setUp()
        self.replace_service_program("arg_echo.exe")

    def test_failures_are_reported_with_their_exit_codes_and_the_runas_start_passes_the_arguments(self):
        self.open_console(env={"ARG_ECHO_EXIT_CODE": "5", "ARG_ECHO_RECORD": "service_commands.txt"})
        self.click(212)
        self.assertEqual(self.message(), ("Error", "\"SentrelSvc.exe install\" failed (Exit Code: 5)."))
        self.click(219)
        self.pass_gate("Uninstall")
        self.message("yes")
        self.assertEqual(self.message(timeout=30), ("Error", "Uninstallation failed (Exit Code: 0x5)."))
        self.assertEqual(self.text(219), "Uninstall")
        self.driver("tray", "menu", "2")
        self.assertTrue(self.console_ended())
        # What the "runas" starts ran, with their arguments as the console passed them.
        self.assertEqual(self.read("service_commands.txt"), "[install]\n[uninstall][--authorized]\n")


class SlowUninstaller(ConsoleCase):
    """SentrelSvc.exe is a program that runs until it is ended (and records how it was started)."""

    def setUp(self):
        super().setUp()
        self.replace_service_program("protected_app.exe")

    def test_the_console_stays_usable_while_the_uninstaller_runs(self):
        self.open_console()
        self.click(219)
        self.pass_gate("Uninstall")
        self.message("yes")
        self.wait_caption(219, "Uninstalling...", timeout=15)
        self.assertIn('"args":["uninstall","--authorized"]', self.read_when_written("protected_app_starts.txt"))
        # Pages change meanwhile; a second Uninstall is not started.
        self.page(1)
        self.assertEqual([row[0] for row in self.rows()], ["Notepad"])
        self.page(0)
        for command in (219, 212):  # neither a second uninstall nor a start or stop meanwhile
            self.click(command)
            self.assertEqual(self.message(), ("Sentrel", "The uninstaller is still running."))
        self.assertEqual(self.read("protected_app_starts.txt").count("uninstall"), 1)
        self.install.kill_installed_processes_named("SentrelSvc.exe")
        caption, text = self.message(timeout=30)
        self.assertIn(caption, ("Sentrel", "Error"), text)
        self.assertEqual(self.text(219), "Uninstall")


class MissingServiceProgram(ConsoleCase):
    executables = tuple(name for name in EXECUTABLES if name != "SentrelSvc.exe")

    def test_a_missing_service_program_is_named(self):
        self.open_console()
        self.click(212)
        self.assertEqual(self.message(), ("Error", "Could not run \"SentrelSvc.exe install\" (error 2)."))
        self.assertEqual(self.text(212), "Start Service")
        self.click(219)
        self.pass_gate("Uninstall")
        self.message("yes")
        self.assertEqual(self.message(), ("Error", "Could not start uninstaller process."))


if __name__ == "__main__":
    main()
