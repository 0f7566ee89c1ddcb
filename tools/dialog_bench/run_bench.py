"""Runs the dialog host benchmark under Wine: a fresh Wine prefix of its own, an Xvfb display, then
per run a fresh `SentrelUI.exe --pipe` (English texts) and `dialog_bench.exe <rounds>` against it.
Installs what it needs with apt-get (scripts/install-deps.sh) and builds the two programs first.
Usage: python3 tools/dialog_bench/run_bench.py [rounds] [runs]
Environment: SENTREL_BUILD, the build directory (default build/); the prefix is
<build>/dialog_bench_prefix and is made anew on every call."""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "../.."))
BUILD = os.path.abspath(os.environ.get("SENTREL_BUILD", os.path.join(ROOT, "build")))
PREFIX = os.path.join(BUILD, "dialog_bench_prefix")
SESSION = os.path.join(ROOT, "tests", "support", "wine-session.sh")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ["SENTREL_BIN"] = os.path.join(BUILD, "bin")
os.environ["SENTREL_WINEPREFIX"] = PREFIX

import harness  # noqa: E402


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


def one_run(install, rounds):
    """A fresh host, one benchmark against it; returns (exit code, output)."""
    host = install.start("SentrelUI.exe", "--pipe")
    try:
        code, out, err = install.run("dialog_bench.exe", str(rounds), env={"DISPLAY": install.display}, timeout=600)
        return code, (out + err).strip() + "\n" + linux_memory(host.pid)
    finally:
        install.stop(host)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    build()
    fresh_prefix()
    install = harness.Install()
    failed = False
    try:
        install.lay_out(settings=harness.settings_json(language="en-US"),
                        executables=("SentrelUI.exe", "dialog_bench.exe"))
        install.start_display()
        for run in range(1, runs + 1):
            load = os.getloadavg()[0]
            code, output = one_run(install, rounds)
            print("run %d (load average before: %.2f):" % (run, load))
            print("  " + output.replace("\n", "\n  "))
            failed |= code != 0
    finally:
        install.stop_all()
        subprocess.run([SESSION, "stop", PREFIX], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
