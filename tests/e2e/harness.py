"""End-to-end harness: lays the built executables into the Wine prefix as an install would,
writes the two JSON files, runs the programs (console and GUI), reads the log, and always stops
what it started (by pid)."""

import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("SENTREL_BIN", os.path.abspath(os.path.join(os.path.dirname(__file__), "../../build/bin")))
PREFIX = os.environ.get("SENTREL_WINEPREFIX", os.path.abspath(os.path.join(BIN, "../wineprefix")))

INSTALL_WIN = r"C:\Program Files\Sentrel"
LOG_WIN = INSTALL_WIN + r"\logs\sentrel.log"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Sentrel"

EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")


def wine_env(extra=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree,mshtml="
    if extra:
        env.update(extra)
    return env


def win_to_unix(path):
    """C:\\a\\b -> <prefix>/drive_c/a/b"""
    drive, rest = path[0].lower(), path[3:]
    return os.path.join(PREFIX, "drive_" + drive, *rest.split("\\"))


def json_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "\\r")


def settings_json(**values):
    keys = ["server_url", "api_key", "mfa_username", "address", "country_code", "client_ip",
            "admin_auth_mode", "log_file", "language"]
    values.setdefault("log_file", LOG_WIN)
    if "allow_plain_http" in values:  # optional: written only when given, as the product does
        keys.append("allow_plain_http")
    lines = ['  "%s": "%s"' % (k, json_escape(values.get(k, ""))) for k in keys]
    return "{\n" + ",\n".join(lines) + "\n}\n"


def rule_json(type="command", display_name="Rule", match_name="", match_path="", args_contains="",
              auth_mode="totp", cache_window_seconds=300, enabled=True, match_original_name="", match_sha256=""):
    identity = "".join(' "%s": "%s",' % (key, json_escape(value))
                       for key, value in (("match_original_name", match_original_name), ("match_sha256", match_sha256))
                       if value)
    return ('{ "type": "%s", "display_name": "%s", "match_name": "%s", "match_path": "%s", '
            '"args_contains": "%s",%s "auth_mode": "%s", "cache_window_seconds": %d, "enabled": %s }'
            % (type, json_escape(display_name), json_escape(match_name), json_escape(match_path),
               json_escape(args_contains), identity, auth_mode, cache_window_seconds, "true" if enabled else "false"))


