"""The authentication dialog end to end: runguard -> SentrelSvc -> broker -> SentrelUI.exe --pipe
showing the dialog on an Xvfb display -> test MFA server. The dialog is driven from outside with
tools/ui_driver, which types into it, presses its buttons and reads its texts. Screenshots are
saved under <build>/screenshots for a person to look at."""

import os
import subprocess
import time

from harness import BIN, run_wine, settings_json, wait_until
from mfa_fixture import API_KEY, SECRET, MfaServerCase, mfa_server

SCREENSHOTS = os.path.abspath(os.path.join(BIN, "..", "screenshots"))
EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "arg_echo.exe", "ui_driver.exe")


def link_cjk_font():
    """Windows links "Segoe UI" to a Chinese font for the glyphs it lacks; gives the Wine prefix the
    same link to the installed CJK font, so Chinese texts show in the screenshots."""
    run_wine(["wine", "reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink",
              "/v", "Segoe UI", "/t", "REG_MULTI_SZ", "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei", "/f"])


class DialogCase(MfaServerCase):
    """One test MFA server per class; per test a fresh install with the policy of policy(), a display
    and the service running."""
    executables = EXECUTABLES

    @classmethod
    def setUpClass(cls):
        link_cjk_font()
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.install.start_display()
        self.install.lay_out(settings=self.settings("en-US"), policy=self.policy(), executables=self.executables)
        self.service = self.start_service()

    def policy(self):
        raise NotImplementedError

    def restart_service(self, settings):
        """The running service puts its settings file back when it changes: change it while the
        service is stopped (start_service waits until the stopped one is gone)."""
        self.install.stop(self.service)
        self.install.write_file("SentrelSvc.json", settings)
        self.service = self.start_service()

    def start_service(self):
        return self.install.start_console_service()

    def settings(self, language, server_url=None):
        return settings_json(server_url=server_url or "http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                             mfa_username="alice", language=language)

    # --- helpers ------------------------------------------------------------------------------
    def driver(self, *args):
        code, out, err = self.install.run("ui_driver.exe", *args, env={"DISPLAY": self.install.display})
        return code, out.replace("\r\n", "\n")

    def open_dialog(self, *args, exe="arg_echo.exe"):
        """Starts a guarded command and waits for its dialog; returns the runguard process. The
        first round starts the host cold, which under Wine takes longer than the broker's usual
        start-up wait: the broker keeps waiting while the host it started is still running."""
        process = self.install.start("runguard.exe", "run", "--", exe, *args)
        if not wait_until(lambda: process.poll() is not None or self.driver("wait", "500")[0] == 0, timeout=30):
            self.fail("no dialog appeared")
        if process.poll() is not None:
            self.fail("refused without a dialog: %r" % (self.finish(process, timeout=5),))
        return process

    def texts(self):
        """Control id (or "caption") -> (visible, text)."""
        code, out = self.driver("texts")
        self.assertEqual(code, 0)
        controls = {}
        for line in out.splitlines():
            key, visible, _, text = line.split("\t", 3)
            controls[key] = (visible == "1", text)
        return controls

    def focus(self):
        return int(self.driver("focus")[1].strip())

    def finish(self, process, timeout=60):
        process.wait(timeout)
        out = process.stdout.read().decode("utf-8", "replace").replace("\r\n", "\n")
        err = process.stderr.read().decode("utf-8", "replace").replace("\r\n", "\n")
        return process.returncode, out, err

    def current_code(self):
        return self.server.control("GET", "totp/alice")["code"]

    def wrong_code(self):
        key = mfa_server.decode_secret(SECRET)
        valid = {mfa_server.totp(key, time.time() + k * 30) for k in range(-2, 3)}
        return next(c for c in ("000000", "111111", "222222", "333333", "444444", "555555") if c not in valid)

    def screenshot(self, name, client_height=309):
        # Under Wine without a window manager the frame and caption are not drawn: crop to the
        # client area (the caption is checked as text).
        code, out = self.driver("client")
        self.assertEqual(code, 0)
        self.assertEqual([int(v) for v in out.split()][2:], [440, client_height])
        x, y, w, h = (int(v) for v in out.split())
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name + ".png")
        subprocess.run(["import", "-display", self.install.display, "-window", "root",
                        "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path], check=True, timeout=30)
        return path

    def host_pids(self):
        return sorted(self.install.installed_processes(lambda cmdline: b"sentrelui.exe" in cmdline))

