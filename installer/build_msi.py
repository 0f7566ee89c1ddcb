#!/usr/bin/env python3
"""Builds Sentrel's MSI with wixl (msitools) from installer/Sentrel.wxs.

    build_msi.py --bin DIR --actions SentrelActions.dll --icon sentrel.ico --version X.Y.Z --out FILE.msi

DIR holds SentrelSvc.exe, SentrelUI.exe and runguard.exe (signed already, for a release). The
product code is derived from the version, so every build of one version is the same product and a
higher version upgrades it; the upgrade code never changes. After wixl, table rows are set that
wixl cannot express: the rollback type of the rollback actions; the properties that may pass from
an unelevated client to the installation (SecureCustomProperties): only the upgrade detection's
(the settings properties configure a LocalSystem service, and whoever passes them, a deployment
tool or an elevated msiexec, runs elevated already); and the event source's EventMessageFile as an
expandable text with a row that deletes its key on removal."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
UPGRADE_CODE = uuid.UUID("7d0f4a52-6c1e-4b8e-a3f6-2e9b51c7d804")  # also in Sentrel.wxs; never changes
EVENT_SOURCE_KEY = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\Sentrel"  # also in Sentrel.wxs
EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")
SECURE_PROPERTIES = ("WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED")
ROLLBACK_ACTIONS = ("SentrelRemoveWrittenSettings", "SentrelRemoveMadeLogFolder")
# msidbCustomActionTypeDll | Continue | InScript | Rollback | NoImpersonate
ROLLBACK_DLL_ACTION = 0x1 | 0x40 | 0x400 | 0x100 | 0x800


def product_code(version):
    return str(uuid.uuid5(UPGRADE_CODE, "Sentrel " + version)).upper()


def check_version(version):
    """Windows Installer compares major.minor.build: at most 255.255.65535."""
    m = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", version)
    if not m or int(m.group(1)) > 255 or int(m.group(2)) > 255 or int(m.group(3)) > 65535:
        raise SystemExit("build_msi.py: version %r is not major.minor.build within 255.255.65535" % version)


def msibuild_query(msi, query):
    subprocess.run(["msibuild", msi, "-q", query], check=True, capture_output=True, timeout=120)


def build(bin_dir, actions, icon, version, out):
    check_version(version)
    with tempfile.TemporaryDirectory(prefix="sentrel-msi-") as stage:
        # wixl finds sources relative to its working folder only: lay them out there.
        os.makedirs(os.path.join(stage, "bin"))
        for name in EXECUTABLES:
            shutil.copy(os.path.join(bin_dir, name), os.path.join(stage, "bin", name))
        shutil.copy(actions, os.path.join(stage, "SentrelActions.dll"))
        shutil.copy(icon, os.path.join(stage, "sentrel.ico"))
        msi = os.path.join(stage, "Sentrel.msi")
        done = subprocess.run(["wixl", "-a", "x64", "-D", "Version=" + version, "-D", "ProductCode=" + product_code(version),
                               "-D", "BinDir=bin", "-D", "ActionsDll=SentrelActions.dll", "-D", "IconFile=sentrel.ico",
                               "-o", msi, os.path.join(HERE, "Sentrel.wxs")],
                              cwd=stage, capture_output=True, text=True, timeout=300)
        if done.returncode != 0 or not os.path.exists(msi):
            raise SystemExit("build_msi.py: wixl failed (%d): %s" % (done.returncode, done.stderr))
        for action in ROLLBACK_ACTIONS:
            msibuild_query(msi, "UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'"
                           % (ROLLBACK_DLL_ACTION, action))
        msibuild_query(msi, "UPDATE `Property` SET `Value` = '%s' "
                            "WHERE `Property` = 'SecureCustomProperties'" % ";".join(SECURE_PROPERTIES))
        msibuild_query(msi, "UPDATE `Registry` SET `Value` = '#%[#SentrelSvc.exe]' WHERE `Name` = 'EventMessageFile'")
        msibuild_query(msi, "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                            "VALUES ('SentrelEventSourceKey', 2, '%s', '-', 'SentrelSvc')" % EVENT_SOURCE_KEY)
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        shutil.move(msi, out + ".tmp")
        os.replace(out + ".tmp", out)


def main():
    parser = argparse.ArgumentParser(description="Builds Sentrel's MSI with wixl.")
    parser.add_argument("--bin", required=True, help="folder of the three executables")
    parser.add_argument("--actions", required=True, help="SentrelActions.dll")
    parser.add_argument("--icon", required=True, help="the product icon (.ico)")
    parser.add_argument("--version", required=True, help="major.minor.build")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    build(args.bin, args.actions, args.icon, args.version, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