def policy_json(rules):
    return "{\n  \"rules\": [" + ",".join("\n    " + r for r in rules) + "\n  ]\n}\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Install:
    """One test's install folder and the processes started in it."""

    def __init__(self, folder=INSTALL_WIN):
        self.folder_win = folder
        self.folder = win_to_unix(folder)
        self.processes = []
        self.other_folders = []  # Windows folders whose programs the test runs besides the install
        self.display = None
        self.xvfb = None
        self.service_created = False

    # --- laying out ---------------------------------------------------------------------------
    def lay_out(self, settings=None, policy=None, executables=EXECUTABLES, replace=None):
        """Copies the executables (replace maps an installed name to another built program)."""
        if os.path.isdir(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        replace = replace or {}
        for name in executables:
            source = os.path.join(BIN, replace.get(name, name))
            shutil.copy(source, os.path.join(self.folder, name))
        self.write_file("SentrelSvc.json", settings if settings is not None else settings_json())
        if policy is not None:
            self.write_file("SentrelSvc.policy.json", policy)
        return self

    def write_file(self, name, text):
        with open(os.path.join(self.folder, name), "w", encoding="utf-8", newline="") as f:
            f.write(text)

    def path_win(self, name):
        return self.folder_win + "\\" + name

    # --- running ------------------------------------------------------------------------------
    def command(self, exe, args):
        target = exe if (":" in exe or "\\" in exe) else self.path_win(exe)
        return ["wine", target] + list(args)

    def run(self, exe, *args, timeout=60, cwd=None, env=None, input=None):
        """Runs to the end; returns (exit code, stdout text, stderr text)."""
        code, out, err = run_wine(self.command(exe, args), cwd=cwd or self.folder, env=env, timeout=timeout,
                                  input=input)
        return code, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")

    def start(self, exe, *args, env=None, cwd=None):
        """Starts in the background; stopped by stop_all(). Its stdout and stderr are Output
        objects (read, readline), kept in files. A marked tool gets process.start_mark, for
        start_reached()."""
        extra = dict(env or {})
        if self.display:
            extra["DISPLAY"] = self.display
        command = self.command(exe, args)
        mark = StartMark(command)
        out, err = Output(), Output()
        process = subprocess.Popen(command, cwd=cwd or self.folder, env=wine_env(mark.env(extra)),
                                   stdout=out.file, stderr=err.file, stdin=subprocess.DEVNULL)
        out.process = err.process = process
        process.stdout, process.stderr = out, err
        process.start_mark = mark
        self.processes.append(process)
        return process

    def start_reached(self, process, command_name):
        """For a marked tool that has ended: False (after saying so) when Wine never started it, so
        the caller may start it once more."""
        if not process.start_mark.never_started():
            return True
        report_infrastructure_failure(["wine", command_name], process.returncode,
                                      (process.stdout.read() + process.stderr.read()).decode("utf-8", "replace"))
        return False

    def start_display(self):
        """An Xvfb display of our own for GUI programs. Xvfb picks a free display number itself and
        writes it to us once it accepts clients (-displayfd), so there is no race for a number with
        other displays on the machine and no wait for a guessed time."""
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                                          "-nolisten", "tcp"], pass_fds=(write_end,),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.time() + 30
            while not number.endswith(b"\n"):
                if not select.select([read_end], [], [], max(0.0, deadline - time.time()))[0]:
                    raise RuntimeError("Xvfb gave no display number within 30 s")
                chunk = os.read(read_end, 16)  # Xvfb ending closes the pipe: an empty read
                if not chunk:
                    raise RuntimeError("Xvfb ended without a display (exit code %s)" % self.xvfb.wait(10))
                number += chunk
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.display = ":" + number.decode().strip()
        # Wine's desktop process (explorer.exe /desktop) draws for every window of the prefix on the
        # display it was started with. One started earlier without a display (by any program that
        # touched the window manager, msiexec for one) makes every later window fail: it is ended,
        # and the next window starts it again on this display.
        self.end_prefix_processes(lambda cmdline: cmdline.startswith(b"c:\\windows\\system32\\explorer.exe"))
        # The service starts the dialog host (and relaunched programs) with the user's own
        # environment, not its own: under Wine the display they open is the user's DISPLAY
        # variable, as Windows keeps a user's variables in HKCU\Environment.
        code, out, err = run_wine(["wine", "reg", "add", r"HKCU\Environment", "/v", "DISPLAY", "/d", self.display, "/f"])
        if code != 0:
            raise RuntimeError("reg add DISPLAY failed: %r" % (out + err))
        return self.display

    def stop(self, process, timeout=5):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for stream in (process.stdout, process.stderr):
            if stream:
                stream.close()
        if getattr(process, "start_mark", None):
            process.start_mark.close()

    def stop_all(self):
        for process in self.processes:
            self.stop(process)
        self.processes = []
        if self.service_created:
            self.remove_service()
            remove_event_source()  # what install registered beside the service
            self.service_created = False
        self.kill_installed_processes()
        # A killed process's pipes and mutexes go a moment after the process: the next test starts
        # only once they are gone.
        code, out = self.wait_for("free", "15000")
        self.stop_display()
        if code != 0:
            raise AssertionError("processes of the test outlived it: " + out.strip())

    def stop_display(self):
        if self.display:
            subprocess.run(["wine", "reg", "delete", r"HKCU\Environment", "/v", "DISPLAY", "/f"], env=wine_env(),
                           capture_output=True, timeout=60)
            self.display = None
        if self.xvfb:
            # SIGTERM lets Xvfb remove its lock file, so the display number is free again.
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None

    def installed_processes(self, which=None):
        """Unix pids of Wine processes of our prefix running a program of the install folder (or of
        a folder the test added to other_folders), including those the programs started themselves
        (the dialog host, relaunched programs)."""
        folders = [f.lower().encode() for f in [self.folder_win] + self.other_folders]
        return prefix_processes(lambda cmdline: any(f in cmdline for f in folders) and (which is None or which(cmdline)))

    def end_prefix_processes(self, which):
        """Ends processes of our prefix whose lower-case command line passes which (by pid), and waits
        until they are gone."""
        for pid in prefix_processes(which):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if not wait_until(lambda: not prefix_processes(which), timeout=10):
            raise AssertionError("processes of the prefix did not end: %r" % prefix_processes(which))

    def kill_installed_processes_named(self, name):
        self.kill_installed_processes(lambda cmdline: name.lower().encode() in cmdline)

    def kill_installed_processes(self, which=None):
        for pid in self.installed_processes(which):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        wait_until(lambda: not self.installed_processes(which), timeout=5)

    # --- readiness ----------------------------------------------------------------------------
    def wait_for(self, *args):
        """tools/wait_for from the build folder: (exit code, output); never connects to anything."""
        limit_ms = int(args[-1]) if args and args[-1].isdigit() else 15000
        code, out, err = run_wine(["wine", os.path.join(BIN, "wait_for.exe")] + list(args), timeout=limit_ms / 1000 + 60)
        return code, (out + err).decode("utf-8", "replace")

    def wait_service_ready(self, process=None, timeout=30):
        """Waits until the service's auth pipe waits for a client: it exists from the moment the
        service is running. With the process of a console run, fails at once when it ends."""
        deadline = time.time() + timeout
        while True:
            code, out = self.wait_for("pipe", "SentrelAuth", "1000")
            if code == 0:
                return
            if process is not None and process.poll() is not None:
                raise AssertionError("the service ended before its pipe was there (exit code %s): %r %r"
                                     % (process.returncode, process.stdout.read().decode("utf-8", "replace"),
                                        process.stderr.read().decode("utf-8", "replace")))
            if time.time() >= deadline:
                raise AssertionError("the service's pipe was not there within %d s: %s" % (timeout, out.strip()))

    def start_console_service(self, env=None):
        """`SentrelSvc.exe run` of this install, once an earlier service (of this test or the
        previous one) is really gone; returns when it answers on its pipe."""
        self.assert_free("free-service")
        process = self.start("SentrelSvc.exe", "run", env=env)
        self.wait_service_ready(process)
        return process

    def assert_free(self, what="free"):
        code, out = self.wait_for(what, "15000")
        if code != 0:
            raise AssertionError("an earlier service or dialog host is still there (wait_for exit code %s): %s"
                                 % (code, out.strip()))

    # --- service control manager ---------------------------------------------------------------
    def sc(self, *args, timeout=30):
        code, out, _ = run_wine(["wine", "sc"] + list(args), timeout=timeout)
        return code, out.decode("utf-8", "replace")

    def create_service(self):
        """Registers SentrelSvc.exe of this install with the service control manager (any old
        registration is stopped and removed first; stop_all removes this one)."""
        self.remove_service()
        self.service_created = True
        return self.sc("create", "SentrelSvc", "binPath=", '"%s"' % self.path_win("SentrelSvc.exe"))

    def start_registered_service(self):
        """Registers this install's SentrelSvc.exe, starts it through the service control manager
        and waits until the manager reports it running and its pipe answers."""
        self.assert_free("free-service")
        code, out = self.create_service()
        assert code == 0, out
        code, out = self.sc("start", "SentrelSvc")
        assert code == 0, out
        self.wait_service_running()

    def wait_service_running(self, timeout=30):
        if not wait_until(lambda: "RUNNING" in self.service_state(), timeout=timeout):
            raise AssertionError("the service manager did not report SentrelSvc running within %d s: %s"
                                 % (timeout, self.service_state()))
        self.wait_service_ready(timeout=timeout)

    def host_script(self, *actions):
        """The scripted dialog host's actions (tools/test_dialog_host), one per request."""
        self.write_file("test_dialog_script.txt", "\n".join(actions) + "\n")

    def service_state(self):
        return self.sc("query", "SentrelSvc")[1]

    def remove_service(self):
        """Stops and deletes the service, and waits until the manager has really removed it (an
        entry marked for deletion stays until its process has ended, and would refuse the next
        test's install)."""
        self.sc("stop", "SentrelSvc")
        wait_until(lambda: "RUNNING" not in self.service_state() and "PENDING" not in self.service_state(), timeout=15)
        self.sc("delete", "SentrelSvc")
        if not wait_until(lambda: self.sc("query", "SentrelSvc")[0] != 0, timeout=30):
            raise AssertionError("the service entry was not removed within 30 s: " + self.service_state())

    # --- the log ------------------------------------------------------------------------------
    def log_path(self):
        return win_to_unix(LOG_WIN)

    def clear_log(self):
        if os.path.exists(self.log_path()):
            os.remove(self.log_path())

    def read_log(self):
        try:
            with open(self.log_path(), encoding="utf-8-sig", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_messages(self):
        """The messages of the log, without time stamps."""
        out = []
        for line in self.read_log().replace("\r\r\n", "\n").split("\n"):
            if line.startswith("[") and "] " in line:
                out.append(line.split("] ", 1)[1])
        return out

    def wait_for_log(self, message, timeout=15):
        """For asserting an outcome the product logs (a line written at most moments after what the
        test waited for); never as a sign that something is ready."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(message in m for m in self.log_messages()):
                return True
            time.sleep(0.1)
        return False


def prefix_processes(which):
    """Unix pids of the processes of our Wine prefix (not this one) whose lower-case command line
    passes which."""
    prefix = ("WINEPREFIX=" + PREFIX).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().lower()
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if prefix in environ and which(cmdline):
            pids.append(int(entry))
    return pids


class Output:
    """One stream of a started program, kept in a file rather than a pipe. Under Wine a program can
    start one of Wine's own helper processes (the desktop process of a new display, a service of
    the prefix), which inherits its handles and lives on: a pipe would then never reach its end and
    a reader would wait for good. A file has an end whoever else holds it."""

    def __init__(self):
        self.file = tempfile.TemporaryFile()
        self.position = 0
        self.process = None

    def _available(self):
        return os.pread(self.file.fileno(), 1 << 20, self.position) if not self.file.closed else b""

    def read(self):
        """Everything written since the last read (all of it, once the program has ended)."""
        data = b""
        while True:
            chunk = self._available()
            if not chunk:
                return data
            data += chunk
            self.position += len(chunk)

    def readline(self, timeout=30):
        """The next whole line, waiting for it while the program runs (at most timeout seconds);
        whatever is left when the program ends or the time is up."""
        deadline = time.time() + timeout
        while True:
            data = self._available()
            end = data.find(b"\n")
            if end >= 0:
                self.position += end + 1
                return data[:end + 1]
            if (self.process is not None and self.process.poll() is not None) or time.time() >= deadline:
                self.position += len(data)
                return data
            time.sleep(0.02)

    def close(self):
        self.file.close()


# Our test programs that write the start mark (tools/start_mark.h) before anything else.
MARKED_TOOLS = ("wait_for.exe", "report_exit.exe", "ui_driver.exe")


# What Wine itself prints when it could not start a program at all (its start.exe resolving a
# program name and failing to create the process): the program never ran.
WINE_START_FAILURES = (b"ShellExecuteEx failed",)


class StartMark:
    """A start-mark file for one run of a marked tool: a run that ends without it never reached the
    program (Wine could not start it), which is an infrastructure failure, not the program's result."""

    def __init__(self, command):
        self.path = None
        if len(command) > 1 and command[1].replace("\\", "/").split("/")[-1].lower() in MARKED_TOOLS:
            handle, self.path = tempfile.mkstemp(prefix="sentrel-mark.")
            os.close(handle)

    def env(self, env):
        """The environment of the next start, its mark not yet there."""
        if self.path is None:
            return env
        self.close()
        return dict(env or {}, SENTREL_START_MARK="Z:" + self.path.replace("/", "\\"))

    def never_started(self, said=b""):
        """True when the run never reached the program: a marked tool left no mark; any other
        program (Wine's own sc, reg, msiexec write no mark) when Wine said it could not start it."""
        if self.path is not None:
            return not os.path.exists(self.path)
        return any(text in said for text in WINE_START_FAILURES)

    def close(self):
        if self.path is not None and os.path.exists(self.path):
            os.unlink(self.path)


