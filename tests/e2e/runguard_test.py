"""runguard under Wine: its command line, finding the executable, and what it does when the
service cannot be reached. Every case here runs without SentrelSvc.

Helpers for cases that need the service (an allowed command): run runguard from a Windows parent
to see its whole 32-bit exit code, and let arg_echo show what the command received:

    self.install.lay_out(executables=GUARD_FILES + ("SentrelSvc.exe",), policy=...)
    # ... start the service ...
    code, out, err = run_guarded(self.install, "run", "--", "arg_echo.exe", "a", "b c", "",
                                 exit_code=3000000000)
    cwd, argv = parse_arg_echo(out)
    # code == 3000000000, argv == ["a", "b c", ""], cwd == the folder runguard ran in, err == ""
"""

import re

from harness import INSTALL_WIN, E2ETestCase, main

USAGE = "Usage:\n  runguard run -- <exe> [args...]\n"
NO_SERVICE = "无法连接 SentrelSvc。请确认服务已启动（SentrelSvc.exe install）。\n"
TOO_LONG = "命令行过长，命令未执行（参数行最多 2047 个字符，整条命令行最多 3071 个字符）。\n"

# runguard with its two test programs: arg_echo (shows its current directory and arguments,
# exits with ARG_ECHO_EXIT_CODE) and report_exit (runs a command line, reports the whole exit code).
GUARD_FILES = ("runguard.exe", "arg_echo.exe", "report_exit.exe")


def unresolved(name):
    return "无法解析可执行文件: %s\n" % name


def run_reporting_exit(install, exe, *args, env=None, cwd=None, timeout=60):
    """Runs exe (a name in the install folder, or a full path) with args from report_exit, a
    Windows parent, so the exit code is seen whole rather than cut to 8 bits by Wine.
    Returns (exit code, stdout, stderr without report_exit's own line)."""
    code, out, err = install.run("report_exit.exe", exe, *args, env=env, cwd=cwd, timeout=timeout)
    report = re.search(r"exit code: (\d+)\n\Z", err)
    if code != 0 or not report:
        raise AssertionError("report_exit failed (%d): %r" % (code, err))
    return int(report.group(1)), out, err[:report.start()]


def run_guarded(install, *args, exit_code=None, env=None, cwd=None, timeout=60):
    """runguard.exe with args, from a Windows parent; returns (whole exit code, stdout, stderr).
    exit_code is what an arg_echo command will exit with."""
    extra = dict(env or {})
    if exit_code is not None:
        extra["ARG_ECHO_EXIT_CODE"] = str(exit_code)
    return run_reporting_exit(install, "runguard.exe", *args, env=extra, cwd=cwd, timeout=timeout)


def parse_arg_echo(out):
    """arg_echo's output -> (current directory, [arguments after its name])."""
    lines = out.split("\n")
    if not lines or not lines[0].startswith("cwd: ") or lines[-1] != "":
        raise AssertionError("not arg_echo output: %r" % out)
    args = []
    for line in lines[1:-1]:
        if not (line.startswith("[") and line.endswith("]")):
            raise AssertionError("not an arg_echo argument line: %r" % line)
        args.append(line[1:-1])
    return lines[0][len("cwd: "):], args


