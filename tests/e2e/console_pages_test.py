"""The console's pages in both languages, with screenshots: dashboard, rule lists, audit log and
settings; the settings page's Save switching the whole console's language; the audit page's view
of the log's end; the notification-area icon (see console_fixture.py)."""

import os

from console_fixture import CONSOLE, PAGES, PAGES_ZH, ConsoleCase
from harness import LOG_WIN, main, policy_json, rule_json, win_to_unix

LOG = win_to_unix(LOG_WIN)


def write_log(data):
    os.makedirs(os.path.dirname(LOG), exist_ok=True)
    with open(LOG, "wb") as f:
        f.write(data)


def log_lines(first, last):
    """Lines as the service's writer leaves them: "\\r\\n" becomes "\\r\\r\\n" in its text mode."""
    return b"".join(b"[2026-03-01 08:00:%02d] event %d\r\r\n" % (i % 60, i) for i in range(first, last + 1))


def last_lines_of_log(count=50):
    """What the audit view must show: the log's last lines (the driver's output ends lines with LF)."""
    with open(LOG, "rb") as f:
        text = f.read().decode("utf-8-sig", "replace")
    lines = text.replace("\r", "").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return "".join(line + "\n" for line in lines[-count:])


class Pages(ConsoleCase):
    def policy(self):
        return policy_json([rule_json("program", "Notepad", match_name="notepad.exe", auth_mode="push"),
                            rule_json("command", "Service control", match_name="sc.exe", args_contains="stop ",
                                      auth_mode="sms", cache_window_seconds=0),
                            rule_json("program", "Ledger", match_path=r"C:\Apps\ledger.exe", auth_mode="email",
                                      cache_window_seconds=0, enabled=False)])

    def assert_pages(self, titles, language):
        self.assertEqual([self.text(200 + i) for i in range(5)], list(titles))
        self.page(0)
        controls = self.texts()
        self.assertEqual([controls[str(i)][1] for i in (212, 217, 219)],
                         ["Start Service", "Clear Cache", "Uninstall"] if language == "en-US" else
                         ["启动服务", "清除本地缓存", "卸载服务"])
        self.screenshot("console_dashboard_" + language)
        self.page(1)
        self.assertEqual([row[0] for row in self.rows()], ["Notepad", "Ledger"])
        self.screenshot("console_app_rules_" + language)
        self.page(2)
        self.assertEqual(len(self.rows()), 1)
        self.screenshot("console_cmd_rules_" + language)
        self.page(3)
        self.assertEqual(self.texts()["223"][1],
                         "Events also go to the Windows Event Log: Application log, source Sentrel."
                         if language == "en-US" else "事件同时写入 Windows 事件日志：应用程序日志，来源 Sentrel。")
        self.screenshot("console_audit_log_" + language)
        self.page(4)
        self.screenshot("console_settings_" + language)

    def test_every_page_in_both_languages_and_save_switches_the_language(self):
        write_log(b"\xef\xbb\xbf" + log_lines(1, 120))
        self.open_console()
        self.assert_pages(PAGES, "en-US")

        self.page(1)
        self.assertEqual(self.rows(), [("Notepad", "push", "300 s", "✔ On"), ("Ledger", "email", "0 s", "⏸ Pause")])
        controls = self.texts()
        self.assertEqual([controls[str(i)][1] for i in (214, 216, 218, 215, 222)],
                         ["Add", "Toggle Status", "Edit", "Delete", "Changes require restart"])
        self.assertNotIn("221", controls)  # the empty-list text only over an empty list
        self.page(2)
        self.assertEqual(self.rows(), [("Service control", "sms", "0 s", "✔ On")])

        self.page(4)
        controls = self.texts()
        self.assertEqual(controls["301"][1], "http://127.0.0.1:%d" % self.server.port)
        self.assertEqual(controls["304"][1], "alice")
        code, items = self.w(CONSOLE, "items", "305")
        self.assertEqual(items, "0\t0\t简体中文 (zh-CN)\n1\t1\tEnglish (en-US)\n")

        # Save with the first entry: the gate is labelled "Edit", then everything is Chinese at once.
        self.w(CONSOLE, "set", "303", "DE")
        self.assertEqual(self.w(CONSOLE, "pick", "305", "0")[0], 0)
        self.click(310)
        self.pass_gate("Edit")
        self.assertEqual(self.message(), ("  设置", "设置已保存"))
        self.assertIn('"language": "zh-CN"', self.read("SentrelSvc.json"))
        self.assertIn('"country_code": "DE"', self.read("SentrelSvc.json"))
        self.assertIn("admin: config saved via console", self.install.log_messages())
        self.assertEqual(self.texts()["310"][1], "保存")  # the settings page, rebuilt in Chinese
        self.assert_pages(PAGES_ZH, "zh-CN")
        self.page(1)
        self.assertEqual(self.rows()[1], ("Ledger", "email", "0 秒", "⏸ 暂停"))

    def test_plain_http_to_another_machine_is_not_saved(self):
        self.open_console()
        self.page(4)
        self.assertNotIn("311", self.texts())  # no allowance, no note
        before = self.read("SentrelSvc.json")
        self.w(CONSOLE, "set", "301", "http://10.0.0.5:8080")
        self.click(310)
        self.pass_gate("Edit")
        caption, text = self.message()
        self.assertEqual(caption, "Error")
        self.assertTrue(text.startswith("The MFA server URL was not saved: plain http:// is accepted only for this "
                                        "machine"), text)
        self.assertEqual(self.read("SentrelSvc.json"), before)

    def test_the_allowance_is_shown_and_kept_by_a_save(self):
        self.install.write_file("SentrelSvc.json", self.settings(allow_plain_http="true"))
        self.open_console()
        self.page(4)
        self.assertEqual(self.texts()["311"],
                         (True, "allow_plain_http is on: plain http:// to another machine is accepted."))
        self.w(CONSOLE, "set", "301", "http://10.0.0.5:8080")
        self.click(310)
        self.pass_gate("Edit")
        self.assertEqual(self.message()[0], "  Settings")
        saved = self.read("SentrelSvc.json")
        self.assertIn('"server_url": "http://10.0.0.5:8080"', saved)
        self.assertIn('"allow_plain_http": "true"', saved)

    def test_the_audit_page_shows_the_newest_lines_scrolled_to_the_bottom(self):
        write_log(b"\xef\xbb\xbf" + log_lines(1, 120))
        self.open_console()
        self.page(3)
        view = self.w(CONSOLE, "text", "220")[1]
        # The gate has logged after the 120 lines: the view is the file's last 50 lines.
        self.assertEqual(view, last_lines_of_log())
        self.assertIn("event 120\n", view)
        self.assertNotIn("event 60\n", view)
        count, first = (int(v) for v in self.w(CONSOLE, "lines", "220")[1].split())
        # 52 lines (with the empty one after the last line end); the view holds 31 of them.
        self.assertGreater(first, 0, "the view was not scrolled")
        self.assertLessEqual(count - first, 34, "the newest lines are not in view")
        self.screenshot("console_audit_log_scrolled_en-US")

    def test_the_audit_page_with_a_huge_a_missing_an_unreadable_and_no_log(self):
        # Hundreds of megabytes: only the end is read, and it shows the newest events.
        os.makedirs(os.path.dirname(LOG), exist_ok=True)
        with open(LOG, "wb") as f:
            f.truncate(300 * 1024 * 1024)
            f.seek(0, 2)
            f.write(log_lines(1, 40) + "[2026-03-01 08:01:00] caf\xe9 naïve \u4e2d\u6587 ".encode("utf-8")
                    + b"\xe9\xff" + b"x" * 600 + b"\r\r\n")
        self.open_console()
        self.page(3)
        view = self.w(CONSOLE, "text", "220")[1]
        self.assertIn("event 40\n", view)
        self.assertIn("café naïve 中文 \ufffd\ufffd" + "x" * 600 + "\n", view)  # not UTF-8: replaced
        self.assertNotIn("\x00", view)

        os.remove(LOG)
        self.page(3)
        self.assertEqual(self.w(CONSOLE, "text", "220")[1], "(Log file read error)")
        self.screenshot("console_audit_log_missing_en-US")

        # Another program holds the log: it is still read (the writer shares it the same way).
        write_log(log_lines(1, 3))
        holder = self.hold(r"logs\sentrel.log")
        self.page(3)
        self.assertEqual(self.w(CONSOLE, "text", "220")[1], last_lines_of_log())
        self.release(holder)

        self.install.stop(self.console)
        self.install.write_file("SentrelSvc.json", self.settings(log_file=""))
        self.open_console()
        self.page(3)
        self.assertEqual(self.w(CONSOLE, "text", "220")[1], "(Log path not set)")

    def test_closing_hides_the_console_and_the_tray_icon_brings_it_back_or_ends_it(self):
        self.open_console()
        self.assertEqual(self.w(CONSOLE, "close")[0], 0)
        self.wait_gone(CONSOLE)
        self.assertEqual(self.w(CONSOLE, "exists")[0], 0)
        self.assertIsNone(self.console.poll())
        self.assertEqual(self.driver("tray", "dblclick")[0], 0)
        self.wait_window(CONSOLE, timeout=10)
        self.w(CONSOLE, "close")
        self.wait_gone(CONSOLE)
        self.assertEqual(self.driver("tray", "menu", "1")[0], 0)  # "Open Console"
        self.wait_window(CONSOLE, timeout=10)
        self.assertEqual(self.driver("tray", "menu", "2")[0], 0)  # "Exit"
        self.assertTrue(self.console_ended(), "Exit did not end the console")
        self.assertEqual(self.console.returncode, 0)


class EmptyCommandList(ConsoleCase):
    def policy(self):
        return policy_json([rule_json("program", "Notepad", match_name="notepad.exe")])

    def test_a_page_without_rules_says_how_to_add_one(self):
        self.install.write_file("SentrelSvc.json", self.settings("zh-CN"))
        self.open_console(gate_label="打开管理控制台")
        self.page(2)
        self.assertEqual(self.rows(), [])
        self.assertEqual(self.texts()["221"], (True, "暂无规则。点击 \"+ 添加\" 开始保护。"))
        self.screenshot("console_cmd_rules_empty_zh-CN")
        self.page(1)
        self.assertNotIn("221", self.texts())


if __name__ == "__main__":
    main()
