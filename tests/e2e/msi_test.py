"""The MSI under Wine's msiexec: a silent install with properties (files, settings, the service
registered as "SentrelSvc.exe install" registers it, running, a protected command passing MFA
through runguard), an upgrade that keeps both JSON files byte for byte and restarts the service,
the removal as documented, and the bad cases: a service installed by hand, wrong properties, an
unusable log folder, a downgrade.

Wine's msiexec does not read "" inside a quoted property value as one quotation mark (Windows
does), so values with quotation marks reach the package through its Property table here; values
with backslashes go through the command line."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../release")))

from harness import (BIN, event_source, export_service_key, policy_json, remove_event_source, rule_json,  # noqa: E402
                     run_wine, settings_json, wait_until, win_to_unix)
from mfa_fixture import API_KEY, MfaServerCase  # noqa: E402
from msi_tables import project_version, properties  # noqa: E402

BUILD = os.path.dirname(BIN)
WORK_WIN = r"C:\SentrelMsiTest"
TOOLS_WIN = WORK_WIN + r"\tools"
PROGRAM_DATA = win_to_unix(r"C:\ProgramData\Sentrel")
DEFAULT_LOG = win_to_unix(r"C:\ProgramData\Sentrel\logs\sentrel.log")
EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")
TOOLS = ("arg_echo.exe", "ui_driver.exe", "pipe_probe.exe")


VERSION = project_version(BUILD)
major, minor, patch = (int(p) for p in VERSION.split("."))
NEWER = "%d.%d.%d" % (major, minor, patch + 1)

# The Application log's source as both the MSI and "SentrelSvc.exe install" register it.
INSTALLED_SOURCE = {"EventMessageFile": ("REG_EXPAND_SZ", r"C:\Program Files\Sentrel\SentrelSvc.exe"),
                    "TypesSupported": ("REG_DWORD", "0x7")}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class MsiCase(MfaServerCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = win_to_unix(WORK_WIN)
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(os.path.join(cls.work, "tools"))
        for tool in TOOLS:
            shutil.copy(os.path.join(BIN, tool), os.path.join(cls.work, "tools", tool))
        shutil.copy(os.path.join(BUILD, "installer", "Sentrel-%s-x64.msi" % VERSION), os.path.join(cls.work, "old.msi"))
        build_msi = os.path.join(os.path.dirname(__file__), "../../installer/build_msi.py")
        subprocess.run([sys.executable, build_msi, "--bin", BIN, "--actions",
                        os.path.join(BUILD, "installer", "SentrelActions.dll"),
                        "--icon", os.path.join(BUILD, "resources", "sentrel.ico"), "--version", NEWER,
                        "--out", os.path.join(cls.work, "new.msi")], check=True, timeout=300)
        cls.product_codes = [properties(os.path.join(cls.work, name))["ProductCode"] for name in ("old.msi", "new.msi")]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.clean_machine()
        self.addCleanup(self.clean_machine)
        self.runs = 0

    # --- the machine ---------------------------------------------------------------------------
    def clean_machine(self):
        """No Sentrel product, no SentrelSvc service, no install folder, no ProgramData\\Sentrel."""
        for code in self.product_codes:
            self.msiexec("/x", code)
        self.install.stop_all()
        self.install.remove_service()
        remove_event_source()
        self.install.kill_installed_processes()
        for folder in (self.install.folder, PROGRAM_DATA):
            if os.path.isdir(folder):
                shutil.rmtree(folder)
            elif os.path.exists(folder):
                os.remove(folder)

    def msiexec(self, *args):
        """Runs msiexec silently with a verbose log, waits for it, and returns (exit code, log)."""
        self.runs = getattr(self, "runs", 0) + 1
        log_win = "%s\\msiexec-%d.log" % (WORK_WIN, self.runs)
        log = win_to_unix(log_win)
        if os.path.exists(log):
            os.remove(log)
        script = win_to_unix(WORK_WIN + r"\msiexec.cmd")
        with open(script, "w", newline="\r\n") as f:
            f.write("@echo off\nstart /wait msiexec %s /qn /l*v %s\necho exit=%%ERRORLEVEL%%\n" % (" ".join(args), log_win))
        out = run_wine(["wine", "cmd", "/c", WORK_WIN + r"\msiexec.cmd"], timeout=300)[1].decode("utf-8", "replace")
        code = int(out.rsplit("exit=", 1)[1].split()[0]) if "exit=" in out else None
        text = ""
        if os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                text = f.read()
        return code, text

    def msi(self, name):
        return WORK_WIN + "\\" + name

    def service_registered(self):
        return "SERVICE_NAME: SentrelSvc" in self.install.service_state()

    def wait_running(self):
        self.assertTrue(wait_until(lambda: "RUNNING" in self.install.service_state(), timeout=30),
                        "the service did not report RUNNING: %s" % self.install.service_state())

    def service_pids(self):
        return self.install.installed_processes(lambda cmdline: b"sentrelsvc.exe" in cmdline)

    def registration(self):
        """The service's registry values as reg export writes them (name -> text)."""
        values = {}
        for line in export_service_key().split("\n")[2:]:
            if line.startswith('"') and "=" in line:
                name, value = line.strip().split("=", 1)
                values[name.strip('"')] = value
        return values

    def log_messages(self, path=DEFAULT_LOG):
        try:
            with open(path, encoding="utf-8-sig") as f:
                return [line.split("] ", 1)[1] for line in f.read().replace("\r\r\n", "\n").split("\n") if "] " in line]
        except FileNotFoundError:
            return []

    def installed_files(self):
        return sorted(os.listdir(self.install.folder)) if os.path.isdir(self.install.folder) else []

    def connection_properties(self):
        return ["SERVER_URL=http://127.0.0.1:%d" % self.server.port, "API_KEY=" + API_KEY, "MFA_USERNAME=alice",
                "LANGUAGE=en-US"]


