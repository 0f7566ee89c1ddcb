"""The management console end to end: SentrelUI.exe without --pipe on an Xvfb display, its
administrator gate answered in the real MFA dialog with codes from the test MFA server, and every
window of it driven from outside with tools/ui_driver (-w picks the window class). Screenshots are
saved under <build>/screenshots for a person to look at."""

import json
import os
import subprocess
import tempfile

from dialog_fixture import SCREENSHOTS, link_cjk_font
from harness import policy_json, rule_json, settings_json, wait_until, wine_env
from mfa_fixture import API_KEY, MfaServerCase

EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "ui_driver.exe", "hold_file.exe")
CONSOLE, EDITOR, SETUP, DIALOG = "SNConsole", "SNAddRule", "SNSetup", "SNAuthDlg"
ENGLISH = {"LANG": "en_US.UTF-8"}
PAGES = ("  Dashboard", "  App Rules", "  Cmd Rules", "  Audit Logs", "  Settings")
PAGES_ZH = ("  状态", "  受保护程序", "  受保护命令", "  审计日志", "  设置")


def default_rules():
    return [rule_json("program", "Notepad", match_name="notepad.exe", auth_mode="push"),
            rule_json("command", "Command Prompt", match_name="cmd.exe", match_path=r"C:\Windows\System32\cmd.exe",
                      auth_mode="push")]


