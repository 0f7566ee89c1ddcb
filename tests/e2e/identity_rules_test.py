"""Rules that recognise a program by what its file is (the version resource's OriginalFilename,
the SHA-256 of its content) rather than its name, for programs the watcher stops and for commands
runguard runs; and the relaunch that keeps the stopped program's arguments and current folder.
tools/protected_app carries a version resource with OriginalFilename "protected_app.exe"."""

import hashlib
import os
import shutil

import process_watcher_test as watcher
from harness import BIN, main, policy_json, rule_json, settings_json, wait_until
from mfa_fixture import API_KEY

APP = watcher.APP


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class IdentityRules(watcher.WatcherCase):
    def lay_out_copies(self, rules, copies):
        """The usual layout, plus copies: installed name -> built program."""
        self.lay_out(rules)
        for name, built in copies.items():
            shutil.copy(os.path.join(BIN, built), os.path.join(self.install.folder, name))

    def test_a_renamed_copy_is_known_by_its_original_file_name(self):
        self.lay_out_copies([rule_json("program", "By version", match_original_name="PROTECTED_APP.EXE")],
                            {"notes.exe": APP, "arg_echo.exe": "arg_echo.exe"})
        self.host_script("approve")
        self.start_service()

        notes_win = self.install.path_win("notes.exe")
        self.assert_stopped(self.start_app("first", name="notes.exe"))
        self.assertTrue(self.install.wait_for_log("program relaunch ok: " + notes_win), self.program_lines())
        self.assertEqual([r["target"] for r in self.host_requests()], [notes_win])
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1))
        self.assertEqual(self.relaunched()[0]["image"], notes_win)
        # A program without that version resource is not touched.
        self.assertEqual(watcher.reported_exit(self.start_app("x", name="arg_echo.exe")), "exit code: 0")
        self.assertEqual(len(self.host_requests()), 1)

    def test_a_hash_rule_catches_any_copy_and_no_other_file_of_the_same_name(self):
        built_app = os.path.join(BIN, APP)
        # The rule's digits in capitals: either case is the same hash.
        self.lay_out_copies([rule_json("program", "By hash", match_sha256=sha256_of(built_app).upper())],
                            {"ledger.exe": APP})
        other = os.path.join(self.install.folder, "other")
        os.makedirs(other)
        shutil.copy(os.path.join(BIN, "arg_echo.exe"), os.path.join(other, APP))  # same name, other content
        self.host_script("deny 不行")
        self.start_service()

        self.assertEqual(watcher.reported_exit(self.start_app("same name", folder_win=self.install.folder_win +
                                                              "\\other")), "exit code: 0")
        self.assertEqual(self.host_requests(), [])
        ledger_win = self.install.path_win("ledger.exe")
        self.assert_stopped(self.start_app("renamed", name="ledger.exe"))
        self.assertTrue(self.install.wait_for_log("program denied: %s reason=不行" % ledger_win),
                        self.program_lines())
        self.assertEqual([r["target"] for r in self.host_requests()], [ledger_win])

    def test_the_relaunch_keeps_the_arguments_and_the_current_folder(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP)])
        folder = os.path.join(self.install.folder, "work dir")
        os.makedirs(folder)
        self.host_script("approve")
        self.start_service()

        args = ("my report.txt", 'say "hi" twice', "", "plain")
        self.assert_stopped(self.start_app(*args, cwd=folder))
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1), self.program_lines())
        again = self.relaunched()[0]
        self.assertEqual(again["image"], self.app_win)
        self.assertEqual(again["args"], list(args))
        self.assertEqual(again["cwd"].rstrip("\\").lower(), (self.install.folder_win + "\\work dir").lower())
        # What could be read is not reported lost.
        self.assertFalse([m for m in self.program_lines() if " not read" in m], self.program_lines())
        detail = self.host_requests()[0]["detail"]
        self.assertTrue(detail.startswith('"%s" ' % self.app_win), detail)


class CommandIdentity(watcher.WatcherCase):
    def test_a_command_rule_by_hash_gates_a_renamed_copy_through_runguard(self):
        echo = os.path.join(BIN, "arg_echo.exe")
        settings = settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                 mfa_username="alice")
        self.install.lay_out(settings=settings,
                             policy=policy_json([rule_json("command", "Echo by hash", match_sha256=sha256_of(echo))]),
                             executables=("SentrelSvc.exe", "runguard.exe", "SentrelUI.exe", "arg_echo.exe",
                                          "renamed_tool.exe", "report_exit.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe", "renamed_tool.exe": "arg_echo.exe"})
        self.host_script("deny 不行", "approve")
        self.start_service()

        code, out, err = self.install.run("runguard.exe", "run", "--", "renamed_tool.exe", "a b", timeout=60)
        self.assertEqual((code, out, err.replace("\r\n", "\n")), (4, "", "命令被拒绝: 不行\n"))
        code, out, _ = self.install.run("runguard.exe", "run", "--", "renamed_tool.exe", "a b", timeout=60)
        self.assertEqual(code, 0)
        self.assertIn("[a b]", out)
        tool_win = self.install.path_win("renamed_tool.exe")
        self.assertEqual([r["target"] for r in self.host_requests()], [tool_win, tool_win])
        # Another program runs without a dialog.
        code, _, _ = self.install.run("runguard.exe", "run", "--", "report_exit.exe", "arg_echo.exe", timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual(len(self.host_requests()), 2)


if __name__ == "__main__":
    main()
