"""SentrelSvc's command line, console run and service-mode lifecycle under Wine."""

import os
import shutil

from harness import LOG_WIN, E2ETestCase, main, policy_json, rule_json, wait_until, win_to_unix

USAGE = "用法: SentrelSvc.exe [install|uninstall|run]\n"


class CommandLine(E2ETestCase):
    def test_no_argument_or_unknown_prints_usage_and_fails(self):
        self.install.lay_out()
        for args in ((), ("status",)):
            code, out, _ = self.install.run("SentrelSvc.exe", *args)
            self.assertEqual(code, 1)
            self.assertEqual(out.replace("\r\n", "\n"), USAGE)


class ConsoleRun(E2ETestCase):
    def test_run_logs_rule_count_and_second_run_is_refused(self):
        rules = [rule_json("program", "Notepad", match_name="notepad.exe"),
                 rule_json("command", "Tool", match_name="tool.exe"),
                 rule_json("service", "dropped"),
                 rule_json("command", "Git push", match_name="git.exe", args_contains="push")]
        self.install.lay_out(policy=policy_json(rules))
        first = self.install.start_console_service()
        self.assertIn("service started, rules=3", self.install.log_messages())

        code, out, _ = self.install.run("SentrelSvc.exe", "RUN")
        self.assertEqual(code, 0)
        self.assertEqual(out.replace("\r\n", "\n"), "服务已在运行。\n")
        self.assertEqual(self.install.log_messages().count("service started, rules=3"), 1)
        self.assertIsNone(first.poll())

    def test_missing_policy_runs_with_no_rules(self):
        self.install.lay_out(policy=None)
        self.install.start_console_service()
        line = self.install.read_log().split("\r\r\n")[0].lstrip("\ufeff")
        self.assertRegex(line, r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] service started, rules=0$")


def read_available(stream):
    """What a running process has written so far, without waiting for the end of its output."""
    os.set_blocking(stream.fileno(), False)
    try:
        return (stream.read() or b"").decode("utf-8", "replace")
    except BlockingIOError:
        return ""


class LogFolder(E2ETestCase):
    def test_log_folder_that_is_a_link_is_named_once_and_nothing_is_written_through_it(self):
        self.install.lay_out(policy=policy_json([]), executables=("SentrelSvc.exe", "pipe_probe.exe"))
        target = win_to_unix(r"C:\SentrelElsewhere")
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        self.addCleanup(shutil.rmtree, target, True)
        logs = os.path.dirname(self.install.log_path())
        os.symlink(target, logs)  # Wine reports a symbolic link to a folder as a reparse point

        service = self.install.start_console_service()
        for _ in range(2):  # each logs an event before it answers
            code, out, _ = self.install.run("pipe_probe.exe", "clear")
            self.assertEqual((code, out.strip()), (0, "allowed=1 reason=缓存已清空"))
        self.assertEqual(read_available(service.stdout).replace("\r\n", "\n"),
                         "日志文件夹不可用，事件未写入日志: %s（是重解析点（链接或挂载点））\n" % LOG_WIN.rsplit("\\", 1)[0])
        self.assertEqual(os.listdir(target), [])
        self.assertIsNone(service.poll())


class ServiceMode(E2ETestCase):
    def state(self):
        return self.install.service_state()

    def test_start_and_stop_through_the_service_control_manager(self):
        self.install.lay_out(policy=policy_json([rule_json("program", "Notepad", match_name="notepad.exe")]),
                             executables=("SentrelSvc.exe", "pipe_probe.exe"))
        code, out = self.install.create_service()
        self.assertEqual(code, 0, out)
        code, out = self.install.sc("start", "SentrelSvc")
        self.assertEqual(code, 0, out)
        self.assertTrue(wait_until(lambda: "RUNNING" in self.state()), self.state())
        # Running means serving: the pipe exists before the service reports running.
        code, out, _ = self.install.run("pipe_probe.exe", "clear")
        self.assertEqual((code, out.strip()), (0, "allowed=1 reason=缓存已清空"))
        self.assertIn("service started, rules=1", self.install.log_messages())

        code, out = self.install.sc("stop", "SentrelSvc")
        self.assertEqual(code, 0, out)
        self.assertTrue(wait_until(lambda: "STOPPED" in self.state(), timeout=10), self.state())
        messages = self.install.log_messages()  # the stop line comes before the stopped report
        self.assertLess(messages.index("service started, rules=1"), messages.index("service stopped"))


if __name__ == "__main__":
    main()
