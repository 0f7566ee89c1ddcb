"""Protected programs end to end: SentrelSvc's process watcher stops them, asks the (scripted) dialog
host installed as SentrelUI.exe, and on approval starts them again. The protected program is
tools/protected_app, which records every start in protected_app_starts.txt beside itself."""

import json
import os
import shutil
import time

import subprocess

from harness import (E2ETestCase, main, observe_for, policy_json, rule_json, run_wine, settings_json, wait_until,
                     wine_env, win_to_unix)
from mfa_fixture import API_KEY, MfaServerCase

APP = "protected_app.exe"
STOPPED = 5  # the exit code the watcher gives a stopped program
STORE_WIN = r"C:\Program Files\WindowsApps\Sentrel.TestApp_1.0_x64__test"


ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"


def reg(*args):
    code, out, _ = run_wine(["wine", "reg"] + list(args))
    return code, out.decode("utf-8", "replace")


def set_user_variable(name, value):
    """A variable of the user's own environment (HKCU\Environment); None removes it."""
    if value is None:
        reg("delete", r"HKCU\Environment", "/v", name, "/f")
    else:
        assert reg("add", r"HKCU\Environment", "/v", name, "/d", value, "/f")[0] == 0


def system_path():
    """The machine's PATH variable: (type, value)."""
    code, out = reg("query", ENVIRONMENT_KEY, "/v", "PATH")
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0].upper() == "PATH":
            return parts[1], parts[2]
    raise AssertionError("no system PATH: " + out)


def add_to_system_path(folder):
    kind, value = system_path()
    restore_system_path((kind, value + ";" + folder))


def restore_system_path(path):
    assert reg("add", ENVIRONMENT_KEY, "/v", "PATH", "/t", path[0], "/d", path[1], "/f")[0] == 0


def reported_exit(process, timeout=10):
    """The exit code line of a report_exit parent."""
    process.wait(timeout)
    lines = process.stderr.read().decode("utf-8", "replace").strip().splitlines()
    return lines[-1] if lines else ""