class SilentInstall(MsiCase):
    def test_install_with_properties_protects_a_command_and_removes_as_documented(self):
        code, log = self.msiexec("/i", self.msi("old.msi"), *self.connection_properties())
        self.assertEqual(code, 0, log[-3000:])
        # Windows keeps API_KEY out of the log (MsiHiddenProperties); Wine's msi writes every
        # property all the same. Our own log lines never name the key.
        self.assertNotIn(API_KEY, "\n".join(line for line in log.split("\n") if line.startswith("Sentrel: ")))

        # Files: the three programs as built, and the settings written from the properties.
        self.assertEqual(self.installed_files(), sorted(["SentrelSvc.json"] + list(EXECUTABLES)))
        for exe in EXECUTABLES:
            self.assertEqual(read_bytes(os.path.join(self.install.folder, exe)), read_bytes(os.path.join(BIN, exe)))
        settings = read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")).decode("utf-8")
        self.assertEqual(settings, settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                                 mfa_username="alice", language="en-US",
                                                 log_file=r"C:\ProgramData\Sentrel\logs\sentrel.log"))

        # The service: registered as the install command registers it, running, logging where the
        # settings say (the log folder did not exist before; the service made it).
        self.wait_running()
        reg = self.registration()
        expected = {"DisplayName": '"Sentrel服务"', "Start": "dword:00000002", "Type": "dword:00000010",
                    "ErrorControl": "dword:00000001", "ObjectName": '"LocalSystem"',
                    "ImagePath": '"\\"C:\\\\Program Files\\\\Sentrel\\\\SentrelSvc.exe\\""'}
        self.assertEqual({k: reg.get(k) for k in expected}, expected)
        self.assertEqual(event_source(), INSTALLED_SOURCE)
        self.assertTrue(wait_until(lambda: "service started, rules=0" in self.log_messages()), self.log_messages())

        # Rules change while the service is stopped: stop, change, start.
        code, out, err = self.install.run("SentrelSvc.exe", "stop")
        self.assertEqual(code, 0, out + err)
        self.install.write_file("SentrelSvc.policy.json", policy_json([rule_json("command", "Echo", match_name="arg_echo.exe")]))
        self.assertEqual(self.install.sc("start", "SentrelSvc")[0], 0)
        self.wait_running()
        self.install.wait_service_ready()
        self.assertIn("service started, rules=1", self.log_messages())

        # The product works: the protected command waits for MFA in the dialog, then runs.
        self.install.start_display()
        self.install.start("SentrelUI.exe", "--pipe")  # the user's dialog host, on this display
        code, out = self.install.wait_for("pipe", "SentrelUI", "30000")
        self.assertEqual(code, 0, "the dialog host's pipe did not appear: " + out)
        # A name with a path: runguard never takes a bare name from the current folder.
        guarded = self.install.start("runguard.exe", "run", "--", ".\\arg_echo.exe", "installed", cwd=win_to_unix(TOOLS_WIN))
        driver = lambda *a: self.install.run(TOOLS_WIN + r"\ui_driver.exe", *a, env={"DISPLAY": self.install.display})  # noqa: E731
        self.assertTrue(wait_until(lambda: guarded.poll() is not None or driver("wait", "500")[0] == 0, timeout=60),
                        "no dialog appeared")
        self.assertIsNone(guarded.poll(), "runguard ended without a dialog: %r %r"
                          % (guarded.stderr.read().decode("utf-8", "replace"), self.log_messages()[-6:]))
        self.assertEqual(driver("type", self.server.control("GET", "totp/alice")["code"])[0], 0)
        guarded.wait(60)
        self.assertEqual(guarded.returncode, 0, guarded.stderr.read())
        self.assertIn("[installed]", guarded.stdout.read().decode("utf-8", "replace"))

        # Removal: programs and service gone (the running dialog host ended, so its file could go);
        # settings, rules and audit log kept; the log says so.
        self.assertEqual(len(self.install.installed_processes(lambda c: b"sentrelui.exe" in c)), 1)
        settings_bytes = read_bytes(os.path.join(self.install.folder, "SentrelSvc.json"))
        code, log = self.msiexec("/x", self.msi("old.msi"))
        self.assertEqual(code, 0, log[-3000:])
        self.assertFalse(self.service_registered())
        self.assertIsNone(event_source(), "the event source outlived the product")
        self.assertEqual(self.install.installed_processes(), [])
        self.assertEqual(self.installed_files(), ["SentrelSvc.json", "SentrelSvc.policy.json"])
        self.assertEqual(read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")), settings_bytes)
        messages = self.log_messages()
        self.assertEqual(messages[-3:], ["uninstall authorized: via MSI, proceeding", "service stopped",
                                         "uninstall complete: result=1"])

    def test_registration_equals_the_install_command(self):
        code, log = self.msiexec("/i", self.msi("old.msi"))
        self.assertEqual(code, 0, log[-3000:])
        self.wait_running()
        by_msi = self.registration()
        source_by_msi = event_source()
        self.assertFalse(os.path.exists(os.path.join(self.install.folder, "SentrelSvc.json")),
                         "without properties no settings file: the console's setup wizard runs on first use")
        self.assertEqual(self.msiexec("/x", self.msi("old.msi"))[0], 0)
        self.install.lay_out()
        self.install.service_created = True  # removed by the clean-up
        code, out, err = self.install.run("SentrelSvc.exe", "install")
        self.assertEqual(code, 0, out + err)
        by_command = self.registration()
        self.assertEqual(event_source(), source_by_msi)
        self.assertEqual(source_by_msi, INSTALLED_SOURCE)
        keys = ("DisplayName", "Start", "Type", "ErrorControl", "ObjectName", "ImagePath", "FailureActions",
                "Description", "DependOnService")
        self.assertEqual({k: by_msi.get(k) for k in keys}, {k: by_command.get(k) for k in keys})


class Upgrade(MsiCase):
    def test_newer_version_keeps_both_json_files_and_restarts_the_service(self):
        os.makedirs(self.install.folder)
        policy = policy_json([rule_json("command", "Echo \"quoted\"", match_path=r"C:\Tools\arg_echo.exe")])
        self.install.write_file("SentrelSvc.policy.json", policy)  # provisioned before the first install
        code, log = self.msiexec("/i", self.msi("old.msi"), *self.connection_properties())
        self.assertEqual(code, 0, log[-3000:])
        self.wait_running()
        before = {name: read_bytes(os.path.join(self.install.folder, name))
                  for name in ("SentrelSvc.json", "SentrelSvc.policy.json")}
        self.assertEqual(before["SentrelSvc.policy.json"].decode(), policy)
        old_pids = self.service_pids()
        self.assertEqual(len(old_pids), 1)

        # Other properties on the upgrade change nothing: the settings file exists.
        code, log = self.msiexec("/i", self.msi("new.msi"), "SERVER_URL=http://other.example", "API_KEY=other-key")
        self.assertEqual(code, 0, log[-3000:])
        self.assertIn("SentrelSvc.json exists and is kept as it is", log)
        self.wait_running()
        self.assertTrue(self.service_pids() and self.service_pids() != old_pids, "the service was not restarted")
        self.assertEqual(event_source(), INSTALLED_SOURCE)  # written again by the newer package
        for name, content in before.items():
            self.assertEqual(read_bytes(os.path.join(self.install.folder, name)), content, name)
        uninstall_keys = run_wine(["wine", "reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"]
                                  )[1].decode("utf-8", "replace")
        self.assertNotIn(self.product_codes[0], uninstall_keys, "the older version is still registered")
        self.assertIn(self.product_codes[1], uninstall_keys)
        # Windows runs the older version's removal with UPGRADINGPRODUCTCODE set, and our removal
        # actions then stay silent (InstallPlan unit test). Wine's RemoveExistingProducts runs a
        # plain "msiexec /i {code} REMOVE=ALL" without it, so here the log shows a removal; what
        # counts is that the new service starts afterwards with both files as they were.
        self.assertEqual(self.log_messages()[-1], "service started, rules=1")

        # The older package cannot go back over the newer one.
        # (Windows logs the launch condition's message; Wine's log only shows the condition failing.)
        code, log = self.msiexec("/i", self.msi("old.msi"))
        self.assertEqual(code, 1603, log[-3000:])
        self.assertIn("WIX_DOWNGRADE_DETECTED = " + self.product_codes[1], log)
        self.wait_running()
        self.assertIn(self.product_codes[1], run_wine(
            ["wine", "reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"])[1].decode(
            "utf-8", "replace"))


class Maintenance(MsiCase):
    def assert_maintenance_ran(self, code, log, run):
        """The plan ignored the properties. Under Wine the repair itself then fails later, in the
        service's configuration: Wine's service manager is no LocalSystem and may not change the
        protected service key (Windows' is); whatever its outcome, it must write nothing."""
        ours = [line for line in log.split("\n") if line.startswith("Sentrel: ")]
        self.assertIn("Sentrel: properties ignored on maintenance", ours, run)
        if code != 0:
            self.assertEqual(code, 1603, (run, ours))
            self.assertTrue(any(line.startswith("Sentrel: The service SentrelSvc cannot be configured") for line in ours),
                            (run, ours))

    def test_a_repair_with_properties_writes_nothing(self):
        code, log = self.msiexec("/i", self.msi("old.msi"))
        self.assertEqual(code, 0, log[-3000:])
        self.wait_running()
        elsewhere = WORK_WIN + r"\steered\audit.cmd"
        steering = ["SERVER_URL=http://mfa.attacker.example", "API_KEY=any", "MFA_USERNAME=whoever",
                    "LOG_FILE=" + elsewhere]
        # The repair of the report: a reinstall of everything, properties on the command line.
        code, log = self.msiexec(*(["/i", self.product_codes[0], "REINSTALL=ALL", "REINSTALLMODE=vomus"] + steering))
        self.assert_maintenance_ran(code, log, "without a settings file")
        self.assertNotIn("SentrelSvc.json will be written", log)
        self.assertFalse(os.path.exists(os.path.join(self.install.folder, "SentrelSvc.json")))
        self.assertFalse(os.path.exists(win_to_unix(WORK_WIN + r"\steered")))

        # An existing settings file stays byte for byte (changed, as documented, while stopped).
        code, out, err = self.install.run("SentrelSvc.exe", "stop")
        self.assertEqual(code, 0, out + err)
        settings = settings_json(server_url="http://127.0.0.1:1", api_key="kept")
        self.install.write_file("SentrelSvc.json", settings)
        code, log = self.msiexec(*(["/i", self.product_codes[0], "REINSTALL=ALL", "REINSTALLMODE=vomus"] + steering))
        self.assert_maintenance_ran(code, log, "with a settings file")
        self.assertEqual(read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")).decode(), settings)


class BadInput(MsiCase):
    def assert_refused(self, code, log, message):
        self.assertEqual(code, 1603, log[-3000:])
        self.assertIn(message, log)
        self.assertIn("Nothing was changed.", log)

    def test_a_service_installed_by_hand_is_not_taken_over(self):
        settings = settings_json(server_url="http://127.0.0.1:1", api_key="by-hand")
        self.install.lay_out(settings=settings, policy=policy_json([]))
        self.install.service_created = True
        self.assertEqual(self.install.run("SentrelSvc.exe", "install")[0], 0)
        self.wait_running()
        pids = self.service_pids()
        code, log = self.msiexec("/i", self.msi("old.msi"), *self.connection_properties())
        self.assert_refused(code, log, "A service named SentrelSvc is already registered (\"C:\\Program Files\\Sentrel\\SentrelSvc.exe\")")
        self.assertIn("SentrelSvc.exe uninstall", log)
        self.assertEqual(self.service_pids(), pids, "the running service was touched")
        self.assertEqual(read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")).decode(), settings)

    def test_wrong_properties_are_refused_before_anything_changes(self):
        cases = [(["SERVER_URL=http://127.0.0.1:1"], "API_KEY is missing"),
                 (self.connection_properties()[:2] + ["LANGUAGE=fr-FR"], "LANGUAGE must be zh-CN or en-US"),
                 (self.connection_properties()[:2] + ["ADDRESS=" + "a" * 600], "ADDRESS is too long")]
        for args, message in cases:
            code, log = self.msiexec("/i", self.msi("old.msi"), *args)
            self.assert_refused(code, log, message)
            self.assertEqual(self.installed_files(), [])
            self.assertFalse(self.service_registered())

    def test_quotation_marks_and_backslashes_are_escaped_in_the_settings_file(self):
        # The values as Windows' msiexec passes SERVER_URL="..." with "" for each quotation mark.
        values = {"SERVER_URL": 'http://127.0.0.1:1/base\\path"x', "API_KEY": 'k"e\\y', "MFA_USERNAME": 'CORP\\al"ice'}
        msi = os.path.join(self.work, "quoted.msi")
        shutil.copy(os.path.join(self.work, "old.msi"), msi)
        for name, value in values.items():
            subprocess.run(["msibuild", msi, "-q", "INSERT INTO `Property` (`Property`, `Value`) VALUES ('%s', '%s')"
                            % (name, value.replace("'", "''"))], check=True, capture_output=True, timeout=60)
        code, log = self.msiexec("/i", self.msi("quoted.msi"), "LOG_FILE=C:\\ProgramData\\Sentrel\\other\\audit.log")
        self.assertEqual(code, 0, log[-3000:])
        settings = read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")).decode("utf-8")
        self.assertEqual(settings, settings_json(server_url=values["SERVER_URL"], api_key=values["API_KEY"],
                                                 mfa_username=values["MFA_USERNAME"],
                                                 log_file=r"C:\ProgramData\Sentrel\other\audit.log"))
        self.assertIn('"server_url": "http://127.0.0.1:1/base\\\\path\\"x"', settings)
        self.wait_running()
        self.assertTrue(wait_until(lambda: self.log_messages(win_to_unix(r"C:\ProgramData\Sentrel\other\audit.log"))))
        self.assertEqual(self.msiexec("/x", self.msi("quoted.msi"))[0], 0)

    def test_a_failed_install_rolls_back_and_keeps_what_was_there(self):
        # A package whose service program cannot run as a service: StartServices fails, late.
        broken_bin = os.path.join(self.work, "broken-bin")
        os.makedirs(broken_bin, exist_ok=True)
        for exe in EXECUTABLES:
            shutil.copy(os.path.join(BIN, "arg_echo.exe" if exe == "SentrelSvc.exe" else exe), os.path.join(broken_bin, exe))
        build_msi = os.path.join(os.path.dirname(__file__), "../../installer/build_msi.py")
        subprocess.run([sys.executable, build_msi, "--bin", broken_bin, "--actions",
                        os.path.join(BUILD, "installer", "SentrelActions.dll"),
                        "--icon", os.path.join(BUILD, "resources", "sentrel.ico"), "--version", VERSION,
                        "--out", os.path.join(self.work, "broken.msi")], check=True, timeout=300)
        os.makedirs(self.install.folder)
        policy = policy_json([rule_json("command", "Kept", match_name="arg_echo.exe")])
        self.install.write_file("SentrelSvc.policy.json", policy)

        # Windows ends a failed installation with 1603; Wine's msi says 1627 when a standard action
        # (here StartServices) fails.
        code, log = self.msiexec("/i", self.msi("broken.msi"), *self.connection_properties())
        self.assertIn(code, (1603, 1627), log[-3000:])
        self.assertIn("SentrelSvc.json written from the properties", log)  # written, then rolled back
        self.assertEqual(self.installed_files(), ["SentrelSvc.policy.json"])
        self.assertEqual(read_bytes(os.path.join(self.install.folder, "SentrelSvc.policy.json")).decode(), policy)
        self.assertFalse(self.service_registered())

        # A settings file that was there before is not the installer's to take back.
        settings = settings_json(server_url="http://127.0.0.1:1", api_key="kept")
        self.install.write_file("SentrelSvc.json", settings)
        code, log = self.msiexec("/i", self.msi("broken.msi"), *self.connection_properties())
        self.assertIn(code, (1603, 1627), log[-3000:])
        self.assertEqual(self.installed_files(), ["SentrelSvc.json", "SentrelSvc.policy.json"])
        self.assertEqual(read_bytes(os.path.join(self.install.folder, "SentrelSvc.json")).decode(), settings)

    def test_a_failure_of_the_last_custom_action_leaves_nothing_behind(self):
        # The same package with the service's configuration made to fail: the last of our deferred
        # actions, after the files, the settings and the service entry exist. A property action
        # right after the plan hands it a program path longer than any service's image path.
        failing = os.path.join(self.work, "failing.msi")
        shutil.copy(os.path.join(self.work, "old.msi"), failing)
        for query in ("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                      "('SentrelBreakConfigure', 51, 'SentrelConfigureService', 'C:\\%s.exe')" % ("x" * 1100),
                      "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
                      "('SentrelBreakConfigure', 'SentrelConfigureService', 1020)"):
            subprocess.run(["msibuild", failing, "-q", query], check=True, capture_output=True, timeout=60)
        code, log = self.msiexec("/i", self.msi("failing.msi"), *self.connection_properties())
        self.assertEqual(code, 1603, log[-3000:])
        self.assertIn("The service's program path is unknown or too long.", log)
        self.assertIn("SentrelSvc.json written from the properties", log)  # written, then rolled back
        self.assertFalse(self.service_registered(), self.install.service_state())
        self.assertEqual(self.installed_files(), [])
        # The same package unchanged then installs in the same prefix: nothing stale is in its way.
        code, log = self.msiexec("/i", self.msi("old.msi"), *self.connection_properties())
        self.assertEqual(code, 0, log[-3000:])
        self.wait_running()

    def test_a_log_folder_that_cannot_be_made_stops_the_install(self):
        with open(PROGRAM_DATA, "w") as f:  # a file where the folder C:\ProgramData\Sentrel belongs
            f.write("not a folder")
        code, log = self.msiexec("/i", self.msi("old.msi"), *self.connection_properties())
        self.assert_refused(code, log, "The audit log cannot be written to C:\\ProgramData\\Sentrel: a file stands where")
        self.assertEqual(self.installed_files(), [])
        self.assertFalse(self.service_registered())


if __name__ == "__main__":
    from harness import main
    main()
