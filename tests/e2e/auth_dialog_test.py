"""The authentication dialog, TOTP, SMS and e-mail variants, end to end under Wine on Xvfb (see
dialog_fixture.py): codes typed, checked by the test MFA server, the command run or refused."""

import os
import re
import shutil

from dialog_fixture import EXECUTABLES, DialogCase
from harness import main, policy_json, rule_json, wait_until, win_to_unix
from mfa_fixture import tls_server, trust_test_certs

RULE_NAME = "Deploy tool"
LONG_FOLDER_WIN = r"C:\Program Files\Sentrel\tools for the nightly deployment of the accounting database servers"


class AuthDialog(DialogCase):
    def policy(self):
        return policy_json([rule_json("command", "Mail step", match_name="arg_echo.exe", args_contains="sms-step",
                                      auth_mode="sms"),
                            rule_json("command", "Mail step", match_name="arg_echo.exe", args_contains="email-step",
                                      auth_mode="email"),
                            rule_json("command", RULE_NAME, match_name="arg_echo.exe")])

    # --- tests --------------------------------------------------------------------------------
    def test_correct_code_approves_and_the_command_runs(self):
        guarded = self.open_dialog("hello world")
        controls = self.texts()
        self.assertEqual(controls["caption"], (True, "Sentrel"))
        self.assertEqual(controls["102"], (True, "Sentrel"))
        self.assertEqual(controls["103"], (True, RULE_NAME + " \u2014 Please provide credentials to continue"))
        self.assertEqual(controls["104"], (True, "Target Program: " + self.install.path_win("arg_echo.exe")))
        self.assertEqual(controls["112"], (True, "Enter 6-digit code"))
        self.assertEqual((controls["120"], controls["121"]), ((True, "Verify"), (True, "Cancel")))
        self.assertEqual(controls["122"], (False, ""))
        self.assertEqual(self.focus(), 130)
        self.screenshot("auth_dialog_totp_en-US")

        code = self.current_code()
        self.assertEqual(self.driver("type", code[:3])[0], 0)
        self.assertEqual(self.focus(), 133)  # the focus moved box by box
        self.driver("type", code[3:])      # the sixth digit submits without a click
        self.assertEqual(self.driver("gone", "10000")[0], 0)

        status, out, err = self.finish(guarded)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("[hello world]", out)
        verifies = [r for r in self.server.requests() if r["path"] == "/api/v1/auth/verify"]
        self.assertEqual(len(verifies), 1)
        self.assertIn('"code":"%s"' % code, verifies[0]["body"])
        self.assertTrue(self.install.wait_for_log("result=认证成功"))

    def test_wrong_code_shows_the_error_and_cancel_denies(self):
        guarded = self.open_dialog()
        # Verify with missing digits names the problem and focuses the first empty box.
        self.driver("type", "12")
        self.driver("key", "back")  # box 3 (empty) -> box 2, which keeps its digit
        self.assertEqual(self.focus(), 131)
        self.driver("type", "x")    # not a digit: nothing changes
        self.assertEqual(self.driver("press", "Verify")[0], 0)
        controls = self.texts()
        self.assertEqual(controls["122"], (True, "Enter all 6 digits"))
        self.assertEqual([controls[str(130 + i)][1] for i in range(6)], ["1", "2", "", "", "", ""])
        self.assertEqual(self.focus(), 132)

        wrong = self.wrong_code()
        self.driver("type", wrong[2:])
        # The dialog shows "Sending..." until the service's verdict on the code arrives.
        wrong_shown = (True, "验证码错误或用户不存在")
        self.assertTrue(wait_until(lambda: self.texts()["122"] == wrong_shown, timeout=15), self.texts())
        controls = self.texts()
        self.assertEqual("".join(controls[str(130 + i)][1] for i in range(6)), "12" + wrong[2:])
        self.assertEqual(controls["120"], (True, "Verify"))  # usable again: the broker asks for another code
        self.screenshot("auth_dialog_totp_wrong_code_en-US")
        self.assertIsNone(guarded.poll())  # still waiting for the person

        self.assertEqual(self.driver("press", "Cancel")[0], 0)
        self.assertEqual(self.finish(guarded), (4, "", "命令被拒绝: User cancelled\n"))
        self.assertEqual(self.driver("gone", "5000")[0], 0)

    def test_server_faults_refuse_with_their_text_and_the_next_round_works(self):
        # The service checks the code: a server that fails the check ends the round with its text,
        # and the dialog closes.
        for fault, shown in (({"drop": True}, r"^(接收响应失败|发送请求失败): \d+$"),
                             ({"status": 500, "body": "x" * 20000}, r"^认证失败，HTTP 500$"),
                             ({"status": 403}, r"^被地域安全策略拒绝$")):
            guarded = self.open_dialog()
            self.server.fault(path="verify", times=1, **fault)
            self.driver("type", self.current_code())
            self.assertEqual(self.driver("gone", "10000")[0], 0)
            status, out, err = self.finish(guarded)
            self.assertEqual((status, out), (4, ""), fault)
            self.assertRegex(err.rstrip("\n"), r"^命令被拒绝: " + shown[1:], fault)
        guarded = self.open_dialog()
        self.driver("type", self.current_code())
        self.assertEqual(self.finish(guarded)[0], 0)

    def test_three_wrong_codes_refuse_once_and_no_code_reaches_the_log(self):
        guarded = self.open_dialog()
        wrongs = []
        for attempt in range(3):
            wrong = self.wrong_code()
            wrongs.append(wrong)
            self.driver("click", "130")
            self.driver("type", wrong)
            if attempt < 2:
                # The dialog shows "Sending..." until the service's verdict on the code arrives.
                wrong_shown = (True, "验证码错误或用户不存在")
                self.assertTrue(wait_until(lambda: self.texts()["122"] == wrong_shown, timeout=15), self.texts())
        self.assertEqual(self.driver("gone", "10000")[0], 0)
        status, out, err = self.finish(guarded)
        self.assertEqual((status, err), (4, "命令被拒绝: 验证码错误次数过多，默认拒绝：验证码错误或用户不存在\n"))
        self.assertTrue(self.install.wait_for_log("UI code refused: too many wrong codes"))
        log = "\n".join(self.install.log_messages())  # without time stamps
        self.assertEqual(log.count("UI code refused: too many wrong codes"), 1)
        for wrong in wrongs:
            self.assertNotIn(wrong, log)

    def test_closing_the_window_denies_and_long_paths_are_cut_in_the_middle(self):
        folder = win_to_unix(LONG_FOLDER_WIN)
        os.makedirs(folder)
        shutil.copy(os.path.join(self.install.folder, "arg_echo.exe"), os.path.join(folder, "arg_echo.exe"))
        guarded = self.open_dialog(exe=LONG_FOLDER_WIN + r"\arg_echo.exe")
        line = self.texts()["104"][1]
        self.assertTrue(line.startswith("Target Program: C:\\Program Files"), line)
        self.assertTrue(line.endswith("servers\\arg_echo.exe"), line)
        self.assertIn("\u2026", line)
        self.assertLess(len(line), len("Target Program: " + LONG_FOLDER_WIN + r"\arg_echo.exe"))
        self.screenshot("auth_dialog_totp_long_path_en-US")

        self.assertEqual(self.driver("close")[0], 0)
        self.assertEqual(self.finish(guarded), (4, "", "命令被拒绝: Window closed\n"))

    def test_language_follows_the_settings_file_between_two_dialogs(self):
        guarded = self.open_dialog()
        self.assertEqual(self.texts()["120"], (True, "Verify"))
        host = self.host_pids()
        self.driver("press", "121")
        self.assertEqual(self.finish(guarded)[2], "命令被拒绝: User cancelled\n")

        # The dialog host keeps running and reads the settings again for the next dialog.
        self.restart_service(self.settings("zh-CN"))
        guarded = self.open_dialog()
        controls = self.texts()
        self.assertEqual(controls["103"][1], RULE_NAME + " \u2014 请提供您的身份验证凭据以继续")
        self.assertTrue(controls["104"][1].startswith("目标程序： "))
        self.assertEqual(controls["112"][1], "请输入 6 位验证码")
        self.assertEqual((controls["120"][1], controls["121"][1]), ("验证", "取消"))
        self.screenshot("auth_dialog_totp_zh-CN")
        self.assertEqual(self.driver("press", "验证")[0], 0)
        self.assertEqual(self.texts()["122"], (True, "请填写全部 6 位验证码"))
        self.screenshot("auth_dialog_totp_status_zh-CN")
        self.assertEqual(self.host_pids(), host)  # the same host served both
        # A second host started while one runs ends at once, showing nothing.
        self.assertEqual(self.install.run("SentrelUI.exe", "--pipe", env={"DISPLAY": self.install.display},
                                          timeout=30)[0], 0)
        self.assertEqual(self.host_pids(), host)

        self.driver("type", self.current_code())
        self.assertEqual(self.finish(guarded)[0], 0)


    def test_bad_requests_get_no_reply_and_the_next_client_is_served(self):
        guarded = self.open_dialog()
        self.driver("press", "Cancel")
        self.assertEqual(self.finish(guarded)[0], 4)
        self.assertEqual(self.driver("host")[0], 0)
        self.assertEqual(self.driver("request", "magic"), (0, "no reply\n"))
        self.assertEqual(self.driver("host")[0], 0)
        self.assertEqual(self.driver("request", "short"), (0, "no reply\n"))
        self.assertEqual(self.driver("wait", "1000")[0], 1)  # neither showed a dialog

        guarded = self.open_dialog()
        self.driver("type", self.current_code())
        self.assertEqual(self.finish(guarded)[0], 0)

    def test_sms_code_is_sent_by_the_service_and_verified(self):
        guarded = self.open_dialog("sms-step")
        # The service had the code sent before it asked the dialog: the prompt names where it went.
        sent = self.server.control("GET", "outbox")
        self.assertEqual([m["auth_type"] for m in sent], ["sms"])
        controls = self.texts()
        self.assertEqual(controls["103"][1], "Mail step \u2014 Please provide credentials to continue")
        self.assertTrue(controls["112"][0])
        self.assertTrue(controls["112"][1].startswith("Verification (Sent to ") and controls["112"][1].endswith("1234)"),
                        controls["112"])
        self.assertNotIn("13800001234", controls["112"][1])  # masked
        self.assertNotIn("114", controls)  # no Get Code: the dialog makes no MFA call
        self.screenshot("auth_dialog_sms_en-US", client_height=311)

        if sent[0]["code"] != "123456":
            self.driver("type", "123456")
            wrong_shown = (True, "验证码错误或已过期")
            self.assertTrue(wait_until(lambda: self.texts()["122"] == wrong_shown, timeout=15), self.texts())
            self.assertIsNone(guarded.poll())
        self.driver("click", "133")
        self.assertEqual(self.focus(), 133)
        for _ in range(3):
            self.driver("key", "left")
        self.assertEqual(self.focus(), 130)
        self.driver("type", sent[0]["code"])
        self.assertEqual(self.finish(guarded)[0], 0)
        verifies = [r for r in self.server.requests() if r["path"] == "/api/v1/auth/message/verify"]
        self.assertIn('"challenge_id":"%s"' % sent[0]["challenge_id"], verifies[-1]["body"])

    def test_email_code_wrong_then_right_and_the_screenshot_in_chinese(self):
        self.restart_service(self.settings("zh-CN"))
        guarded = self.open_dialog("email-step")
        self.assertEqual(self.texts()["112"], (True, "验证码（将发送至 a***@example.com）"))
        self.assertEqual(self.texts()["122"], (True, "验证码已发送至 a***@example.com"))
        sent = self.server.control("GET", "outbox")
        self.assertEqual([(m["auth_type"], m["destination"]) for m in sent], [("email", "alice@example.com")])
        self.screenshot("auth_dialog_email_zh-CN", client_height=311)

        wrong = "111111" if sent[0]["code"] != "111111" else "222222"
        self.driver("click", "130")
        self.driver("type", wrong)
        # "Sending..." until the service's verdict on the code arrives.
        self.assertTrue(wait_until(lambda: self.texts()["122"] == (True, "验证码错误或已过期"), timeout=15), self.texts())
        self.assertEqual(self.focus(), 130)
        self.driver("type", sent[0]["code"])
        self.assertEqual(self.finish(guarded)[0], 0)
        self.assertTrue(self.install.wait_for_log("result=认证成功"))

    def test_message_prompts_name_the_channel_in_both_languages(self):
        for language, args, prompt, name in (("en-US", "email-step", "Verification (Sent to a***@example.com)",
                                              "email_en-US"),
                                             ("zh-CN", "sms-step", "验证码（将发送至 **********1234）", "sms_zh-CN")):
            if language != "en-US":
                self.restart_service(self.settings(language))
            guarded = self.open_dialog(args)
            self.assertEqual(self.texts()["112"], (True, prompt))
            self.screenshot("auth_dialog_" + name, client_height=311)
            self.driver("close")
            self.assertEqual(self.finish(guarded)[0], 4)


