"""The release command (scripts/release.sh) on this build: dist/ holds the signed executables and
MSI with the version in their names, a zip of the executables and SHA256SUMS that check; the MSI
carries the signed executables; without a certificate the release says it is unsigned."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from msi_tables import properties
from signing_test import verify
from test_ca import make_ca

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.environ.get("SENTREL_BUILD_DIR", os.path.join(ROOT, "build"))
RELEASE = os.path.join(ROOT, "scripts", "release.sh")
EXECUTABLES = ("SentrelSvc", "SentrelUI", "runguard")


def release(out, *args):
    return subprocess.run([RELEASE, "--no-build", "--build-dir", BUILD, "--out", out] + list(args),
                          capture_output=True, text=True, timeout=600)


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sentrel-release-")
        cls.ca = make_ca(os.path.join(cls.tmp, "ca"))
        from msi_tables_test import VERSION
        cls.version = VERSION

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_signed_release(self):
        out = os.path.join(self.tmp, "dist")
        os.makedirs(out)
        with open(os.path.join(out, "stale-file.txt"), "w") as f:
            f.write("from an older release")
        done = release(out, "--cert", self.ca["sign.pem"], "--key", self.ca["sign.key"])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertNotIn("NOT signed", done.stderr)
        v = self.version
        names = ["%s-%s.exe" % (e, v) for e in EXECUTABLES] + ["Sentrel-%s-x64.msi" % v, "Sentrel-%s-x64.zip" % v]
        self.assertEqual(sorted(os.listdir(out)), sorted(names + ["SHA256SUMS"]))

        for name in names:
            if not name.endswith(".zip"):
                ok, output = verify(os.path.join(out, name), self.ca["ca.pem"])
                self.assertTrue(ok, "%s: %s" % (name, output))
        done = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with open(os.path.join(out, "SHA256SUMS")) as f:
            self.assertEqual(sorted(line.split("  ")[1].strip() for line in f), sorted(names))

        # The zip and the MSI carry the very executables of dist/, signatures included.
        with zipfile.ZipFile(os.path.join(out, "Sentrel-%s-x64.zip" % v)) as z:
            self.assertEqual(sorted(z.namelist()), sorted("Sentrel-%s/%s.exe" % (v, e) for e in EXECUTABLES))
            for exe in EXECUTABLES:
                with open(os.path.join(out, "%s-%s.exe" % (exe, v)), "rb") as f:
                    self.assertEqual(z.read("Sentrel-%s/%s.exe" % (v, exe)), f.read())
        msi = os.path.join(out, "Sentrel-%s-x64.msi" % v)
        self.assertEqual(properties(msi)["ProductVersion"], v)
        extracted = os.path.join(self.tmp, "extracted")
        subprocess.run(["msiextract", "-C", extracted, msi], check=True, capture_output=True, timeout=120)
        for exe in EXECUTABLES:
            path = os.path.join(extracted, "Sentrel", exe + ".exe")
            with open(path, "rb") as a, open(os.path.join(out, "%s-%s.exe" % (exe, v)), "rb") as b:
                self.assertEqual(hashlib.sha256(a.read()).hexdigest(), hashlib.sha256(b.read()).hexdigest())
        # The custom actions' DLL inside the MSI is signed as well.
        dll = os.path.join(self.tmp, "SentrelActions.dll")
        with open(dll, "wb") as f:
            subprocess.run(["msiinfo", "extract", msi, "Binary.SentrelActions"], check=True, timeout=60, stdout=f)
        self.assertTrue(verify(dll, self.ca["ca.pem"])[0])

    def test_unsigned_release_says_so_and_bad_credentials_stop_it(self):
        out = os.path.join(self.tmp, "unsigned")
        done = release(out)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("the release is NOT signed", done.stderr)
        self.assertFalse(verify(os.path.join(out, "runguard-%s.exe" % self.version), self.ca["ca.pem"])[0])
        failed = os.path.join(self.tmp, "failed")
        done = release(failed, "--cert", self.ca["sign.pem"], "--key", os.path.join(self.tmp, "missing.key"))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("cannot read the key", done.stderr)
        self.assertFalse(os.path.exists(failed))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
