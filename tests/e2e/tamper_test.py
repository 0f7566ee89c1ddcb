"""Tamper protection of the running service: protected files are written back from the copy taken
at start, once per tampering, whoever changed them; other files are left alone. The tampering is
done through Wine's cmd.exe in the install folder, as an administrator would do it."""

import os
import re
import time

from harness import E2ETestCase, main, policy_json, rule_json, wait_until

CMD = r"C:\windows\system32\cmd.exe"
DETECT = "Detect unauthorized change/delete on: "


class TamperProtection(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.install.lay_out(policy=policy_json([rule_json("program", "Notepad", match_name="notepad.exe")]))
        self.original = {name: self.read(name) for name in os.listdir(self.install.folder)}
        code, out = self.install.create_service()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.install.sc("start", "SentrelSvc")[0], 0)
        # Running means watched: the files are watched before the pipe exists, and the pipe
        # before the service reports running.
        self.install.wait_service_running()

    def read(self, name):
        try:
            with open(os.path.join(self.install.folder, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def cmd(self, line):
        code, out, err = self.install.run(CMD, "/c", line)
        return code, out + err

    def detections(self, name=None):
        return [m for m in self.install.log_messages()
                if m.startswith(DETECT) and (name is None or m == DETECT + self.install.path_win(name))]

    def barrier(self):
        """One more tampering, awaited. The watcher takes changes in order, and within one batch
        looks at the files in protection order, runguard.exe last: once its deletion is repaired,
        every earlier change (and every echo of an earlier repair) has been looked at."""
        before = len(self.detections("runguard.exe"))
        self.cmd("del runguard.exe")
        self.assertTrue(wait_until(lambda: len(self.detections("runguard.exe")) == before + 1, timeout=10),
                        self.detections())
        self.assert_restored("runguard.exe")

    def flags(self, name):
        return self.cmd("attrib " + name)[1].split(":\\")[0]  # "A   H        C:\\...\\name"

    def assert_restored(self, name):
        restored = lambda: self.read(name) == self.original[name] and not re.search("[RHS]", self.flags(name))
        self.assertTrue(wait_until(restored, timeout=10), "%s: not written back with plain attributes (%r)"
                        % (name, self.flags(name)))

    def test_each_kind_of_tampering_is_undone_with_one_log_line(self):
        cases = [
            ("SentrelSvc.policy.json", "del SentrelSvc.policy.json"),
            ("SentrelSvc.json", 'echo {"api_key": "stolen"}> SentrelSvc.json'),
            ("runguard.exe", "copy /y SentrelSvc.json runguard.exe"),
            ("SentrelUI.exe", "attrib +r +h SentrelUI.exe"),
            ("SentrelSvc.exe", "move SentrelSvc.exe svc.old"),  # the running image can be renamed
        ]
        for name, line in cases:
            with self.subTest(name=name):
                self.cmd(line)
                self.assertTrue(wait_until(lambda: len(self.detections(name)) == 1, timeout=10), self.detections())
                self.assert_restored(name)
        self.barrier()  # the repairs' own changes must not count as tampering
        self.assertEqual(len(self.detections()), len(cases) + 1, self.detections())
        self.assertEqual(self.read("svc.old"), self.original["SentrelSvc.exe"])  # the renamed copy stays

    def test_other_files_and_subfolders_are_ignored(self):
        self.cmd("echo note> notes.txt & mkdir sub & echo {}> sub\\SentrelSvc.json & del sub\\SentrelSvc.json"
                 " & echo x> SentrelSvc.json.bak & del SentrelSvc.json.bak")
        self.barrier()
        self.assertEqual(self.detections(), self.detections("runguard.exe"))
        self.assertEqual(len(self.detections()), 1)
        self.assertEqual(self.read("notes.txt").strip(), b"note")

    def test_burst_of_tampering_ends_with_the_start_content_without_flooding(self):
        self.cmd("del SentrelSvc.policy.json & echo junk> SentrelSvc.policy.json & move SentrelSvc.policy.json p.old"
                 " & echo more> SentrelSvc.policy.json & attrib +r SentrelSvc.policy.json")
        self.assert_restored("SentrelSvc.policy.json")
        burst = len(self.detections())
        self.barrier()
        self.assertIn(burst, (1, 2, 3), self.detections())
        self.assertEqual(len(self.detections("SentrelSvc.policy.json")), burst, self.detections())
        self.assertEqual(len(self.detections()), burst + 1, self.detections())

    def test_stop_ends_the_watcher_and_protection_stays_off_afterwards(self):
        started = time.time()
        code, out, _ = self.install.run("SentrelSvc.exe", "stop")
        self.assertEqual((code, out.replace("\r\n", "\n")), (0, "服务已停止。\n"))
        self.assertLess(time.time() - started, 9)
        self.assertIn("service stopped", self.install.log_messages())
        # Once the service's process is gone nothing can put the file back.
        self.assertTrue(wait_until(lambda: not self.install.installed_processes(
            lambda cmdline: b"sentrelsvc.exe" in cmdline), timeout=20), "the stopped service's process did not end")
        self.cmd("del SentrelSvc.policy.json")
        self.assertIsNone(self.read("SentrelSvc.policy.json"))
        self.assertEqual(self.detections(), [])


if __name__ == "__main__":
    main()
