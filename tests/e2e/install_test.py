"""install, stop and the controlled uninstall of SentrelSvc under Wine's service control manager."""

import os
import re
import shutil
import stat
import subprocess
import sys
import threading
import time

from harness import (BIN, E2ETestCase, event_source, export_service_key, free_port, main, policy_json, rule_json,
                     remove_event_source, run_wine, settings_json, wait_until, win_to_unix)

SERVER_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/mfa_server"))
sys.path.insert(0, SERVER_DIR)
import mfa_server  # noqa: E402

API_KEY = "uninstall-key"
SECRET = "JBSWY3DPEHPK3PXP"
TRACE_DIR = win_to_unix(r"C:\Temp")
TRACE = os.path.join(TRACE_DIR, "sn_install.txt")
PROTECTED = ("SentrelSvc.json", "SentrelSvc.policy.json", "SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")
INTERACTIVE = "正在执行交互式受控卸载流程...\n"
# The Application log's source: messages from the installed executable, all three event types.
INSTALLED_SOURCE = {"EventMessageFile": ("REG_EXPAND_SZ", r"C:\Program Files\Sentrel\SentrelSvc.exe"),
                    "TypesSupported": ("REG_DWORD", "0x7")}
PROMPT = "请输入 TOTP 验证码: "


def lines(text):
    return text.replace("\r\n", "\n")


FILE_WRITE_DATA, FILE_EXECUTE = 0x2, 0x20
WRITING = 0x2 | 0x4 | 0x10 | 0x100 | 0x10000 | 0x40000 | 0x80000  # data, append, EA, attributes, delete, DAC, owner
RIGHTS = {"FA": 0x1F01FF, "FR": 0x120089, "FW": 0x120116, "FX": 0x1200A0, "GA": 0x1F01FF, "GR": 0x120089,
          "GW": 0x120116, "GX": 0x1200A0}


def read_dacl(path_win):
    """(owner SID, [(SID, access mask) of each allow entry]) of a file as the system reads it back."""
    code, out, _ = run_wine(["wine", os.path.join(BIN, "show_dacl.exe"), path_win])
    sddl = out.decode("utf-8", "replace").strip()
    assert code == 0 and sddl.startswith("O:"), sddl
    owner = sddl[2:sddl.index("D:")]
    entries = []
    for rights, sid in re.findall(r"\(A;[^;]*;([^;]*);;;([^)]*)\)", sddl):
        if rights.startswith("0x"):
            mask = int(rights, 16)
        else:
            mask = 0
            for i in range(0, len(rights), 2):
                mask |= RIGHTS.get(rights[i:i + 2], 0)
        entries.append((sid, mask))
    return owner, entries