class AuthDialogHttps(DialogCase):
    """The dialog's calls over HTTPS with the platform's certificate checks on: a test CA is
    trusted inside the Wine prefix only, and a certificate from another CA is refused."""
    executables = EXECUTABLES + ("trust_test_ca.exe",)

    def policy(self):
        return policy_json([rule_json("command", RULE_NAME, match_name="arg_echo.exe")])

    def setUp(self):
        super().setUp()
        self.trusted, self.untrusted = trust_test_certs(self, self.install)

    def serve(self, certs):
        server = tls_server(self, certs)
        self.restart_service(self.settings("en-US", server_url="https://localhost:%d" % server.port))
        return server

    def test_trusted_certificate_passes_and_an_untrusted_one_is_refused(self):
        server = self.serve(self.trusted)
        guarded = self.open_dialog()
        self.driver("type", server.control("GET", "totp/alice")["code"])
        self.assertEqual(self.finish(guarded)[0], 0)
        self.assertEqual([r["path"] for r in server.requests()], ["/api/v1/auth/verify"])

        server.stop()
        server = self.serve(self.untrusted)
        guarded = self.open_dialog()
        self.driver("type", server.control("GET", "totp/alice")["code"])
        status, out, err = self.finish(guarded)
        self.assertEqual(status, 4)
        self.assertRegex(err, r"^命令被拒绝: 发送请求失败: \d+\n$")
        self.assertEqual(server.requests(), [])  # refused in the handshake: nothing reached the server


if __name__ == "__main__":
    main()
