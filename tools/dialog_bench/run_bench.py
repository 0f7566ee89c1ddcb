"""Runs the dialog host benchmark under Wine: a fresh Wine prefix of its own, an Xvfb display, then
per run a fresh `SentrelUI.exe --pipe` (English texts) and `dialog_bench.exe <rounds>` against it.
Installs what it needs with apt-get (scripts/install-deps.sh) and builds the two programs first.
Usage: python3 tools/dialog_bench/run_bench.py [rounds] [runs]
Environment: SENTREL_BUILD, the build directory (default build/); the prefix is
<build>/dialog_bench_prefix and is made anew on every call."""

import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "../.."))
BUILD = os.path.abspath(os.environ.get("SENTREL_BUILD", os.path.join(ROOT, "build")))
BIN = os.path.join(BUILD, "bin")
PREFIX = os.path.join(BUILD, "dialog_bench_prefix")
SESSION = os.path.join(ROOT, "tests", "support", "wine-session.sh")
FOLDER_WIN = r"C:\Program Files\Sentrel"
FOLDER = os.path.join(PREFIX, "drive_c", "Program Files", "Sentrel")
DISPLAYS = range(150, 200)

SETTINGS = """{
  "server_url": "",
  "api_key": "",
  "mfa_username": "",
  "address": "",
  "country_code": "",
  "client_ip": "",
  "admin_auth_mode": "",
  "log_file": "",
  "language": "en-US"
}
"""


def wine_env(display=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree,mshtml="
    if display:
        env["DISPLAY"] = display
    return env


def build():
    subprocess.run([os.path.join(ROOT, "scripts", "install-deps.sh")], check=True)
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja",
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake"),
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "SentrelUI", "dialog_bench"], check=True,
                   stdout=subprocess.DEVNULL)


def fresh_prefix():
    if os.path.isdir(PREFIX):
        subprocess.run([SESSION, "stop", PREFIX], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(PREFIX)
    subprocess.run([SESSION, "start", PREFIX], check=True)
    os.makedirs(FOLDER)
    for name in ("SentrelUI.exe", "dialog_bench.exe"):
        shutil.copy(os.path.join(BIN, name), os.path.join(FOLDER, name))
    with open(os.path.join(FOLDER, "SentrelSvc.json"), "w", encoding="utf-8", newline="") as f:
        f.write(SETTINGS)


def start_display():
    for number in DISPLAYS:
        if os.path.exists("/tmp/.X%d-lock" % number):
            continue
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline and xvfb.poll() is None:
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                return xvfb, ":%d" % number
            time.sleep(0.1)
        stop(xvfb)
    raise RuntimeError("no free X display")


def stop(process, timeout=10):
    """SIGTERM first (Xvfb then removes its lock file), SIGKILL when that is not enough."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def linux_memory(pid):
    """The host as Linux sees it (wine runs the program in the process it was started as): resident
    anonymous memory and resident set from /proc, as a cross-check of the Windows counters."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"sentrelui.exe" not in f.read().lower():
                return "host process not found in /proc"
        with open("/proc/%d/status" % pid) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
    except OSError:
        return "host process not found in /proc"
    return "linux_view RssAnon_kb=%s VmRSS_kb=%s" % (fields["RssAnon"].split()[0], fields["VmRSS"].split()[0])


def one_run(display, rounds):
    """A fresh host, one benchmark against it; returns (exit code, output)."""
    host = subprocess.Popen(["wine", FOLDER_WIN + r"\SentrelUI.exe", "--pipe"], cwd=FOLDER, env=wine_env(display),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        done = subprocess.run(["wine", FOLDER_WIN + r"\dialog_bench.exe", str(rounds)], cwd=FOLDER,
                              env=wine_env(display), capture_output=True, timeout=600)
        output = (done.stdout + done.stderr).decode("utf-8", "replace").strip()
        return done.returncode, output + "\n" + linux_memory(host.pid)
    finally:
        stop(host)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    build()
    fresh_prefix()
    xvfb = None
    failed = False
    try:
        xvfb, display = start_display()
        for run in range(1, runs + 1):
            load = os.getloadavg()[0]
            code, output = one_run(display, rounds)
            print("run %d (load average before: %.2f):" % (run, load))
            print("  " + output.replace("\n", "\n  "))
            failed |= code != 0
    finally:
        subprocess.run([SESSION, "stop", PREFIX], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if xvfb:
            stop(xvfb)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
