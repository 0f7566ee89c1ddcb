"""Authenticode signing (scripts/sign.sh) with a throw-away CA: the executables and an MSI are
signed and verify against that CA; a tampered file, another CA, and a file signed twice behave as
Windows would judge them; a time stamp from a local time-stamping authority is embedded."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from test_ca import TimeStampServer, make_ca

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BIN = os.environ.get("SENTREL_BIN", os.path.join(ROOT, "build", "bin"))
SIGN = os.path.join(ROOT, "scripts", "sign.sh")
EXECUTABLES = ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe")

TINY_WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Signing test" Language="1033" Version="1.0.0" Manufacturer="Sentrel"
           UpgradeCode="0b8f4f0e-5d43-4bd5-9a43-3c3a4ad0c2f1">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="t.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder"><Directory Id="INSTALLDIR" Name="SigningTest">
        <Component Id="c" Guid="*"><File Id="f" Name="runguard.exe" Source="runguard.exe" KeyPath="yes"/></Component>
      </Directory></Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="c"/></Feature>
  </Product>
</Wix>
"""


def verify(path, ca, tsa_ca=None):
    """(ok, output) of osslsigncode verify against ca (and the TSA's CA)."""
    args = ["osslsigncode", "verify", "-CAfile", ca, "-in", path]
    if tsa_ca:
        args[2:2] = ["-TSA-CAfile", tsa_ca]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    return done.returncode == 0, done.stdout + done.stderr


def sign(ca, *files, extra=()):
    return subprocess.run([SIGN, "--cert", ca["sign.pem"], "--key", ca["sign.key"]] + list(extra) + list(files),
                          capture_output=True, text=True, timeout=300)


def tamper(path):
    """Flips one byte in the middle of the file (inside the signed content)."""
    with open(path, "r+b") as f:
        f.seek(os.path.getsize(path) // 3)
        byte = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([byte[0] ^ 0xFF]))


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sentrel-signing-")
        cls.ca = make_ca(os.path.join(cls.tmp, "ca"))
        cls.other_ca = make_ca(os.path.join(cls.tmp, "other-ca"), name="Another Test Root CA")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.tmp)

    def copy_executables(self):
        paths = []
        for name in EXECUTABLES:
            target = os.path.join(self.work, name)
            shutil.copy(os.path.join(BIN, name), target)
            paths.append(target)
        return paths

    def tiny_msi(self):
        shutil.copy(os.path.join(BIN, "runguard.exe"), os.path.join(self.work, "runguard.exe"))
        with open(os.path.join(self.work, "t.wxs"), "w") as f:
            f.write(TINY_WXS)
        subprocess.run(["wixl", "-a", "x64", "-o", "t.msi", "t.wxs"], cwd=self.work, check=True, capture_output=True,
                       timeout=120)
        return os.path.join(self.work, "t.msi")

    def test_executables_and_msi_verify_against_the_ca_and_fail_when_tampered(self):
        files = self.copy_executables() + [self.tiny_msi()]
        unsigned = verify(files[0], self.ca["ca.pem"])
        self.assertFalse(unsigned[0], "an unsigned file must not verify")
        done = sign(self.ca, *files)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for path in files:
            ok, output = verify(path, self.ca["ca.pem"])
            self.assertTrue(ok, "%s: %s" % (path, output))
            self.assertIn("Sentrel Test Code Signing", output)
            self.assertFalse(verify(path, self.other_ca["ca.pem"])[0], "%s verified against a CA that did not issue it" % path)
        for path in files:
            tamper(path)
            ok, output = verify(path, self.ca["ca.pem"])
            self.assertFalse(ok, "%s still verifies after a byte was changed: %s" % (path, output))

    def test_signing_again_replaces_the_signature(self):
        exe = self.copy_executables()[2]
        self.assertEqual(sign(self.other_ca, exe).returncode, 0)
        done = sign(self.ca, exe)
        self.assertEqual(done.returncode, 0, done.stderr)
        ok, output = verify(exe, self.ca["ca.pem"])
        self.assertTrue(ok, output)
        self.assertNotIn("Another Test Root CA", output)
        self.assertFalse(verify(exe, self.other_ca["ca.pem"])[0])

    def test_time_stamp_from_the_given_authority(self):
        server = TimeStampServer(self.ca)
        self.addCleanup(server.stop)
        exe = self.copy_executables()[0]
        done = sign(self.ca, exe, extra=("--timestamp", server.url))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(server.requests, 1)
        ok, output = verify(exe, self.ca["ca.pem"], tsa_ca=self.ca["ca.pem"])
        self.assertTrue(ok, output)
        self.assertIn("Sentrel Test Time Stamping", output)

    def test_failures_leave_the_file_unchanged(self):
        exe = self.copy_executables()[1]
        with open(exe, "rb") as f:
            before = f.read()
        # A key that does not belong to the certificate, then an unreachable time-stamping server.
        done = subprocess.run([SIGN, "--cert", self.ca["sign.pem"], "--key", self.other_ca["sign.key"], exe],
                              capture_output=True, text=True, timeout=120)
        self.assertNotEqual(done.returncode, 0)
        done = sign(self.ca, exe, extra=("--timestamp", "http://127.0.0.1:9/"))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("signing %s failed" % exe, done.stderr)
        with open(exe, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(sorted(os.listdir(self.work)), sorted(EXECUTABLES))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
