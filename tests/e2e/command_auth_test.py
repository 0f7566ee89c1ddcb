"""Command authorization end to end: runguard -> SentrelSvc (auth pipe) -> broker -> dialog host.
The dialog host here is the scripted test host installed as SentrelUI.exe."""

import json
import os
import shutil
import time

from harness import BIN, E2ETestCase, main, policy_json, rule_json, run_wine, settings_json, wait_until, win_to_unix
from mfa_fixture import API_KEY, MfaServerCase

NO_SERVICE = "无法连接 SentrelSvc。请确认服务已启动（SentrelSvc.exe install）。\n"
UNMATCHED = "未命中命令规则，直接放行"
TOOLS = ("arg_echo.exe", "report_exit.exe", "pipe_probe.exe")


class CommandAuthorization(MfaServerCase):
    """The scripted host answers like a person (a code the test MFA server accepts: "code <digits>")
    or like a forger ("approve", an approval without a code): the service checks every code."""

    def lay_out(self, rules, host=True):
        executables = ("SentrelSvc.exe", "runguard.exe") + TOOLS + (("SentrelUI.exe",) if host else ())
        settings = settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                 mfa_username="alice")
        self.install.lay_out(settings=settings, policy=policy_json(rules), executables=executables,
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        self.echo_path = self.install.path_win("arg_echo.exe")

    def right_code(self):
        """The host's action that types alice's current code (the server accepts a step either side)."""
        return "code " + self.server.control("GET", "totp/alice")["code"]

    def host_verdicts(self):
        try:
            with open(os.path.join(self.install.folder, "test_dialog_verdicts.txt"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def start_service(self):
        self.install.start_console_service()

    def host_script(self, *actions, folder=None):
        with open(os.path.join(folder or self.install.folder, "test_dialog_script.txt"), "w", encoding="utf-8") as f:
            f.write("\n".join(actions) + "\n")

    def host_requests(self, folder=None):
        try:
            with open(os.path.join(folder or self.install.folder, "test_dialog_requests.txt"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def runguard(self, *command, env=None, timeout=60, cwd=None):
        code, out, err = self.install.run("runguard.exe", "run", "--", *command, env=env, timeout=timeout, cwd=cwd)
        return code, out.replace("\r\n", "\n"), err.replace("\r\n", "\n")

    def probe(self, *args):
        code, out, _ = self.install.run("pipe_probe.exe", *args, timeout=30)
        return code, out.strip()

    def cmd_lines(self):
        return [m for m in self.install.log_messages() if m.startswith("cmd: ")]

    # ------------------------------------------------------------------------------------------
    def test_unmatched_command_runs_with_its_arguments_and_exit_code(self):
        self.lay_out([rule_json("command", "Other", match_name="other.exe")])
        self.host_script(self.right_code())
        self.start_service()

        code, out, err = self.runguard("arg_echo.exe", "a b", "", 'q"x', "tab\there", "中文",
                                       env={"ARG_ECHO_EXIT_CODE": "7"})
        self.assertEqual(code, 7, err)
        self.assertEqual(err, "")
        self.assertEqual(out.splitlines()[1:], ["[a b]", "[]", '[q"x]', "[tab\there]", "[中文]"])
        self.assertEqual(self.cmd_lines()[-1],
                         'cmd: path=%s args="a b" "" "q\\"x" "tab here" 中文 result=%s' % (self.echo_path, UNMATCHED))

        # Exit codes above 255 pass through whole (read from a Windows parent: Linux sees 8 bits).
        code, _, err = self.install.run("report_exit.exe", self.install.path_win("runguard.exe"), "run", "--",
                                        "arg_echo.exe", env={"ARG_ECHO_EXIT_CODE": "70000"})
        self.assertEqual(code, 0)
        self.assertEqual(err.strip().splitlines()[-1], "exit code: 70000")
        self.assertEqual(self.host_requests(), [])

    def test_matched_command_asks_the_dialog_and_runs_only_with_a_code_the_service_checked(self):
        self.lay_out([rule_json("command", "Echo tool", match_name="ARG_ECHO.EXE", args_contains="deploy",
                                auth_mode="EMAIL"),
                      rule_json("command", "Echo totp", match_name="arg_echo.exe", args_contains="totp")])
        self.host_script("code 000000 111111 222222", "approve", "magic approve", "deny 请求在手机上被拒绝", "deny",
                         "short", "code 000000 " + self.right_code()[5:])
        self.start_service()

        # Three wrong codes in the same dialog: refused; the e-mail code was sent by the service.
        code, out, err = self.runguard("arg_echo.exe", "deploy", "now please")
        self.assertEqual((code, out), (4, ""))
        self.assertTrue(err.startswith("命令被拒绝: 验证码错误次数过多，默认拒绝"), err)
        request = self.host_requests()[0]
        # The mode in the low 16 bits; above them the settings' language for the dialog.
        self.assertEqual((request["mode"] & 0xFFFF, request["title"], request["target"], request["detail"]),
                         (4, "Echo tool", self.echo_path, 'deploy "now please"'))
        self.assertFalse(request["extras_zero"])
        sent = self.server.control("GET", "outbox")
        self.assertEqual([m["auth_type"] for m in sent], ["email"])
        self.assertEqual(request["challenge_id"], sent[0]["challenge_id"])
        self.assertEqual([v["verdict"] for v in self.host_verdicts()], [2, 2, 0])

        # A host that says approved without a code, whatever its magic: refused.
        for _ in range(2):
            code, out, err = self.runguard("arg_echo.exe", "DEPLOY")
            self.assertEqual((code, out, err), (4, "", "命令被拒绝: 未收到验证码，默认拒绝\n"))
        expected = ["命令被拒绝: 请求在手机上被拒绝\n", "命令被拒绝: 用户取消或认证失败\n",
                    "命令被拒绝: 等待认证结果超时，默认拒绝\n"]
        for reason in expected:
            code, out, err = self.runguard("arg_echo.exe", "DEPLOY")
            self.assertEqual((code, out, err), (4, "", reason))
        self.assertTrue(self.cmd_lines()[-1].endswith("result=等待认证结果超时，默认拒绝"))

        # A wrong code, then the right one: allowed in the same dialog.
        code, out, err = self.runguard("arg_echo.exe", "totp", "now please")
        self.assertEqual(code, 0, err)
        self.assertIn("[now please]", out)
        self.assertEqual(self.cmd_lines()[-1], 'cmd: path=%s args=totp "now please" result=认证成功' % self.echo_path)
        self.assertEqual([v["verdict"] for v in self.host_verdicts()][-2:], [2, 1])
        messages = "\n".join(self.install.log_messages())
        for typed in ("000000", "111111", "222222"):
            self.assertNotIn(typed, messages)
        # Without the args condition no rule applies: no dialog.
        code, _, _ = self.runguard("arg_echo.exe", "status")
        self.assertEqual(code, 0)
        self.assertEqual(len(self.host_requests()), 7)

    def test_relative_name_is_sent_as_full_path(self):
        self.lay_out([rule_json("command", "Echo", match_path=self.install.path_win("arg_echo.exe").upper())])
        self.host_script("deny 不行")
        self.start_service()
        code, _, err = self.runguard(".\\arg_echo.exe")
        self.assertEqual((code, err), (4, "命令被拒绝: 不行\n"))
        self.assertEqual(self.host_requests()[0]["target"], self.echo_path)

    def test_a_prefixed_path_does_not_escape_the_rule_for_the_plain_one(self):
        cmd = r"C:\windows\system32\cmd.exe"
        self.lay_out([rule_json("command", "Command Prompt", match_path=cmd)])
        self.host_script("deny 不行", "deny 不行")
        self.start_service()
        for typed in ("\\\\?\\" + cmd, "\\\\?\\C:\\WINDOWS\\SYSTEM32\\CMD.EXE"):
            code, out, err = self.runguard(typed, "/c", "exit", "7")
            self.assertEqual((code, out, err), (4, "", "命令被拒绝: 不行\n"), typed)
        self.assertEqual([r["target"] for r in self.host_requests()], [cmd, cmd])
        self.assertEqual(self.cmd_lines()[-1], "cmd: path=%s args=/c exit 7 result=不行" % cmd)

    def test_runguard_killed_during_its_round_ends_the_round_and_frees_its_session(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe")])
        self.host_script("never", "deny 不行")
        self.start_service()
        first = self.install.start("runguard.exe", "run", "--", "arg_echo.exe", "first")
        self.assertTrue(wait_until(lambda: len(self.host_requests()) == 1), "the first dialog was not asked for")
        first.kill()
        first.wait(10)
        # The next command of the session is asked for in turn: its round is not refused as busy,
        # which it would be while the dead client's dialog still held the session (the host never
        # answers it).
        code, out, err = self.runguard("arg_echo.exe", "second")
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 不行\n"))
        self.assertEqual([r["detail"] for r in self.host_requests()], ["first", "second"])
        self.assertIn("cmd: path=%s args=first result=客户端已退出，默认拒绝" % self.echo_path, self.cmd_lines())

    def test_a_short_name_does_not_escape_the_rule_for_the_long_one(self):
        self.lay_out([rule_json("command", "Echo", match_name="Echo With A Long Name.exe")])
        folder_win = self.install.path_win("Long Named Tools")
        os.makedirs(win_to_unix(folder_win))
        shutil.copy(os.path.join(self.install.folder, "arg_echo.exe"),
                    os.path.join(win_to_unix(folder_win), "echo with a long name.exe"))
        shutil.copy(os.path.join(BIN, "short_path.exe"), self.install.folder)
        long_win = folder_win + "\\echo with a long name.exe"
        code, short_win, _ = self.install.run("short_path.exe", long_win)
        short_win = short_win.strip()
        self.assertEqual(code, 0)
        self.assertIn("~", short_win)
        self.host_script("deny 不行")
        self.start_service()

        code, out, err = self.runguard(short_win, "x")
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 不行\n"))
        self.assertEqual(self.host_requests()[0]["target"], long_win)  # the user is shown the long name
        self.assertEqual(self.cmd_lines(), ["cmd: path=%s args=x result=不行" % long_win])

    def test_a_cmd_planted_in_the_current_folder_is_not_run(self):
        system_cmd = r"C:\windows\system32\cmd.exe"
        self.lay_out([rule_json("command", "Command prompt", match_path=system_cmd)])
        planted = win_to_unix(r"C:\Planted")
        shutil.rmtree(planted, ignore_errors=True)
        os.makedirs(planted)
        self.addCleanup(shutil.rmtree, planted, True)
        shutil.copy(os.path.join(self.install.folder, "arg_echo.exe"), os.path.join(planted, "cmd.exe"))
        # The reason carries a line break, a tab and an escape sequence: printed without them.
        self.host_script("deny 不行\x1b[2J\tnext", self.right_code(), self.right_code())
        self.start_service()

        code, out, err = self.runguard("cmd.exe", "/c", "echo", "real", cwd=planted)
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 不行[2Jnext\n"))
        self.assertEqual(self.host_requests()[0]["target"].lower(), system_cmd.lower())  # the rule applied
        for name in ("cmd", "CMD.EXE"):
            code, out, err = self.runguard(name, "/c", "echo", "real", cwd=planted)
            self.assertEqual((code, out.strip(), err), (0, "real", ""), name)  # System32's cmd, not arg_echo

    def test_the_dialog_host_gets_the_users_environment_not_the_services(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe")])
        self.host_script(self.right_code())
        # A variable of the user's own (Windows keeps them in HKCU\\Environment), and another
        # value of it in the service's environment.
        self.assertEqual(run_wine(["wine", "reg", "add", r"HKCU\Environment", "/v", "SENTREL_ENV_MARKER", "/d", "user",
                                   "/f"])[0], 0)
        self.addCleanup(run_wine, ["wine", "reg", "delete", r"HKCU\Environment", "/v", "SENTREL_ENV_MARKER", "/f"])
        self.install.start_console_service(env={"SENTREL_ENV_MARKER": "service"})
        code, _, err = self.runguard("arg_echo.exe")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(self.host_requests()[0]["env_marker"], "user")

    def test_no_dialog_host_denies(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe")], host=False)
        self.start_service()
        code, out, err = self.runguard("arg_echo.exe")
        self.assertEqual((code, out, err), (4, "", "命令被拒绝: 无法连接认证界面，默认拒绝\n"))

    def test_a_host_that_is_not_our_dialog_is_refused(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe")])
        rogue_win = r"C:\Rogue"
        rogue = win_to_unix(rogue_win)
        shutil.rmtree(rogue, ignore_errors=True)
        os.makedirs(rogue)
        self.addCleanup(shutil.rmtree, rogue, True)
        shutil.copy(os.path.join(self.install.folder, "SentrelUI.exe"), os.path.join(rogue, "SentrelUI.exe"))
        self.host_script("approve", folder=rogue)
        rogue_host = self.install.start(rogue_win + r"\SentrelUI.exe", "--pipe")
        self.assertEqual(self.install.wait_for("pipe", "SentrelUI", "15000"), (0, ""))
        self.start_service()

        code, out, err = self.runguard("arg_echo.exe")
        self.assertEqual((code, out), (4, ""))
        self.assertTrue(err.startswith("命令被拒绝: "), err)
        self.assertNotIn("认证成功", err)
        self.assertEqual(self.host_requests(folder=rogue), [])
        self.assertTrue(any("not trusted" in m for m in self.install.log_messages()), self.install.log_messages())
        self.install.stop(rogue_host)

    def test_clear_cache_and_unmatched_commands_are_answered_while_a_dialog_waits(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe", args_contains="guarded")])
        self.host_script("never")
        self.start_service()
        waiting = self.install.start("runguard.exe", "run", "--", "arg_echo.exe", "guarded")
        self.assertTrue(wait_until(lambda: len(self.host_requests()) == 1))

        started = time.time()
        self.assertEqual(self.probe("clear"), (0, "allowed=1 reason=缓存已清空"))
        code, _, _ = self.runguard("arg_echo.exe", "free")
        self.assertEqual(code, 0)
        self.assertLess(time.time() - started, 10)
        self.assertIn("approval cache cleared by UI", self.install.log_messages())
        self.assertIsNone(waiting.poll())

        # The dialog host dies: the waiting command is denied, not left hanging.
        self.install.kill_installed_processes_named("SentrelUI.exe")
        waiting.wait(30)
        self.assertEqual(waiting.returncode, 4)
        self.assertEqual(waiting.stderr.read().decode("utf-8"), "命令被拒绝: 等待认证结果超时，默认拒绝\n")

    def test_bad_requests_get_clear_outcomes_and_the_service_keeps_serving(self):
        self.lay_out([rule_json("command", "Everything")])  # every command needs the dialog
        self.host_script("deny 拒绝")
        self.start_service()
        self.assertEqual(self.probe("size", "8203"), (0, "allowed=0 reason="))
        self.assertEqual(self.probe("size", "9000"), (0, "allowed=0 reason="))
        self.assertEqual(self.probe("size", "1"), (0, "allowed=0 reason="))
        self.assertEqual(self.probe("garbage"), (0, "allowed=0 reason=拒绝"))
        self.assertEqual(self.probe("unterminated"), (0, "allowed=0 reason=拒绝"))
        self.assertEqual(self.probe("disconnect")[0], 0)
        self.assertEqual(self.host_requests()[1]["target"], "p" * 1023)
        self.assertEqual(self.host_requests()[1]["detail"], "a" * 511)
        self.assertTrue(wait_until(lambda: len(self.host_requests()) == 3))
        code, _, err = self.runguard("arg_echo.exe")
        self.assertEqual((code, err), (4, "命令被拒绝: 拒绝\n"))
        # Wrong-sized requests are not logged; the others are, one line each.
        self.assertEqual(len(self.cmd_lines()), 4)

    def test_idle_clients_neither_jam_nor_decide_and_are_dropped_within_seconds(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe", args_contains="guarded")])
        self.host_script("deny 拒绝")
        self.start_service()
        holders = []
        for _ in range(8):
            holder = self.install.start("pipe_probe.exe", "hold", "60000")
            self.assertEqual(holder.stdout.readline().strip(), b"connected")
            holders.append(holder)
        started = time.time()
        # An instance still waits: commands are decided as ever, by the rules and the dialog.
        code, _, err = self.runguard("arg_echo.exe", "free")
        self.assertEqual((code, err), (0, ""))
        code, _, err = self.runguard("arg_echo.exe", "guarded")
        self.assertEqual((code, err), (4, "命令被拒绝: 拒绝\n"))
        self.assertLess(time.time() - started, 5)
        # Each idle client is dropped once its 5 s are up, not held for its 60 s.
        for holder in holders:
            line = holder.stdout.readline().decode().strip()
            self.assertRegex(line, r"^dropped after \d+ ms$")
            self.assertLess(int(line.split()[2]), 15000, line)
        self.assertEqual(len(self.host_requests()), 1)

    def test_a_squatting_server_never_sees_a_request_nor_decides_one(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe", args_contains="guarded")])
        self.host_script("deny 拒绝")
        self.start_service()
        # Wine lets another process add instances to the service's pipe (Windows refuses it by the
        # pipe's descriptor and first instance): the squatter's and the service's instances
        # compete for every client.
        squatter = self.install.start("pipe_probe.exe", "squat")
        self.assertTrue(wait_until(lambda: self.probe("authorize", "C:\\probe.exe")[1] == "allowed=1 reason=squatter",
                                   timeout=20), "the squatter never answered a plain client")
        for _ in range(6):
            code, _, err = self.runguard("arg_echo.exe", "guarded")
            self.assertEqual((code, err), (4, "命令被拒绝: 拒绝\n"))
            code, out, err = self.runguard("arg_echo.exe", "free")
            self.assertEqual((code, err), (0, ""))
            self.assertIn("[free]", out)
        squatter.terminate()
        squatter.wait(30)
        seen = squatter.stdout.read().decode("utf-8", "replace").splitlines()
        self.assertEqual([line for line in seen if line.startswith("request:") and "arg_echo" in line], [], seen)
        self.assertIn("connection without request", seen)  # runguard met it, and left it at that
        self.assertEqual(len(self.host_requests()), 6)

    def test_only_the_installed_services_own_process_is_trusted(self):
        self.lay_out([rule_json("command", "Echo", match_name="arg_echo.exe", args_contains="guarded")])
        self.host_script("approve")
        # Installed but stopped: a foreground run of the very same SentrelSvc.exe is not the
        # service, and runguard writes nothing to it.
        code, out = self.install.create_service()
        self.assertEqual(code, 0, out)
        self.start_service()
        code, out, err = self.runguard("arg_echo.exe", "free")
        self.assertEqual((code, out, err),
                         (3, "", "无法连接 SentrelSvc：管道 \\\\.\\pipe\\SentrelAuth 的服务端不是 Sentrel 服务，命令未执行。\n"))
        self.assertEqual(self.cmd_lines(), [])


class StopWhileWaiting(E2ETestCase):
    def test_service_stops_and_the_waiting_command_ends(self):
        self.install.lay_out(policy=policy_json([rule_json("command", "Echo", match_name="arg_echo.exe")]),
                             executables=("SentrelSvc.exe", "runguard.exe", "SentrelUI.exe") + TOOLS,
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        self.install.host_script("never")
        self.install.start_registered_service()

        waiting = self.install.start("runguard.exe", "run", "--", "arg_echo.exe")
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.install.folder, "test_dialog_requests.txt"))))
        started = time.time()
        self.install.sc("stop", "SentrelSvc")
        self.assertTrue(wait_until(lambda: "STOPPED" in self.install.sc("query", "SentrelSvc")[1], timeout=20))
        self.assertLess(time.time() - started, 15)
        waiting.wait(20)
        self.assertEqual(waiting.returncode, 3)
        self.assertTrue(self.install.wait_for_log("service stopped"))


if __name__ == "__main__":
    main()