def report_infrastructure_failure(command, code, said):
    sys.stderr.write("harness: INFRASTRUCTURE FAILURE, not a test result: Wine did not start %s (exit code %s;"
                     " Wine said: %r); starting it once more\n" % (command[1], code, said[-400:]))


def run_wine(command, cwd=None, env=None, timeout=60, input=None):
    """Runs a Wine command to its end: (exit code, stdout bytes, stderr bytes). Output goes through
    files, never pipes (see Output), so the end of the program is the end of the wait. A marked tool
    that Wine never started is started once more."""
    mark = StartMark(command)
    try:
        for attempt in (1, 2):
            code, out, err = run_wine_once(command, cwd, mark.env(env), timeout, input)
            if attempt == 2 or not mark.never_started(out + err):
                return code, out, err
            report_infrastructure_failure(command, code, (out + err).decode("utf-8", "replace"))
    finally:
        mark.close()


def run_wine_once(command, cwd, env, timeout, input):
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        stdin = None
        if input is not None:
            stdin = tempfile.TemporaryFile()
            stdin.write(input)
            stdin.seek(0)
        try:
            process = subprocess.Popen(command, cwd=cwd, env=wine_env(env), stdout=out, stderr=err,
                                       stdin=stdin if stdin is not None else subprocess.DEVNULL)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                out.seek(0)
                err.seek(0)
                raise AssertionError("%r did not end within %s s; its output so far: %r %r"
                                     % (command, timeout, out.read()[-2000:], err.read()[-2000:]))
        finally:
            if stdin is not None:
                stdin.close()
        out.seek(0)
        err.seek(0)
        return process.returncode, out.read(), err.read()


