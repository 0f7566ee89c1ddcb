"""Rule changes through the console: the rule editor for both rule types (presets, fill-in rules,
Browse, validation), Add / Toggle / Edit / Delete with the policy file read after each, and rule
files that are missing, hold no list, are too large, change underneath or cannot be replaced; the
settings file that cannot be replaced (see console_fixture.py)."""

import hashlib
import os
import shutil

from console_fixture import CONSOLE, EDITOR, ConsoleCase
from harness import BIN, main, policy_json, rule_json

SAVED = "Saved. Restart required."


class Rules(ConsoleCase):
    def policy(self):
        return policy_json([rule_json("program", "Notepad", match_name="notepad.exe", auth_mode="push"),
                            rule_json("command", "Command Prompt", match_name="cmd.exe", auth_mode="push")])

    def editor(self):
        """Field id -> text of the open editor."""
        self.wait_window(EDITOR, timeout=10)
        return {key: value[1] for key, value in self.texts(EDITOR).items()}

    def save_editor(self, caption, text=SAVED):
        self.click(507, EDITOR)
        self.assertEqual(self.message(), (caption, text))
        self.wait_gone(EDITOR, timeout=5)

    def test_app_rules_add_toggle_edit_and_delete_reach_the_file(self):
        self.open_console()
        self.page(1)
        self.click(214)
        fields = self.editor()
        self.assertEqual(fields["caption"], "Add App")
        self.assertNotIn("511", fields)  # no presets for programs
        self.assertNotIn("504", fields)  # no argument filter
        self.assertEqual((fields["505"], fields["506"], fields["507"]), ("totp", "300", "Add"))
        self.screenshot("editor_add_app_en-US", EDITOR, size=(460, 504))

        # Validation: the name first, then a file name or a path.
        self.w(EDITOR, "press", "507")
        self.assertEqual(self.texts(EDITOR)["509"], (True, "Display name required"))
        self.set_field(501, "Ledger")
        self.w(EDITOR, "press", "507")
        self.assertEqual(self.texts(EDITOR)["509"], (True, "Enter name or path"))
        self.screenshot("editor_validation_en-US", EDITOR)
        # A typed path fills the empty file name; the typed display name stays.
        self.set_field(503, r"C:\Apps\Ledger.exe")
        fields = self.editor()
        self.assertEqual((fields["501"], fields["502"]), ("Ledger", "Ledger.exe"))
        self.w(EDITOR, "pick", "505", "1")
        self.set_field(506, "120")
        self.save_editor("  App Rules")
        rules = self.rules()
        self.assertEqual(rules[2], {"type": "program", "display_name": "Ledger", "match_name": "Ledger.exe",
                                    "match_path": r"C:\Apps\Ledger.exe", "args_contains": "", "auth_mode": "push",
                                    "cache_window_seconds": 120, "enabled": True})
        self.assertEqual(self.rows(), [("Notepad", "push", "300 s", "✔ On"), ("Ledger", "push", "120 s", "✔ On")])

        # Toggle the second app rule (the third rule of the file).
        self.w(CONSOLE, "select", "213", "1")
        self.click(216)
        self.assertEqual(self.message(), ("  App Rules", SAVED))
        self.assertEqual([r["enabled"] for r in self.rules()], [True, True, False])
        self.assertEqual(self.rows()[1][3], "⏸ Pause")

        # A double click edits; a paused rule stays paused.
        self.assertEqual(self.w(CONSOLE, "dblclick", "213", "1")[0], 0)
        fields = self.editor()
        self.assertEqual((fields["caption"], fields["501"], fields["503"], fields["505"], fields["506"], fields["507"]),
                         ("Edit App", "Ledger", r"C:\Apps\Ledger.exe", "push", "120", "Save"))
        self.set_field(506, "60")
        self.save_editor("Sentrel")
        self.assertEqual((self.rules()[2]["cache_window_seconds"], self.rules()[2]["enabled"]), (60, False))

        # Delete asks first; No keeps the rule.
        self.w(CONSOLE, "select", "213", "0")
        self.click(215)
        self.assertEqual(self.message("no"), ("  App Rules", "Delete this rule?"))
        self.assertEqual(len(self.rules()), 3)
        self.click(215)
        self.message("yes")
        self.assertEqual(self.message(), ("Sentrel", SAVED))
        self.assertEqual([r["display_name"] for r in self.rules()], ["Command Prompt", "Ledger"])
        self.assertEqual([row[0] for row in self.rows()], ["Ledger"])

        # Nothing selected: the three row commands say so and change nothing.
        self.w(CONSOLE, "select", "213", "-1")
        for command in (215, 216, 218):
            self.click(command)
            self.assertEqual(self.message(), ("Sentrel", "Select a rule first"))
        self.assertEqual(len(self.rules()), 2)

    def test_command_rules_with_presets_and_cancel(self):
        self.open_console()
        self.page(2)
        self.click(214)
        fields = self.editor()
        self.assertEqual(fields["caption"], "Add Command")
        items = self.w(EDITOR, "items", "511")[1].splitlines()
        self.assertEqual(len(items), 13)
        self.assertEqual(items[0], "0\t1\t— Quick Select Presets —")
        self.assertEqual(items[4], "4\t0\tsc.exe (Service Control)")
        self.screenshot("editor_add_command_en-US", EDITOR, size=(460, 664))
        # A preset on an empty form names the rule after the program and sets no filter.
        self.w(EDITOR, "pick", "511", "2")
        fields = self.editor()
        self.assertEqual((fields["501"], fields["502"], fields["503"], fields["504"]),
                         ("powershell.exe", "powershell.exe",
                          r"C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe", ""))
        self.click(508, EDITOR)  # Cancel
        self.wait_gone(EDITOR, timeout=5)
        self.assertEqual(len(self.rules()), 2)

        self.click(214)
        self.editor()
        self.set_field(501, "Stopping services")
        self.w(EDITOR, "pick", "511", "4")
        fields = self.editor()
        self.assertEqual((fields["501"], fields["502"], fields["504"]), ("Stopping services", "sc.exe", "stop "))
        self.screenshot("editor_add_command_preset_en-US", EDITOR)
        self.save_editor("  App Rules")  # the confirmation of Add is captioned so on both rule pages
        added = self.rules()[2]
        self.assertEqual((added["type"], added["match_path"], added["args_contains"], added["auth_mode"]),
                         ("command", r"C:\Windows\System32\sc.exe", "stop ", "totp"))

        self.w(CONSOLE, "dblclick", "213", "1")
        fields = self.editor()
        self.assertEqual((fields["caption"], fields["504"]), ("Edit Command", "stop "))
        self.assertNotIn("511", fields)
        self.screenshot("editor_edit_command_en-US", EDITOR, size=(460, 568))
        self.w(EDITOR, "close")
        self.wait_gone(EDITOR, timeout=5)

    def test_browse_fills_the_path_the_file_name_and_the_display_name(self):
        self.install.write_file("LEDGER.EXE", "not a real program")
        self.install.write_file("SentrelSvc.json", self.settings("zh-CN"))
        self.open_console(gate_label="打开管理控制台")
        self.page(1)
        self.click(214)
        fields = self.editor()
        self.assertEqual(fields["caption"], "添加受保护程序")
        self.screenshot("editor_add_app_zh-CN", EDITOR, size=(460, 504))
        self.set_field(502, "old.exe")
        self.click(510, EDITOR)
        self.assertEqual(self.driver("filedialog", self.install.path_win("LEDGER.EXE"), "15000")[0], 0)
        self.assertTrue(self.wait_field(503, self.install.path_win("LEDGER.EXE")))
        fields = self.editor()
        self.assertEqual((fields["501"], fields["502"]), ("LEDGER", "LEDGER.EXE"))  # the file name is replaced
        # Browse fills the identity of the file: no version resource, so the hash alone.
        self.assertTrue(self.wait_field(513, hashlib.sha256(b"not a real program").hexdigest()))
        self.assertEqual(self.editor()["512"], "")
        # A program with a version resource gives its OriginalFilename too, whatever its name.
        shutil.copy(os.path.join(BIN, "protected_app.exe"), os.path.join(self.install.folder, "renamed.exe"))
        self.click(510, EDITOR)
        self.assertEqual(self.driver("filedialog", self.install.path_win("renamed.exe"), "15000")[0], 0)
        self.assertTrue(self.wait_field(512, "protected_app.exe"))
        with open(os.path.join(BIN, "protected_app.exe"), "rb") as f:
            self.assertEqual(self.editor()["513"], hashlib.sha256(f.read()).hexdigest())
        self.assertEqual(self.editor()["514"], "按哈希匹配的规则在程序更新后不再生效。")
        self.screenshot("editor_browse_identity_zh-CN", EDITOR, size=(460, 504))
        self.click(507, EDITOR)
        self.message()
        self.wait_gone(EDITOR, timeout=10)
        # The rule page marks a rule that names its program by identity.
        self.assertIn("[身份]", self.w(CONSOLE, "rows", "213")[1])
        saved = [r for r in self.rules() if r.get("match_original_name")]
        self.assertEqual([(r["match_name"], r["match_original_name"], len(r["match_sha256"])) for r in saved],
                         [("renamed.exe", "protected_app.exe", 64)])

        self.page(2)
        self.click(214)
        items = self.w(EDITOR, "items", "511")[1].splitlines()
        self.assertEqual((items[0], items[1], items[12]),
                         ("0\t1\t— 快速选择常用命令 —", "1\t0\tcmd.exe（命令提示符）", "12\t0\t自定义…"))
        self.w(EDITOR, "pick", "511", "1")
        self.assertEqual(self.editor()["501"], "cmd.exe")
        self.screenshot("editor_add_command_zh-CN", EDITOR, size=(460, 664))

    def wait_field(self, control, value):
        from harness import wait_until
        return wait_until(lambda: self.texts(EDITOR).get(str(control), (None, None))[1] == value, timeout=10, step=0.3)


