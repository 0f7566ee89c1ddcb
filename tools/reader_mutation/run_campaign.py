"""The Win32 file readers' mutation campaign under Wine: seeded mutations of the fuzzers' settings
and policy seeds, written as files and read by the real read_utf8_file, load_settings and
load_policy into outputs that end right before a PAGE_NOACCESS page, then written back through
save_settings, save_policy and append_rule and read again. Bounded, stops by itself, prints its figures.

Usage (after a build):
    python3 tools/reader_mutation/run_campaign.py [--quick] [--files N] [--seed S]
  full:    100,000 files
  --quick: 600 files (the size the unit test ReaderMutation.* runs by itself under ctest)

The campaign is the unit test ReaderMutation.MutatedFilesStayInsideGuardedOutputsAndWhatTheWritersTakeReadsBack
of common_tests.exe, run with SENTREL_READER_MUTATIONS and SENTREL_READER_SEED. A read or write
past an output ends the process with an access violation; every other fault is a test failure
naming the file's number (the same seed and count make the same files again).
Exit code 0 when the test passed: no fault, every property held."""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from campaign import start_wine_session  # noqa: E402
import harness  # noqa: E402

TEST = "ReaderMutation.MutatedFilesStayInsideGuardedOutputsAndWhatTheWritersTakeReadsBack"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--files", type=int)
    parser.add_argument("--seed", type=int, default=24025)
    options = parser.parse_args()
    files = options.files or (600 if options.quick else 100000)
    start_wine_session(harness.PREFIX)
    extra = {"SENTREL_READER_MUTATIONS": str(files), "SENTREL_READER_SEED": str(options.seed)}
    # The writers flush every file to the disk; on a memory file system (reached through Wine's Z:
    # drive) the same calls take a fraction of the time.
    folder = "/dev/shm/sentrel_reader_%d" % os.getpid()
    if os.path.isdir("/dev/shm"):
        os.makedirs(folder, exist_ok=True)
        extra["SENTREL_READER_DIR"] = "Z:" + folder.replace("/", "\\")
    env = harness.wine_env(extra)
    started = time.monotonic()
    try:
        done = subprocess.run(["wine", os.path.join(harness.BIN, "common_tests.exe"), "--gtest_filter=" + TEST],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300 + files // 50)
        out, code = done.stdout.decode("utf-8", "replace"), done.returncode
    except subprocess.TimeoutExpired as e:
        out, code = (e.stdout or b"").decode("utf-8", "replace"), "timeout"
    wall = time.monotonic() - started
    if os.path.isdir(folder):
        shutil.rmtree(folder, ignore_errors=True)
    figures = [line for line in out.replace("\r\n", "\n").splitlines()
               if line.startswith("reader_mutation ") or line.startswith("mutations ")]
    for line in figures:
        print(line)
    print("seed=%d folder=%s wall_s=%.1f files_per_s=%.0f"
          % (options.seed, extra.get("SENTREL_READER_DIR", "%TEMP%"), wall, files / wall if wall else 0))
    passed = code == 0 and "[  PASSED  ] 1 test" in out
    if not passed:
        print(out[-6000:])
        print("FAILED: exit code %s" % code)
    sys.exit(0 if passed else 1)


if __name__ == "__main__":
    main()