def export_service_key():
    """The SentrelSvc service's registry key as reg export writes it (UTF-16 .reg text). A failed
    export says what reg answered instead of leaving a missing file to explain."""
    with tempfile.TemporaryDirectory() as folder:
        target = os.path.join(folder, "service.reg")
        code, out, err = run_wine(["wine", "reg", "export", r"HKLM\SYSTEM\CurrentControlSet\Services\SentrelSvc",
                                   "Z:" + target.replace("/", "\\"), "/y"], timeout=60)
        if code != 0 or not os.path.exists(target):
            said = (out + err).decode("utf-8", "replace")[-3000:]
            raise AssertionError("reg export of the service key failed (exit %s): %r" % (code, said))
        with open(target, encoding="utf-16") as f:
            return f.read()


def event_source():
    """The event source's registry values as reg query shows them (name -> (type, data)), or None
    when the source is not registered."""
    code, out, _ = run_wine(["wine", "reg", "query", EVENT_SOURCE_KEY], timeout=60)
    if code != 0:
        return None
    values = {}
    for line in out.decode("utf-8", "replace").splitlines():
        parts = line.strip().split("    ")
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2])
    return values


def remove_event_source():
    run_wine(["wine", "reg", "delete", EVENT_SOURCE_KEY, "/f"], timeout=60)


def observe_for(seconds, what):
    """A check that something does NOT happen: watches for a fixed time (what says what would go
    wrong meanwhile). The only fixed waits of the tests; readiness is always waited for."""
    assert what
    time.sleep(seconds)


def wait_until(predicate, timeout=15, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


class E2ETestCase(unittest.TestCase):
    """Each test gets a fresh install folder; everything it started is stopped afterwards."""

    def setUp(self):
        self.install = Install()
        self.install.kill_installed_processes()  # leftovers of an interrupted run
        self.addCleanup(self.install.stop_all)
        self.install.assert_free()


def main():
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