class RunguardCase(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.install.lay_out(executables=GUARD_FILES)

    def assert_outcome(self, args, code, err, cwd=None):
        got_code, out, got_err = self.install.run("runguard.exe", *args, cwd=cwd)
        self.assertEqual((got_code, got_err), (code, err), args)
        self.assertEqual(out, "", args)  # runguard prints nothing on stdout, and no command ran


class Usage(RunguardCase):
    def test_fewer_than_three_arguments_is_a_usage_error(self):
        for args in ((), ("run",), ("run", "--"), ("run", "arg_echo.exe"), ("--", "arg_echo.exe")):
            self.assert_outcome(args, 1, USAGE)

    def test_first_argument_must_be_run(self):
        for args in (("start", "--", "arg_echo.exe"), ("runs", "--", "arg_echo.exe"),
                     ("--", "--", "arg_echo.exe"), ("arg_echo.exe", "run", "--", "arg_echo.exe")):
            self.assert_outcome(args, 1, USAGE)

    def test_no_separator_or_nothing_after_it_is_a_usage_error(self):
        for args in (("run", "arg_echo.exe", "x"), ("run", "x", "y", "--"), ("run", "-", "arg_echo.exe"),
                     ("run", "---", "arg_echo.exe", "a")):
            self.assert_outcome(args, 1, USAGE)


class Resolution(RunguardCase):
    def test_unresolvable_executable_exits_2_naming_it_unchanged(self):
        for name in ("no_such_tool", "no_such_tool.exe", "工具不存在", "missing dir\\tool.exe", ".\\absent"):
            self.assert_outcome(("run", "--", name, "arg"), 2, unresolved(name))

    def test_run_in_any_case_and_ignored_arguments_before_the_separator(self):
        self.assert_outcome(("RUN", "--", "no_such_tool"), 2, unresolved("no_such_tool"))
        self.assert_outcome(("Run", "-v", "x", "--", "no_such_tool", "--"), 2, unresolved("no_such_tool"))
        # Only the first `--` separates: a second one names the executable.
        self.assert_outcome(("run", "--", "--", "arg_echo.exe"), 2, unresolved("--"))


class NoService(RunguardCase):
    """Whatever way the executable is named, once it is found runguard asks the service; with
    nothing listening it exits with 3 at once and the command never starts."""

    def test_found_executable_without_service_exits_3(self):
        for exe in ("arg_echo.exe", ".\\arg_echo.exe", "arg_echo", INSTALL_WIN + "\\arg_echo.exe", "cmd",
                    "C:\\windows"):
            self.assert_outcome(("run", "--", exe, "a", "b c", ""), 3, NO_SERVICE)

    def test_relative_name_from_another_folder(self):
        parent = self.install.folder.rsplit("/", 1)[0]
        self.assert_outcome(("run", "--", "Sentrel\\arg_echo.exe"), 3, NO_SERVICE, cwd=parent)
        # Not in the current directory, but the default search order also looks beside runguard.
        self.assert_outcome(("run", "--", "arg_echo.exe"), 3, NO_SERVICE, cwd=parent)
        self.assert_outcome(("run", "--", "Sentrel\\no_such_tool.exe"), 2, unresolved("Sentrel\\no_such_tool.exe"),
                            cwd=parent)


class TooLongCommand(RunguardCase):
    """An argument line that does not fit 2047 units is refused before the service is asked
    (exit 1, not 3): a line cut to fit would be a different command."""

    def test_longest_argument_line_still_reaches_the_service_stage(self):
        for args in (("x" * 2047,), ("a" * 1000, "b" * 1046), (" " * 2045,), ("a",) * 1024):
            self.assert_outcome(("run", "--", "arg_echo.exe") + args, 3, NO_SERVICE)

    def test_one_unit_more_is_refused(self):
        # Each fitting case above plus one unit: in an argument, in a quoted one, one more separator.
        for args in (("x" * 2048,), ("a" * 1000, "b" * 1047), (" " * 2046,), ("a",) * 1025):
            self.assert_outcome(("run", "--", "arg_echo.exe") + args, 1, TOO_LONG)


class TestPrograms(RunguardCase):
    """The helpers the service-backed cases rely on must themselves be right."""

    ARGS = ["plain", "two words", "", "tab\there", 'say "hi"', "C:\\dir with space\\", "a\\\\\"b",
            "中文 参数", "--", "%PATH%"]

    def test_arg_echo_shows_arguments_and_directory_and_exits_with_the_whole_code(self):
        for exit_code in (0, 7, 258, 3000000000, 4294967295):
            code, out, err = run_reporting_exit(self.install, "arg_echo.exe", *self.ARGS,
                                                env={"ARG_ECHO_EXIT_CODE": str(exit_code)})
            self.assertEqual((code, err), (exit_code, ""))
            cwd, args = parse_arg_echo(out)
            self.assertEqual(args, self.ARGS)
            self.assertEqual(cwd.lower(), INSTALL_WIN.lower())

    def test_arg_echo_rejects_a_malformed_exit_code(self):
        for value in ("x", "4294967296", "-1", "12a"):
            code, _, err = run_reporting_exit(self.install, "arg_echo.exe", env={"ARG_ECHO_EXIT_CODE": value})
            self.assertEqual((code, err), (1, "arg_echo: ARG_ECHO_EXIT_CODE is not an exit code\n"), value)

    def test_run_guarded_sees_runguards_own_codes_and_messages(self):
        self.assertEqual(run_guarded(self.install, "run", "--", "arg_echo.exe", "x", exit_code=300),
                         (3, "", NO_SERVICE))
        self.assertEqual(run_guarded(self.install), (1, "", USAGE))


if __name__ == "__main__":
    main()
