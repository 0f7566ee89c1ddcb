"""The test MFA server (tools/mfa_server) for end-to-end tests: started as its own process once per
test class, with one user whose TOTP secret the tests know."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from harness import E2ETestCase

SERVER_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/mfa_server"))
sys.path.insert(0, SERVER_DIR)
import mfa_server  # noqa: E402

API_KEY = "test-key-7"
SECRET = "JBSWY3DPEHPK3PXP"
USERS = {"alice": {"totp_secret": SECRET, "phone": "+8613800001234", "email": "alice@example.com"}}
class MfaServer:
    """The test server as a separate process; its port is read from the line it prints."""

    def __init__(self, folder, *extra):
        config = os.path.join(folder, "mfa_server.json")
        with open(config, "w") as f:
            json.dump({"api_key": API_KEY, "users": USERS}, f)
        self.process = subprocess.Popen([sys.executable, os.path.join(SERVER_DIR, "mfa_server.py"), "--config", config]
                                        + list(extra), stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if "listening on" not in line:
            self.stop()
            raise RuntimeError("mfa_server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])
        self.control_url = "%s://127.0.0.1:%d/control/" % (line.split()[-1].split(":")[0], self.port)

    def control(self, method, path, value=None):
        import ssl
        data = json.dumps(value).encode() if value is not None else None
        request = urllib.request.Request(self.control_url + path, data=data, method=method)
        context = ssl._create_unverified_context()  # our own test server's control endpoint
        with urllib.request.urlopen(request, timeout=10, context=context) as answer:
            return json.loads(answer.read().decode())

    def fault(self, **fault):
        self.control("POST", "faults", fault)

    def requests(self):
        return self.control("GET", "requests")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()


def trust_test_certs(test, install):
    """Makes a trusted and an untrusted test CA with a localhost certificate each, and trusts the
    first inside the Wine prefix only (tools/trust_test_ca.exe must be installed); undone at the
    end of the test. Returns (trusted, untrusted) as given by mfa_server.make_test_certs."""
    tmp = tempfile.mkdtemp(prefix="sentrel-tls-")
    test.addCleanup(shutil.rmtree, tmp, True)
    trusted = mfa_server.make_test_certs(os.path.join(tmp, "trusted"))
    untrusted = mfa_server.make_test_certs(os.path.join(tmp, "untrusted"))
    shutil.copy(trusted["ca.der"], os.path.join(install.folder, "ca.der"))
    code, out, err = install.run("trust_test_ca.exe", "add", install.path_win("ca.der"))
    test.assertEqual(0, code, out + err)
    test.addCleanup(install.run, "trust_test_ca.exe", "remove", install.path_win("ca.der"))
    return trusted, untrusted


def tls_server(test, certs):
    """A test MFA server over HTTPS with the given certificates, stopped at the end of the test."""
    server = MfaServer(os.path.dirname(certs["ca.pem"]), "--tls-cert", certs["server.pem"], "--tls-key",
                       certs["server.key"])
    test.addCleanup(server.stop)
    return server


def current_totp(offset_seconds=0):
    """The code the server accepts for the test user now (or offset_seconds from now)."""
    return mfa_server.totp(mfa_server.decode_secret(SECRET), time.time() + offset_seconds)


class MfaServerCase(E2ETestCase):
    """A test class with one test MFA server (self.server) for all its tests, reset before each."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sentrel-mfa-")
        cls.server = MfaServer(cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.server.control("POST", "reset")