class InstallCase(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.install.remove_service()
        self.install.service_created = True  # stop_all removes what install registered

    def lay_out(self, **settings):
        self.install.lay_out(settings=settings_json(**settings), policy='{ "rules": [] }\n')

    def svc(self, *args, input=None):
        code, out, _ = self.install.run("SentrelSvc.exe", *args, input=input)
        return code, lines(out)

    def running(self):
        return wait_until(lambda: "RUNNING" in self.install.service_state())

    def installed(self):
        return "SentrelSvc" in self.install.service_state()

    def registration(self):
        return export_service_key()

    def others_may_write(self, name):
        return bool(os.stat(os.path.join(self.install.folder, name)).st_mode & stat.S_IWOTH)

    def everyone_mask(self, name):
        _, entries = read_dacl(self.install.path_win(name))
        return sum(mask for sid, mask in entries if sid == "WD")

    def assert_only_administrators_write(self, name):
        """Wine keeps no file DACL: it maps Everyone's entry onto the Unix "other" bits and reads back
        entries for LocalSystem, the owner (the prefix's user, an administrator) and Everyone."""
        owner, entries = read_dacl(self.install.path_win(name))
        self.assertFalse(self.others_may_write(name), name)
        self.assertEqual(self.everyone_mask(name) & WRITING, 0, (name, entries))
        self.assertTrue(any(mask & FILE_WRITE_DATA for sid, mask in entries if sid in ("BA", owner)), (name, entries))


class Install(InstallCase):
    def expected_trace(self):
        exe = self.install.path_win("SentrelSvc.exe")
        return "exe_path: %s\nexe_quoted: \"%s\"\nOpenSCManager OK\n" % (exe, exe)

    def test_install_registers_starts_and_traces_then_second_install_finds_it_running(self):
        os.makedirs(TRACE_DIR, exist_ok=True)
        if os.path.exists(TRACE):
            os.remove(TRACE)
        self.lay_out()
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        first = self.expected_trace() + "CreateService OK\n服务已安装并启动。\n"
        self.assertEqual(out, first)
        self.install.wait_service_running()
        self.assertIn("service started, rules=0", self.install.log_messages())  # written before the pipe exists

        reg = self.registration()
        for value in ('"DisplayName"="Sentrel服务"', '"Start"=dword:00000002', '"Type"=dword:00000010',
                      '"ErrorControl"=dword:00000001', '"ObjectName"="LocalSystem"',
                      '"ImagePath"="\\"C:\\\\Program Files\\\\Sentrel\\\\SentrelSvc.exe\\""'):
            self.assertIn(value, reg)
        self.assertEqual(event_source(), INSTALLED_SOURCE)

        code, out = self.svc("INSTALL")
        self.assertEqual(code, 0, out)
        second = self.expected_trace() + "服务已存在，尝试启动...\n服务已在运行。\n"
        self.assertEqual(out, second)
        with open(TRACE, encoding="utf-8-sig") as f:
            self.assertEqual(f.read(), first + second)

    def test_install_of_an_existing_service_registers_the_event_source_of_the_configured_executable(self):
        self.lay_out()
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        self.install.wait_service_running()
        remove_event_source()
        # A copy elsewhere finds the service: the source names the executable the service runs.
        folder = win_to_unix(r"C:\SentrelCopy")
        shutil.rmtree(folder, ignore_errors=True)
        self.addCleanup(shutil.rmtree, folder, True)
        os.makedirs(folder)
        shutil.copy(os.path.join(self.install.folder, "SentrelSvc.exe"), folder)
        code, out, _ = self.install.run(r"C:\SentrelCopy\SentrelSvc.exe", "install")
        self.assertEqual(code, 0, out)
        self.assertEqual(event_source(), INSTALLED_SOURCE)

    def test_install_without_temp_folder_traces_to_the_console_only(self):
        if os.path.isdir(TRACE_DIR):
            shutil.rmtree(TRACE_DIR)
        self.lay_out()
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.startswith("exe_path: ") and out.endswith("服务已安装并启动。\n"), out)
        self.assertTrue(self.running())
        self.assertFalse(os.path.exists(TRACE_DIR))

    def test_install_with_temp_folder_a_link_traces_to_the_console_only(self):
        if os.path.islink(TRACE_DIR):
            os.unlink(TRACE_DIR)
        elif os.path.isdir(TRACE_DIR):
            shutil.rmtree(TRACE_DIR)
        target = win_to_unix(r"C:\TraceElsewhere")
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        self.addCleanup(shutil.rmtree, target, True)
        os.symlink(target, TRACE_DIR)  # Wine reports a symbolic link to a folder as a reparse point
        self.addCleanup(os.unlink, TRACE_DIR)
        self.lay_out()
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.startswith("exe_path: ") and out.endswith("服务已安装并启动。\n"), out)
        self.assertEqual(os.listdir(target), [])

    def test_install_while_deletion_is_pending_fails(self):
        self.lay_out()
        self.assertEqual(self.svc("install")[0], 0)
        self.assertTrue(self.running())
        self.install.sc("delete", "SentrelSvc")  # marked: removed once it stops
        code, out = self.svc("install")
        self.assertEqual(code, 1, out + self.install.service_state())
        self.assertTrue(out.endswith("OpenSCManager OK\n服务标记删除中，请稍候重试或重启系统。\n"), out)


    def test_install_from_a_folder_users_may_change_is_refused_naming_folder_and_right(self):
        # Wine synthesizes a folder's Everyone entry from its Unix "other" bits: mode 777 gives
        # Everyone write, append and delete children (the evaluation itself is a unit test).
        self.lay_out()
        program_files = os.path.dirname(self.install.folder)
        cases = [(self.install.folder, self.install.folder_win, "创建文件（写入数据）"),
                 (program_files, r"C:\Program Files", "删除子文件夹及文件")]
        for folder, folder_win, right in cases:
            mode = stat.S_IMODE(os.stat(folder).st_mode)
            os.chmod(folder, 0o777)
            try:
                code, out = self.svc("install")
            finally:
                os.chmod(folder, mode)
            self.assertEqual(code, 1, out)
            self.assertIn("安装文件夹不安全，服务未安装: %s 允许非管理员用户%s。" % (folder_win, right), out)
            self.assertNotIn("OpenSCManager OK", out)
            self.assertFalse(self.installed())
        code, out = self.svc("install")  # the same folder, given back its rights
        self.assertEqual(code, 0, out)

    def test_trace_never_lands_where_a_swapped_temp_folder_points(self):
        # Another user's loop swaps C:\Temp with a link to a victim folder while install runs. The
        # rename of C:\Temp goes through Windows (cmd's move), as another user's would: while
        # install holds the folder it cannot be renamed. (A Unix rename under Wine would bypass
        # that, and Wine follows a link it is asked not to follow: neither is Windows.)
        aside_win = r"C:\TempReal"
        aside = win_to_unix(aside_win)
        victim = win_to_unix(r"C:\TraceVictim")
        for path in (aside, victim):
            shutil.rmtree(path, ignore_errors=True)
        if os.path.islink(TRACE_DIR):
            os.unlink(TRACE_DIR)
        os.makedirs(TRACE_DIR, exist_ok=True)
        if os.path.exists(TRACE):
            os.remove(TRACE)
        os.makedirs(victim)
        self.addCleanup(shutil.rmtree, victim, True)
        stop = threading.Event()
        swaps = []

        def swap():
            while not stop.is_set():
                run_wine(["wine", "cmd", "/c", "move", r"C:\Temp", aside_win])
                if not os.path.isdir(aside):
                    continue  # held by install: not renamed
                swaps.append(1)
                try:
                    os.symlink(victim, TRACE_DIR)
                    os.unlink(TRACE_DIR)
                finally:
                    os.rename(aside, TRACE_DIR)

        def end_swapping():
            stop.set()
            swapper.join()

        self.lay_out()
        swapper = threading.Thread(target=swap, daemon=True)
        swapper.start()
        self.addCleanup(end_swapping)
        said = set()
        for run in range(20):
            code, out = self.svc("install")
            self.assertEqual(code, 0, out)
            said.update(out.split("\n"))
            self.assertEqual(os.listdir(victim), [], "run %d wrote where the link pointed" % run)
        end_swapping()
        self.assertTrue(swaps, "the folder was never swapped: the test showed nothing")
        # Whatever reached the real C:\Temp is the install's own lines.
        if os.path.exists(TRACE):
            with open(TRACE, encoding="utf-8-sig") as f:
                traced = [line for line in lines(f.read()).split("\n") if line]
            self.assertEqual([line for line in traced if line not in said], [])


