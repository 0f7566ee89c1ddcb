"""Reads an MSI's tables with msitools (msiinfo export) into lists of row dicts."""

import os
import subprocess
import tempfile


def table(msi, name):
    """Rows of one table as dicts by column name; [] when the table is absent."""
    # Tables with binary columns also write their streams into the working folder: a scratch one.
    with tempfile.TemporaryDirectory(prefix="sentrel-msiinfo-") as scratch:
        done = subprocess.run(["msiinfo", "export", os.path.abspath(msi), name], cwd=scratch, capture_output=True,
                              timeout=60)
    if done.returncode != 0:
        return []
    lines = done.stdout.decode("utf-8", "replace").split("\r\n")
    columns = lines[0].split("\t")
    rows = []
    for line in lines[3:]:
        if line:
            rows.append(dict(zip(columns, line.split("\t"))))
    return rows


def properties(msi):
    return {row["Property"]: row["Value"] for row in table(msi, "Property")}


def summary(msi):
    done = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, timeout=60, check=True)
    return dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)


def project_version(build_dir):
    """The CMake project version of a configured build folder (the MSI's version)."""
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:STATIC="):
                return line.strip().split("=", 1)[1]
    raise AssertionError("no project version in %s/CMakeCache.txt" % build_dir)
