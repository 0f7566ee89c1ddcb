"""The console's start: the first-run setup wizard, the files it writes, and the administrator
gate in the real MFA dialog before the console opens (see console_fixture.py)."""

import os

from console_fixture import CONSOLE, DIALOG, SETUP, ConsoleCase, default_rules
from harness import main, policy_json, settings_json, wait_until
from mfa_fixture import API_KEY


class FirstRun(ConsoleCase):
    def settings(self):
        return None  # no settings file yet

    def policy(self):
        return None

    def fill_wizard(self, url, key, user):
        for control, value in ((401, url), (402, key), (403, user)):
            self.assertEqual(self.w(SETUP, "set", str(control), value)[0], 0)

    def test_wizard_writes_both_files_then_the_gate_opens_the_console(self):
        self.start_console()
        self.assertEqual(self.wait_window(SETUP).split("\t")[3].strip(), "Sentrel — 初始配置")
        controls = self.texts(SETUP)
        self.assertEqual(controls["405"], (False, ""))
        self.assertEqual(controls["404"], (True, "保存配置"))
        self.screenshot("setup_wizard_zh-CN", SETUP, size=(400, 396))

        # Enter does nothing (there is no control 120); an empty field is named in red.
        self.assertEqual(self.w(SETUP, "set", "401", "http://127.0.0.1:%d" % self.server.port)[0], 0)
        self.w(SETUP, "click", "402")
        self.w(SETUP, "key", "enter")
        self.assertEqual(self.w(SETUP, "press", "404")[0], 0)
        self.assertEqual(self.texts(SETUP)["405"], (True, "请填写所有必填项"))
        self.assertFalse(os.path.exists(self.path("SentrelSvc.json")))
        self.screenshot("setup_wizard_missing_field_zh-CN", SETUP)

        self.fill_wizard("http://127.0.0.1:%d" % self.server.port, API_KEY, "alice")
        self.click(404, SETUP)
        self.assertEqual(self.message(), ("Sentrel", "配置已保存。请手动启动管理控制台。"))
        self.assertEqual(self.read("SentrelSvc.json"),
                         settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                       mfa_username="alice", log_file=r"C:\ProgramData\Sentrel\logs\sentrel.log"))
        rules = self.rules()  # the default rules, in the language of the wizard
        self.assertEqual([(r["type"], r["display_name"], r["match_name"]) for r in rules],
                         [("program", "记事本", "notepad.exe"), ("command", "命令提示符", "cmd.exe")])

        self.pass_gate()
        self.wait_window(CONSOLE)
        # The settings name no language: the console takes the user's (English here).
        self.assertEqual(self.text(200), "  Dashboard")
        self.page(1)
        self.assertEqual(self.rows(), [("记事本", "push", "300 s", "✔ On")])

    def test_closing_the_wizard_without_saving_ends_the_program_without_a_message(self):
        self.start_console()
        self.wait_window(SETUP)
        self.assertEqual(self.w(SETUP, "close")[0], 0)
        self.assertTrue(self.console_ended(), "the console did not end")
        self.assertEqual(self.console.returncode, 0)
        self.assertEqual(self.driver("message", "500")[0], 1)  # no message box
        self.assertFalse(os.path.exists(self.path("SentrelSvc.json")))
        self.assertFalse(os.path.exists(self.path("SentrelSvc.policy.json")))