class RuleFiles(ConsoleCase):
    """Rule and settings files the console must not claim to have changed."""

    def policy(self):
        return policy_json([rule_json("program", "Notepad", match_name="notepad.exe")])

    def add_rule(self, name):
        self.click(214)
        self.wait_window(EDITOR, timeout=10)
        self.set_field(501, name)
        self.set_field(502, name.lower() + ".exe")
        self.click(507, EDITOR)

    def test_a_file_that_cannot_be_replaced_changes_nothing_and_says_so(self):
        self.open_console()
        self.page(1)
        before = self.read("SentrelSvc.policy.json")
        holder = self.hold("SentrelSvc.policy.json")
        self.w(CONSOLE, "select", "213", "0")
        self.click(216)
        caption, text = self.message()
        self.assertEqual(caption, "Error")
        self.assertEqual(text, "The rule file could not be written; the rules were not changed.  "
                         + self.install.path_win("SentrelSvc.policy.json"))
        self.assertEqual(self.read("SentrelSvc.policy.json"), before)
        self.assertEqual(self.rows(), [("Notepad", "totp", "300 s", "✔ On")])
        self.add_rule("Ledger")
        self.assertEqual(self.message()[0], "Error")
        self.assertEqual(self.read("SentrelSvc.policy.json"), before)
        self.release(holder)

        # The settings file likewise: the page then shows what the file holds.
        self.hold("SentrelSvc.json")
        self.page(4)
        self.w(CONSOLE, "set", "304", "mallory")
        self.click(310)
        self.pass_gate("Edit")
        caption, text = self.message()
        self.assertEqual(caption, "Error")
        self.assertTrue(text.startswith("The settings file could not be written"), text)
        self.assertEqual(self.texts()["304"][1], "alice")
        self.assertIn('"mfa_username": "alice"', self.read("SentrelSvc.json"))

    def test_missing_empty_listless_oversized_and_changed_rule_files(self):
        self.open_console()
        self.page(1)
        # Missing: the first rule starts the file.
        self.install.write_file("SentrelSvc.policy.json", "")
        import os
        os.remove(self.path("SentrelSvc.policy.json"))
        self.add_rule("Ledger")
        self.assertEqual(self.message(), ("  App Rules", SAVED))
        self.assertEqual([(r["display_name"], r["enabled"]) for r in self.rules()], [("Ledger", True)])

        # Changed since the list was shown: nothing is written, the list is rebuilt.
        changed = policy_json([rule_json("program", "Other", match_name="other.exe"),
                               rule_json("program", "Ledger", match_name="ledger.exe")])
        self.install.write_file("SentrelSvc.policy.json", changed)
        self.w(CONSOLE, "select", "213", "0")
        self.click(215)
        self.message("yes")
        caption, text = self.message()
        self.assertEqual(caption, "Sentrel")
        self.assertTrue(text.startswith("The rule file was changed since the list was shown"), text)
        self.assertEqual(self.read("SentrelSvc.policy.json"), changed)
        self.assertEqual([row[0] for row in self.rows()], ["Other", "Ledger"])

        # No rule list in the file (empty, or other JSON): nothing is added.
        for text in ("", '{ "version": 2 }\n'):
            self.install.write_file("SentrelSvc.policy.json", text)
            self.page(1)
            self.add_rule("Mail")
            caption, message = self.message()
            self.assertEqual((caption, message[:32]), ("Error", "The rule file holds no rule list"), message)
            self.assertEqual(self.read("SentrelSvc.policy.json"), text)

        # Larger than the reader takes: refused before anything is written.
        big = policy_json([rule_json("program", "Notepad", match_name="notepad.exe")]) + " " * 70000
        self.install.write_file("SentrelSvc.policy.json", big)
        self.page(1)
        self.w(CONSOLE, "select", "213", "0")
        self.click(216)
        caption, message = self.message()
        self.assertEqual((caption, message[:42]), ("Error", "The rule file is larger than Sentrel reads"), message)
        self.assertEqual(self.read("SentrelSvc.policy.json"), big)
        self.add_rule("Mail")
        self.assertTrue(self.message()[1].startswith("The rule file is larger than Sentrel reads"))
        self.assertEqual(self.read("SentrelSvc.policy.json"), big)


if __name__ == "__main__":
    main()