class Stop(InstallCase):
    def test_stop_waits_for_stopped_and_reports_when_nothing_to_stop(self):
        self.lay_out()
        self.assertEqual(self.svc("install")[0], 0)
        self.install.wait_service_running()
        code, out = self.svc("stop")
        self.assertEqual((code, out), (0, "服务已停止。\n"))
        self.assertIn("STOPPED", self.install.service_state())  # no wait: stop returned after it
        self.assertIn("service stopped", self.install.log_messages())
        self.assertEqual(self.svc("Stop"), (0, "服务已停止。\n"))

        self.install.remove_service()
        self.assertEqual(self.svc("stop"), (1, "服务 SentrelSvc 未安装。\n"))

    def test_stop_releases_settings_and_policy_for_a_change_and_start_protects_them_again(self):
        self.lay_out()
        self.assertEqual(self.svc("install")[0], 0)
        self.install.wait_service_running()
        self.assertEqual(self.svc("stop"), (0, "服务已停止。\n"))
        for name in ("SentrelSvc.json", "SentrelSvc.policy.json"):
            self.assert_only_administrators_write(name)

        # The administrator's change, then a start through install (the console's Start button).
        changed = policy_json([rule_json("command", "Changed", match_name="changed.exe")])
        self.install.write_file("SentrelSvc.policy.json", changed)
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith("服务已存在，尝试启动...\n服务已安装并启动。\n"), out)
        self.install.wait_service_running()
        self.assertEqual(self.install.log_messages().count("service started, rules=1"), 1)

        # Protected again, with the changed policy as the copy it restores. (Renamed away: the name
        # is gone at once, where a deleted file stays visible while the watcher has it open.)
        self.install.run(r"C:\windows\system32\cmd.exe", "/c", "move SentrelSvc.policy.json policy.old")
        path = os.path.join(self.install.folder, "SentrelSvc.policy.json")
        self.assertTrue(wait_until(lambda: os.path.exists(path), timeout=10), "the policy was not restored")
        with open(path, encoding="utf-8") as f:
            self.assertEqual(f.read(), changed)
        self.assertEqual(self.everyone_mask("SentrelSvc.policy.json") & WRITING, 0)


class UninstallCase(InstallCase):
    def install_running(self, **settings):
        self.lay_out(**settings)
        for name in PROTECTED:  # Everyone may write before the service protects them
            os.chmod(os.path.join(self.install.folder, name), 0o777)
        code, out = self.svc("install")
        self.assertEqual(code, 0, out)
        self.install.wait_service_running()

    def assert_untouched(self):
        self.assertIn("RUNNING", self.install.service_state())
        self.assertEqual(event_source(), INSTALLED_SOURCE)
        self.assertFalse(any("uninstall" in m for m in self.install.log_messages()))