class IncompleteSettings(ConsoleCase):
    """A settings file with everything but the MFA user name, and rules already there."""

    def settings(self):
        return settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                             address="Building 4", country_code="CN", client_ip="10.1.2.3",
                             admin_auth_mode="totp", log_file=r"D:\audit\sentrel.log", language="en-US")

    def policy(self):
        return policy_json(default_rules()[:1])

    def test_the_wizard_keeps_what_the_file_holds_and_never_touches_the_rules(self):
        rules_before = self.read("SentrelSvc.policy.json")
        self.start_console()
        self.wait_window(SETUP)
        controls = self.texts(SETUP)
        self.assertEqual(controls["caption"][1], "Initial Setup")
        self.assertEqual([controls[str(i)][1] for i in (401, 402, 403)], ["", "", ""])  # shown empty
        self.screenshot("setup_wizard_en-US", SETUP, size=(400, 396))
        for control, value in ((401, "http://127.0.0.1:%d" % self.server.port), (402, API_KEY), (403, "alice")):
            self.w(SETUP, "set", str(control), value)
        self.click(404, SETUP)
        self.assertEqual(self.message(), ("Sentrel", "Config saved"))
        self.assertEqual(self.read("SentrelSvc.json"),
                         settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                       mfa_username="alice", address="Building 4", country_code="CN",
                                       client_ip="10.1.2.3", admin_auth_mode="totp",
                                       log_file=r"D:\audit\sentrel.log", language="en-US"))
        self.assertEqual(self.read("SentrelSvc.policy.json"), rules_before)

        # Cancelling the gate: the broker's reason in a box captioned "Auth Failed", no console.
        self.wait_window(DIALOG, timeout=30)
        self.assertEqual(self.w(DIALOG, "press", "Cancel")[0], 0)
        self.assertEqual(self.message(), ("Auth Failed", "User cancelled"))
        self.assertTrue(self.console_ended(), "the console did not end")
        self.assertEqual(self.w(CONSOLE, "exists")[0], 1)

    def test_a_settings_file_that_cannot_be_written_is_reported_and_the_wizard_stays(self):
        settings_before = self.read("SentrelSvc.json")
        self.hold("SentrelSvc.json")  # another program reads it: it cannot be replaced
        self.start_console()
        self.wait_window(SETUP)
        # Plain http:// to another machine is refused before anything is written, and the wizard says why.
        for control, value in ((401, "http://x"), (402, "k"), (403, "u")):
            self.w(SETUP, "set", str(control), value)
        self.click(404, SETUP)
        caption, text = self.message()
        self.assertEqual(caption, "Error")
        self.assertTrue(text.startswith("The MFA server URL was not saved: plain http:// is accepted only for this "
                                        "machine"), text)
        self.wait_window(SETUP, timeout=5)  # still open
        self.w(SETUP, "set", "401", "https://x")
        self.click(404, SETUP)
        caption, text = self.message()
        self.assertEqual(caption, "Error")
        self.assertTrue(text.startswith("The settings file could not be written, so the setup is not complete."), text)
        self.wait_window(SETUP, timeout=5)  # still open
        self.assertEqual(self.read("SentrelSvc.json"), settings_before)
        self.w(SETUP, "close")
        # The file still names a server: the console goes on to the gate with it.
        self.wait_window(DIALOG, timeout=30)
        self.w(DIALOG, "close")
        self.assertEqual(self.message()[0], "Auth Failed")


class Gate(ConsoleCase):
    def test_the_gate_follows_admin_auth_mode_push_and_email(self):
        self.install.write_file("SentrelSvc.json", self.settings(admin_auth_mode="push"))
        self.start_console()
        self.wait_window(DIALOG, timeout=30)
        self.assertEqual(self.texts(DIALOG)["103"][1], "Open Console \u2014 Please provide credentials to continue")
        self.assertTrue(wait_until(lambda: self.server.control("GET", "pushes")), "no push was requested")
        self.server.control("POST", "pushes/latest/approve")
        self.wait_gone(DIALOG, timeout=20)
        self.wait_window(CONSOLE)
        self.install.stop(self.console)
        self.install.kill_installed_processes_named("SentrelUI.exe")

        self.install.write_file("SentrelSvc.json", self.settings(admin_auth_mode="email"))
        self.start_console()
        self.wait_window(DIALOG, timeout=30)
        self.w(DIALOG, "press", "114")  # Get Code
        self.assertTrue(wait_until(lambda: self.server.control("GET", "outbox")), "no e-mail code was sent")
        self.w(DIALOG, "click", "130")
        self.w(DIALOG, "type", self.server.control("GET", "outbox")[-1]["code"])
        self.wait_gone(DIALOG)
        self.wait_window(CONSOLE)

    def test_an_unreachable_mfa_server_keeps_the_console_closed(self):
        self.install.write_file("SentrelSvc.json", self.settings(server_url="http://127.0.0.1:9"))
        self.start_console()
        self.wait_window(DIALOG, timeout=30)
        self.w(DIALOG, "type", "123456")
        # The console's broker checks the code: the failed check ends the gate with its text.
        caption, text = self.message()
        self.assertEqual(caption, "Auth Failed")
        self.assertTrue(text.startswith("发送请求失败"), text)
        self.assertTrue(self.console_ended())

    def test_a_dialog_host_that_is_not_ours_is_refused(self):
        # Another program holds the dialog host's pipe: the gate refuses before asking anyone.
        impostor = self.install.start("test_dialog_host.exe", "--pipe")
        self.assertEqual(self.driver("host", "15000")[0], 0)
        self.start_console()
        self.assertEqual(self.message(timeout=30), ("Auth Failed", "认证界面不可信，默认拒绝"))
        self.assertTrue(self.console_ended())
        self.assertEqual(self.w(CONSOLE, "exists")[0], 1)
        self.install.stop(impostor)


Gate.executables = ConsoleCase.executables + ("test_dialog_host.exe",)

if __name__ == "__main__":
    main()