class ConsoleCase(MfaServerCase):
    """Per test: a display, an install with the settings of settings() and the rules of policy()
    (None: no file), and no service. self.console is the console process once started."""
    executables = EXECUTABLES

    @classmethod
    def setUpClass(cls):
        link_cjk_font()
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.install.remove_service()
        self.install.start_display()
        settings = self.settings()
        self.install.lay_out(settings=settings if settings is not None else "", policy=self.policy(),
                             executables=self.executables)
        if settings is None:
            os.remove(self.path("SentrelSvc.json"))
        self.console = None

    def replace_service_program(self, program):
        """Lays the install out again with another built program as SentrelSvc.exe."""
        self.install.lay_out(settings=self.settings(), policy=self.policy(), executables=self.executables,
                             replace={"SentrelSvc.exe": program})

    def settings(self, language="en-US", **values):
        values.setdefault("server_url", "http://127.0.0.1:%d" % self.server.port)
        values.setdefault("api_key", API_KEY)
        values.setdefault("mfa_username", "alice")
        return settings_json(language=language, **values)

    def policy(self):
        return policy_json(default_rules())

    def path(self, name):
        return os.path.join(self.install.folder, name)

    # --- driving ------------------------------------------------------------------------------
    def driver(self, *args):
        """Runs the UI driver. Its output goes to a file, not a pipe: the first window call on a
        fresh display starts Wine's desktop process, which inherits the caller's output handles and
        would hold a pipe open long after the driver has ended."""
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(self.install.command("ui_driver.exe", args), cwd=self.install.folder,
                                  env=wine_env({"DISPLAY": self.install.display}), stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            return done.returncode, out.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def w(self, window_class, *args):
        return self.driver("-w", window_class, *args)

    def texts(self, window_class=CONSOLE):
        """Control id (or "caption") -> (visible, text); the first of equal ids wins."""
        code, out = self.w(window_class, "texts")
        self.assertEqual(code, 0, "no %s window" % window_class)
        controls = {}
        for line in out.splitlines():
            key, visible, _, text = line.split("\t", 3)
            controls.setdefault(key, (visible == "1", text))
        return controls

    def text(self, control, window_class=CONSOLE):
        return self.texts(window_class)[str(control)][1]

    def wait_window(self, window_class, timeout=20):
        code, out = self.w(window_class, "wait", str(int(timeout * 1000)))
        self.assertEqual(code, 0, "no %s window appeared within %d s" % (window_class, timeout))
        return out

    def wait_gone(self, window_class, timeout=15):
        code, _ = self.w(window_class, "gone", str(int(timeout * 1000)))
        self.assertEqual(code, 0, "the %s window did not go within %d s" % (window_class, timeout))

    def message(self, button="ok", timeout=20):
        """Waits for a message box, answers it, and returns (caption, text)."""
        code, out = self.driver("message", str(int(timeout * 1000)), button)
        self.assertEqual(code, 0, "no message box appeared within %d s" % timeout)
        caption = text = None
        for line in out.splitlines():
            key, _, _, value = line.split("\t", 3)
            if key == "caption":
                caption = value
            elif key == "65535":
                text = value
        return caption, text

    def rows(self):
        code, out = self.w(CONSOLE, "rows", "213")
        self.assertEqual(code, 0)
        return [tuple(line.split("\t")[2:]) for line in out.splitlines()]

    def page(self, index):
        self.assertEqual(self.w(CONSOLE, "press", str(200 + index))[0], 0)

    def click(self, control, window_class=CONSOLE):
        """A click that may open a window or a message box: posted, the driver does not wait."""
        self.assertEqual(self.w(window_class, "post", str(control))[0], 0)

    def set_field(self, control, value, window_class=EDITOR):
        self.assertEqual(self.w(window_class, "set", str(control), value)[0], 0)

    # --- the console and its gate -------------------------------------------------------------
    def start_console(self, env=None):
        """Starts the console; its output (and that of what it starts) goes to a file, since Wine's
        desktop process, started by the first window on a fresh display, keeps a pipe open."""
        self.console_output = tempfile.TemporaryFile()
        self.addCleanup(self.console_output.close)
        extra = dict(ENGLISH, DISPLAY=self.install.display, **(env or {}))
        self.console = subprocess.Popen(self.install.command("SentrelUI.exe", []), cwd=self.install.folder,
                                        env=wine_env(extra), stdout=self.console_output, stderr=subprocess.STDOUT)
        self.install.processes.append(self.console)
        return self.console

    def console_text_output(self):
        self.console_output.seek(0)
        return self.console_output.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def current_code(self):
        return self.server.control("GET", "totp/alice")["code"]

    def pass_gate(self, label="Open Console"):
        """Answers the administrator gate's TOTP dialog with the current code."""
        self.wait_window(DIALOG, timeout=30)
        subtitle = self.texts(DIALOG)["103"][1]
        self.assertTrue(subtitle.startswith(label + " \u2014 "), subtitle)
        self.w(DIALOG, "type", self.current_code())
        self.wait_gone(DIALOG)

    def open_console(self, env=None, gate_label="Open Console"):
        self.start_console(env)
        self.pass_gate(gate_label)
        self.wait_window(CONSOLE)

    def console_ended(self, timeout=15):
        return wait_until(lambda: self.console.poll() is not None, timeout=timeout)

    # --- files and the service ----------------------------------------------------------------
    def read(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()

    def read_when_written(self, name, timeout=15):
        """A record a program started by the console writes once it runs: the console reports the
        start when the program exists, which may be before its first line is written."""
        complete = lambda: os.path.exists(self.path(name)) and self.read(name).endswith("\n")
        self.assertTrue(wait_until(complete, timeout=timeout), "%s was not written within %d s" % (name, timeout))
        return self.read(name)

    def hold(self, name):
        """Another program holds the file open (reading, sharing only reading), so it cannot be
        replaced, as on Windows; released with release() or at the end of the test."""
        process = subprocess.Popen(self.install.command("hold_file.exe", [self.install.path_win(name)]),
                                   cwd=self.install.folder, env=wine_env(), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.install.processes.append(process)
        self.assertIn(b"held", process.stdout.readline(), "hold_file could not open " + name)
        return process

    def release(self, holder):
        holder.stdin.close()
        holder.wait(15)

    def rules(self):
        return json.loads(self.read("SentrelSvc.policy.json"))["rules"]

    def service_state(self):
        out = self.install.service_state()
        for state in ("RUNNING", "STOPPED", "START_PENDING", "STOP_PENDING"):
            if state in out:
                return state
        return None

    def wait_service(self, state, timeout=30):
        self.assertTrue(wait_until(lambda: self.service_state() == state, timeout=timeout),
                        "the service did not reach %s within %d s (now %s)" % (state, timeout, self.service_state()))

    def wait_caption(self, control, caption, timeout=30):
        """A caption the console sets once a command has finished (the console does not answer while
        it waits for SentrelSvc.exe, so this asks only every half second)."""
        ok = wait_until(lambda: self.texts().get(str(control), (None, None))[1] == caption, timeout=timeout, step=0.5)
        self.assertTrue(ok, "control %s did not read %r within %d s" % (control, caption, timeout))

    # --- screenshots --------------------------------------------------------------------------
    def screenshot(self, name, window_class=CONSOLE, size=None):
        """The window's client area (no window manager draws frames on Xvfb)."""
        code, out = self.w(window_class, "client")
        self.assertEqual(code, 0)
        x, y, width, height = (int(v) for v in out.split())
        if size:
            self.assertEqual((width, height), size)
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name + ".png")
        subprocess.run(["import", "-display", self.install.display, "-window", "root",
                        "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage", path], check=True, timeout=30)
        return path