class Uninstall(UninstallCase):
    def test_authorized_switch_in_any_case_removes_service_and_releases_files(self):
        self.install_running()
        for name in PROTECTED:  # everyone may read and run them, no one but LocalSystem write them
            self.assertFalse(self.others_may_write(name), name)
            self.assertEqual(self.everyone_mask(name) & (FILE_EXECUTE | WRITING), FILE_EXECUTE, name)
        self.assertEqual(event_source(), INSTALLED_SOURCE)
        code, out = self.svc("uninstall", "/F")
        self.assertEqual((code, out), (0, ""))
        self.assertFalse(self.installed(), self.install.service_state())
        self.assertIsNone(event_source(), "the event source outlived the service")
        messages = self.install.log_messages()
        self.assertIn("uninstall authorized: via UI, proceeding", messages)
        self.assertIn("service stopped", messages)
        self.assertEqual(messages[-1], "uninstall complete: result=1")
        for name in PROTECTED:  # released: what the folder gives, never Everyone write
            self.assert_only_administrators_write(name)
        self.assertFalse(self.install.installed_processes(lambda c: b"sentrelsvc.exe" in c and b"uninstall" not in c))

        code, out = self.svc("uninstall", "--AUTHORIZED")  # nothing left to remove
        self.assertEqual((code, out), (0, ""))
        self.assertEqual(self.install.log_messages()[-1], "uninstall authorized: via UI, proceeding")

    def test_interactive_refusals_remove_nothing(self):
        self.install_running(server_url="http://127.0.0.1:%d" % free_port(), api_key="key")
        code, out = self.svc("uninstall", input=b"")
        self.assertEqual((code, out), (1, INTERACTIVE + PROMPT))
        self.assert_untouched()

        # No MFA server answers here: the code cannot be confirmed, so it is refused.
        code, out = self.svc("uninstall", "--authorize", input=b"123456\r\n")
        self.assertEqual(code, 1)
        refused = INTERACTIVE + PROMPT + "[拒绝] MFA 认证失败: "
        self.assertTrue(out.startswith(refused) and len(out) > len(refused) + 1, out)
        self.assert_untouched()

        # The settings file beside the running copy is protected: an unconfigured copy elsewhere.
        folder = win_to_unix(r"C:\SentrelCli")
        shutil.rmtree(folder, ignore_errors=True)
        self.addCleanup(shutil.rmtree, folder, True)
        os.makedirs(folder)
        shutil.copy(os.path.join(self.install.folder, "SentrelSvc.exe"), folder)
        with open(os.path.join(folder, "SentrelSvc.json"), "w", encoding="utf-8") as f:
            f.write(settings_json(server_url="http://127.0.0.1:1", api_key=""))
        code, out, _ = self.install.run(r"C:\SentrelCli\SentrelSvc.exe", "uninstall", input=b"123456\n")
        self.assertEqual((code, lines(out)), (1, INTERACTIVE + "[错误] 未配置 MFA 服务，无法完成受控卸载。\n"))
        self.assert_untouched()


class UninstallWithMfaServer(UninstallCase):
    def setUp(self):
        super().setUp()
        self.server = subprocess.Popen([sys.executable, os.path.join(SERVER_DIR, "mfa_server.py"), "--api-key", API_KEY,
                                        "--user", "alice:" + SECRET, "--port", "0"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop_server)
        line = self.server.stdout.readline()
        self.assertIn("listening on", line)
        self.install_running(server_url=line.split()[-1], api_key=API_KEY, mfa_username="alice")

    def stop_server(self):
        self.server.terminate()
        self.server.wait(10)
        self.server.stdout.close()

    def code(self, offset=0):
        return mfa_server.totp(mfa_server.decode_secret(SECRET), time.time() + offset)

    def test_wrong_code_is_refused_and_the_right_one_uninstalls(self):
        window = {self.code(step) for step in (-60, -30, 0, 30, 60)}
        wrong = next(c for c in ("%06d" % n for n in range(0, 1000000, 7919)) if c not in window)
        code, out = self.svc("uninstall", input=wrong.encode() + b"\r\n")
        self.assertEqual((code, out), (1, INTERACTIVE + PROMPT + "[拒绝] MFA 认证失败: 验证码错误或用户不存在\n"))
        self.assert_untouched()

        code, out = self.svc("uninstall", input=self.code().encode() + b"\r\n")
        self.assertEqual((code, out), (0, INTERACTIVE + PROMPT))
        self.assertFalse(self.installed(), self.install.service_state())
        messages = self.install.log_messages()
        self.assertIn("uninstall authorized: via CLI, proceeding", messages)
        self.assertEqual(messages[-1], "uninstall complete: result=1")
        for name in PROTECTED:
            self.assert_only_administrators_write(name)


if __name__ == "__main__":
    main()