class WatcherCase(MfaServerCase):
    """What the watcher's end-to-end tests share: the install, the host script, the starts. The
    scripted host answers with a code the test MFA server accepts (the service checks it)."""

    def setUp(self):
        super().setUp()
        self.started_pids = set()

    def lay_out(self, rules, host=True, app=True):
        executables = ("SentrelSvc.exe", "free_app.exe", "report_exit.exe") + ((APP,) if app else ()) + (("SentrelUI.exe",) if host else ())
        settings = settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                 mfa_username="alice")
        self.install.lay_out(settings=settings, policy=policy_json(rules), executables=executables,
                             replace={"SentrelUI.exe": "test_dialog_host.exe", "free_app.exe": APP})
        self.app_win = self.install.path_win(APP)

    def start_service(self, env=None):
        self.install.start_console_service(env=env)

    def host_script(self, *actions):
        # "approve" stands for a person typing alice's current code.
        code = "code " + self.server.control("GET", "totp/alice")["code"]
        actions = [a.replace("approve", code) for a in actions]
        with open(os.path.join(self.install.folder, "test_dialog_script.txt"), "w", encoding="utf-8") as f:
            f.write("\n".join(actions) + "\n")

    def host_requests(self):
        return self.read_json_lines(os.path.join(self.install.folder, "test_dialog_requests.txt"))

    def starts(self, folder=None):
        return self.read_json_lines(os.path.join(folder or self.install.folder, "protected_app_starts.txt"))

    @staticmethod
    def read_json_lines(path):
        try:
            with open(path, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def start_app(self, *args, name=APP, folder_win=None, cwd="/tmp", env=None):
        """Starts the program from a Windows parent, which reports its whole exit code (and the
        started program's id: every other start of it with these arguments is a relaunch)."""
        exe = (folder_win or self.install.folder_win) + "\\" + name
        for attempt in (1, 2):
            process = self.install.start("report_exit.exe", exe, *args, cwd=cwd, env=dict(env or {}, REPORT_EXIT_PID="1"))
            line = process.stderr.readline().decode("utf-8", "replace")
            if line.startswith("started pid: "):
                break
            process.wait(10)
            if attempt == 2 or self.install.start_reached(process, "report_exit.exe"):
                raise AssertionError("report_exit did not start %s (exit code %s): %r" % (
                    exe, process.returncode, line + process.stderr.read().decode("utf-8", "replace")))
        self.started_pids.add(int(line.split(":")[1]))
        # Started means recorded, or already ended: the watcher may stop a protected program
        # before its first line has run (then the parent reports the exit code).
        folder = win_to_unix(folder_win) if folder_win else None
        self.assertTrue(wait_until(lambda: process.poll() is not None or
                                   any(s["args"] == list(args) for s in self.starts(folder))),
                        "the program did not start")
        return process

    def assert_stopped(self, process, timeout=10):
        self.assertEqual(reported_exit(process, timeout), "exit code: %d" % STOPPED)

    def assert_running(self, *processes):
        for process in processes:
            self.assertIsNone(process.poll())

    def program_lines(self):
        return [m for m in self.install.log_messages() if m.startswith("program ") or m.startswith("relaunch")]

    def relaunched(self, folder=None):
        """Starts of processes the tests did not start themselves: the relaunches."""
        return [s for s in self.starts(folder) if s["pid"] not in self.started_pids]

    def installed_apps(self):
        """Running copies of the program (not the report_exit parents naming it)."""
        path = self.app_win.lower().encode()
        return self.install.installed_processes(lambda cmdline: cmdline.startswith(path))


class ProcessWatcher(WatcherCase):
    def test_program_is_stopped_asked_for_and_relaunched_then_a_second_start_runs_within_the_window(self):
        self.lay_out([rule_json("program", "Other", match_name="other.exe"),
                      rule_json("program", "Protected app", match_name="PROTECTED_APP.EXE", auth_mode="totp",
                                cache_window_seconds=300)])
        self.host_script("approve", "deny unexpected second dialog")
        self.start_service()

        first = self.start_app("first")
        self.assert_stopped(first)
        self.assertTrue(self.install.wait_for_log("program relaunch ok: " + self.app_win), self.program_lines())
        request = self.host_requests()[0]
        # The detail line is the command line the relaunch runs: the approved file and the arguments.
        self.assertEqual((request["mode"] & 0xFFFF, request["title"], request["target"], request["detail"]),
                         (1, "Protected app", self.app_win, '"%s" first' % self.app_win))
        # The new process runs with the first start's arguments, in its current folder.
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1))
        again = self.relaunched()[0]
        self.assertEqual((again["image"], again["args"], again["cwd"].rstrip("\\").lower()),
                         (self.app_win, ["first"], "z:\\tmp"))
        self.assertEqual(self.program_lines(), [
            "relaunch: exe=%s session=1" % self.app_win,
            "relaunch ok pid=%d session=1" % again["pid"],
            "program relaunch ok: " + self.app_win])

        # Within the window: the relaunched process and a new start are both left running.
        second = self.start_app("second")
        observe_for(2.5, "a pass stops the second start although the approval holds")
        self.assert_running(second)
        self.assertEqual(len(self.installed_apps()), 2)
        self.assertEqual(len(self.host_requests()), 1)

    def test_program_running_before_the_service_is_stopped_and_a_denial_leaves_it_stopped(self):
        self.lay_out([rule_json("program", "Protected app", match_path=self.install.path_win(APP))])
        self.host_script("deny 请求在手机上被拒绝")
        early = self.start_app("early")
        self.start_service()

        self.assert_stopped(early)
        self.assertTrue(self.install.wait_for_log("program denied: %s reason=请求在手机上被拒绝" % self.app_win))
        observe_for(2, "the denied program is started again")
        self.assertEqual(self.relaunched(), [])
        self.assertEqual(self.installed_apps(), [])
        self.assertEqual(self.program_lines(), ["program denied: %s reason=请求在手机上被拒绝" % self.app_win])

    def test_unreachable_dialog_host_denies(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP)], host=False)
        self.start_service()
        self.assert_stopped(self.start_app("x"))
        self.assertTrue(self.install.wait_for_log(
            "program denied: %s reason=无法连接认证界面，默认拒绝" % self.app_win), self.program_lines())
        self.assertEqual(self.relaunched(), [])

    def test_a_start_held_by_its_job_or_desktop_is_stopped_and_never_relaunched_outside_them(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP)])
        self.host_script("approve")
        self.start_service()
        # A job that lets no process leave it, and a desktop other than the session's default: the
        # relaunch would start the program outside both, so it is not asked for.
        self.assert_stopped(self.start_app("in-job", env={"REPORT_EXIT_JOB": "1"}))
        self.assert_stopped(self.start_app("hidden", env={"REPORT_EXIT_DESKTOP": r"WinSta0\Hidden"}))
        # A plain start after them is asked for and relaunched as usual.
        self.assert_stopped(self.start_app("plain"))
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1),
                        "waited for the plain start's relaunch: %s %s" % (self.program_lines(), self.host_requests()))
        self.assertEqual([s["args"] for s in self.relaunched()], [["plain"]])
        self.assertEqual(len(self.host_requests()), 1)
        lines = self.program_lines()
        for reason in ("started in a job that keeps its processes", "started on another desktop"):
            self.assertIn("program relaunch refused: %s reason=%s" % (self.app_win, reason), lines)

    def test_window_of_zero_keeps_the_relaunched_process_and_stops_a_start_after_five_seconds(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP, cache_window_seconds=0)])
        self.host_script("approve", "deny 第二次")
        self.start_service()

        self.assert_stopped(self.start_app("first"))
        self.assertTrue(self.install.wait_for_log("program relaunch ok: " + self.app_win))
        approved_at = time.time()
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1))
        observe_for(2.5, "the next passes stop the relaunched process despite the approval")
        self.assertEqual(len(self.installed_apps()), 1)

        time.sleep(max(0.0, approved_at + 6 - time.time()))  # the 5 s approval runs out
        late = self.start_app("late")
        self.assert_stopped(late)
        self.assertTrue(self.install.wait_for_log("program denied: %s reason=第二次" % self.app_win))
        self.assertEqual(len(self.host_requests()), 2)
        self.assertEqual(len(self.installed_apps()), 1)  # the relaunched one still runs

    def test_args_condition_and_unprotected_programs_are_never_touched(self):
        self.lay_out([rule_json("program", "Only with args", match_name=APP, args_contains="first"),
                      rule_json("program", "Other", match_path=r"C:\Other\free_app.exe")])
        self.host_script("approve")
        self.start_service()
        protected_with_args = self.start_app("first")
        free = self.start_app("free", name="free_app.exe")
        observe_for(3, "a pass stops a program that no rule protects")
        self.assert_running(protected_with_args, free)
        self.assertEqual(self.host_requests(), [])
        self.assertEqual(self.program_lines(), [])

    def release_round(self):
        """Ends the round a "hold release.txt ..." host action is holding open."""
        self.install.write_file("release.txt", "")

    def requests_with(self, count):
        self.assertTrue(wait_until(lambda: len(self.host_requests()) >= count),
                        "waited for dialog request %d: %s" % (count, self.host_requests()))
        return self.host_requests()

    def test_programs_started_while_a_dialog_is_open_are_stopped_at_once_and_relaunched_once(self):
        other_win = self.install.path_win("free_app.exe")
        self.lay_out([rule_json("program", "Protected app", match_name=APP, cache_window_seconds=120),
                      rule_json("program", "Other app", match_name="free_app.exe")])
        self.host_script("hold release.txt approve", "deny other app")
        self.start_service()

        self.assert_stopped(self.start_app("first"))
        self.requests_with(1)
        # The dialog stays open until the test releases it; the watcher goes on stopping.
        burst = [self.start_app("burst%d" % i) for i in range(3)]
        for process in burst:
            self.assert_stopped(process)
        self.assertEqual(len(self.host_requests()), 1)
        self.assertEqual(self.program_lines(), [])  # the round is still open

        self.release_round()
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1), "waited for the relaunch")
        # Another protected program queues behind whatever the burst left: its dialog comes next.
        self.assert_stopped(self.start_app("other", name="free_app.exe"))
        requests = self.requests_with(2)
        self.assertEqual([r["target"] for r in requests], [self.app_win, other_win])
        self.assertEqual(len(self.relaunched()), 1)  # one relaunch for the first start and its burst
        self.assertEqual(sum(1 for m in self.program_lines() if m.startswith("relaunch ok")), 1)

    def test_a_burst_during_a_denial_is_asked_for_once_more(self):
        other_win = self.install.path_win("free_app.exe")
        self.lay_out([rule_json("program", "Protected app", match_name=APP),
                      rule_json("program", "Other app", match_name="free_app.exe")])
        self.host_script("hold release.txt deny 不行", "deny 再次不行", "deny other app")
        self.start_service()

        self.assert_stopped(self.start_app("first"))
        self.requests_with(1)
        for process in [self.start_app("burst%d" % i) for i in range(3)]:
            self.assert_stopped(process)
        self.release_round()
        self.requests_with(2)
        self.assert_stopped(self.start_app("other", name="free_app.exe"))
        requests = self.requests_with(3)
        self.assertEqual([r["target"] for r in requests], [self.app_win, self.app_win, other_win])
        self.assertTrue(wait_until(lambda: "program denied: %s reason=再次不行" % self.app_win in self.program_lines()))
        self.assertEqual(self.relaunched(), [])

    def test_relaunched_program_gets_the_users_environment_not_the_services(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP)])
        self.host_script("approve")
        set_user_variable("SENTREL_TEST_USER", "from the user's profile")
        self.addCleanup(set_user_variable, "SENTREL_TEST_USER", None)
        self.start_service(env={"SENTREL_TEST_SERVICE": "the service's own"})

        self.assert_stopped(self.start_app("first"))
        self.assertTrue(wait_until(lambda: len(self.relaunched()) == 1), "waited for the relaunch")
        self.assertEqual(self.relaunched()[0]["env"], {"SENTREL_TEST_USER": "from the user's profile"})

    def test_store_application_is_relaunched_by_file_name(self):
        # No copy in the service's folder: the bare name is found only along the search path.
        self.lay_out([rule_json("program", "Store app", match_name=APP)], app=False)
        store = win_to_unix(STORE_WIN)
        self.install.other_folders.append(STORE_WIN)  # the relaunched copy is ended with the test
        shutil.rmtree(os.path.dirname(store), ignore_errors=True)
        self.addCleanup(shutil.rmtree, os.path.dirname(store), True)
        os.makedirs(store)
        shutil.copy(os.path.join(self.install.folder, "free_app.exe"), os.path.join(store, APP))
        store_app = STORE_WIN + "\\" + APP
        self.host_script("approve")
        # Found along the user's Path (from the user's environment, not the service's).
        self.addCleanup(restore_system_path, system_path())
        add_to_system_path(STORE_WIN)
        self.start_service()

        first = self.start_app("first", folder_win=STORE_WIN)
        self.assert_stopped(first)
        self.assertTrue(self.install.wait_for_log("program relaunch ok: " + store_app), self.program_lines())
        lines = self.program_lines()
        # Started by name: CreateProcessAsUserW looks in the service's folder only; the search the
        # shell makes along the user's Path finds it.
        self.assertEqual(lines[0], "relaunch: exe=%s session=1" % APP)
        self.assertEqual(lines[1], "relaunch CreateProcessAsUserW failed: 2, trying ShellExec")
        self.assertEqual(lines[2:], ["relaunch ShellExec ok", "program relaunch ok: " + store_app])
        self.assertTrue(wait_until(lambda: len(self.relaunched(store)) == 1))
        self.assertEqual(self.relaunched(store)[0]["image"], store_app)
        observe_for(2.5, "the relaunched store app is stopped or started once more")
        self.assertEqual(len(self.relaunched(store)), 1)
        self.assertEqual(len(self.host_requests()), 1)

    def test_a_protected_program_at_a_path_of_1200_units_is_stopped_and_refused(self):
        # Win32's CreateProcessW under Wine refuses so long a path (error 2); Wine's loader, started
        # from Linux in the program's folder, creates the process without that limit, so the
        # service meets a process whose image path is about 1,200 units long.
        self.lay_out([rule_json("program", "Protected app", match_name=APP)])
        self.host_script("deny unexpected dialog")
        folder, folder_win = self.install.folder, self.install.folder_win
        while len(folder_win) < 1200 - len(APP) - 100:
            folder, folder_win = os.path.join(folder, "d" * 95), folder_win + "\\" + "d" * 95
        os.makedirs(folder)
        shutil.copy(os.path.join(self.install.folder, APP), folder)
        image_win = folder_win + "\\" + APP
        self.assertGreater(len(image_win), 1100)
        self.start_service()

        app = subprocess.Popen(["wine", "./" + APP], cwd=folder, env=wine_env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.install.processes.append(app)
        self.assertTrue(self.install.wait_for_log(
            "program denied: ...\\%s reason=程序路径过长，默认拒绝 length=%d" % (APP, len(image_win))),
            self.program_lines())
        app.wait(10)  # stopped (the exit code seen through Wine's loader is not the program's)
        self.assertEqual(self.host_requests(), [])

    def test_a_file_swapped_during_the_round_is_neither_approved_nor_started(self):
        self.lay_out([rule_json("program", "Protected app", match_name=APP, cache_window_seconds=300)])
        self.host_script("hold release.txt approve", "deny second dialog")
        self.start_service()
        self.assert_stopped(self.start_app("first"))
        self.requests_with(1)
        # From Windows the pinned file can be neither deleted nor replaced while the dialog is open.
        run_wine(["wine", "cmd", "/c", "del", "/f", self.app_win])
        self.assertTrue(os.path.exists(os.path.join(self.install.folder, APP)))
        # Beneath Windows' sharing (from Linux) the path is made to name another file.
        app = os.path.join(self.install.folder, APP)
        os.rename(app, app + ".old")
        shutil.copy(os.path.join(self.install.folder, "free_app.exe"), app)
        self.release_round()
        self.assertTrue(self.install.wait_for_log("program relaunch failed: " + self.app_win), self.program_lines())
        self.assertIn("relaunch: file changed during the round: " + self.app_win, self.program_lines())
        self.assertEqual(self.relaunched(), [])
        # Nothing was approved: the next start of what the path holds now is asked for.
        self.assert_stopped(self.start_app("second"))
        self.requests_with(2)

    def test_a_round_that_is_never_answered_holds_up_no_command_for_ever(self):
        # Wine has one session: that other sessions go on is shown by the unit tests; here the
        # same session's command is refused after its bounded wait, and another copy of the
        # program is stopped at once meanwhile.
        self.install.lay_out(policy=policy_json([rule_json("program", "Protected app", match_name=APP),
                                                 rule_json("command", "Echo", match_name="arg_echo.exe")]),
                             executables=("SentrelSvc.exe", "SentrelUI.exe", APP, "report_exit.exe", "runguard.exe",
                                          "arg_echo.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        self.app_win = self.install.path_win(APP)
        self.host_script("never")
        self.start_service()
        self.assert_stopped(self.start_app("first"))
        self.requests_with(1)
        self.assert_stopped(self.start_app("another copy"))
        code, out, err = self.install.run("runguard.exe", "run", "--", "arg_echo.exe", "x", timeout=60)
        self.assertEqual((code, out, err.replace("\r\n", "\n")), (4, "", "命令被拒绝: 认证繁忙，默认拒绝\n"))
        self.assertEqual(len(self.host_requests()), 1)


class StopDuringAuthentication(E2ETestCase):
    def test_service_stops_while_the_watcher_waits_for_the_dialog(self):
        self.install.lay_out(policy=policy_json([rule_json("program", "Protected app", match_name=APP)]),
                             executables=("SentrelSvc.exe", "SentrelUI.exe", APP, "report_exit.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        self.install.host_script("never")
        self.install.start_registered_service()

        app = self.install.start("report_exit.exe", self.install.path_win(APP), "waiting")
        self.assertEqual(reported_exit(app), "exit code: %d" % STOPPED)
        requests = os.path.join(self.install.folder, "test_dialog_requests.txt")
        self.assertTrue(wait_until(lambda: os.path.exists(requests)))
        self.install.sc("stop", "SentrelSvc")
        self.assertTrue(wait_until(lambda: "STOPPED" in self.install.service_state(), timeout=20),
                        self.install.service_state())
        self.assertTrue(self.install.wait_for_log("service stopped"))
        self.assertFalse(any(m.startswith("program ") for m in self.install.log_messages()))


if __name__ == "__main__":
    main()
