"""Unit tests of the test MFA server: TOTP against the RFC test vectors, and its endpoints in process."""

import hashlib
import http.client
import json
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mfa_server  # noqa: E402

RFC_SEED_SHA1 = b"12345678901234567890"
SECRET = "JBSWY3DPEHPK3PXP"


class Totp(unittest.TestCase):
    def test_rfc6238_sha1_vectors(self):
        vectors = {59: "94287082", 1111111109: "07081804", 1111111111: "14050471",
                   1234567890: "89005924", 2000000000: "69279037", 20000000000: "65353130"}
        for at, code in vectors.items():
            self.assertEqual(code, mfa_server.totp(RFC_SEED_SHA1, at, digits=8, digest=hashlib.sha1), at)

    def test_rfc4226_hotp_vectors(self):
        codes = ["755224", "287082", "359152", "969429", "338314", "254676", "287922", "162583", "399871", "520489"]
        self.assertEqual(codes, [mfa_server.hotp(RFC_SEED_SHA1, c) for c in range(10)])

    def test_verification_allows_one_step_of_skew(self):
        key = mfa_server.decode_secret(SECRET)
        now = 1_700_000_000
        for offset, expected in ((-30, True), (0, True), (30, True), (-60, False), (60, False)):
            self.assertEqual(expected, mfa_server.verify_totp_code(key, mfa_server.totp(key, now + offset), now), offset)
        self.assertFalse(mfa_server.verify_totp_code(key, "", now))

    def test_secret_forms_and_masks(self):
        self.assertEqual(mfa_server.decode_secret("jbsw y3dp ehpk 3pxp"), mfa_server.decode_secret(SECRET))
        self.assertEqual("a***@example.com", mfa_server.mask_destination("email", "alice@example.com"))
        self.assertEqual("*********1234", mfa_server.mask_destination("sms", "+861380001234"))


class Endpoints(unittest.TestCase):
    def setUp(self):
        users = {"alice": {"totp_secret": SECRET, "phone": "+861380001234", "email": "alice@example.com"}}
        state = mfa_server.State("key-1", users, blocked_countries=["XX"])
        self.server = mfa_server.Server(("127.0.0.1", 0), state)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)

    def call(self, method, path, body=None, key="key-1"):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.server_address[1], timeout=10)
        headers = {"X-API-Key": key} if key is not None else {}
        data = body if isinstance(body, (str, type(None))) else json.dumps(body)
        connection.request(method, path, data, headers)
        response = connection.getresponse()
        text = response.read().decode("utf-8")
        connection.close()
        try:
            return response.status, json.loads(text)
        except ValueError:
            return response.status, text

    def test_totp_verify(self):
        code = mfa_server.totp(mfa_server.decode_secret(SECRET))
        body = {"username": "alice", "code": code, "address": "", "country_code": "CN"}
        self.assertEqual(401, self.call("POST", "/api/v1/auth/verify", body, key="wrong")[0])
        self.assertEqual(200, self.call("POST", "/api/v1/auth/verify", body)[0])
        self.assertEqual(403, self.call("POST", "/api/v1/auth/verify", dict(body, country_code="XX"))[0])
        wrong = "%06d" % ((int(code) + 1) % 10 ** 6)
        self.assertEqual(401, self.call("POST", "/api/v1/auth/verify", dict(body, code=wrong))[0])
        self.assertEqual(401, self.call("POST", "/api/v1/auth/verify", dict(body, username="mallory"))[0])
        self.assertEqual(code, self.call("GET", "/control/totp/alice")[1]["code"])

    def test_push_approve_reject_expire(self):
        body = {"username": "alice", "client_ip": "10.0.0.1", "expires_in": 300, "location": {"country_code": "CN"}}
        ids = []
        for _ in range(3):
            status, answer = self.call("POST", "/api/v1/auth/push/request", body)
            self.assertEqual(200, status)
            self.assertRegex(answer["passcode"], r"^\d{6}$")
            ids.append(answer["challenge_id"])
        poll = lambda i: self.call("GET", "/api/v1/auth/push/status?challenge_id=" + i)[1]["status"]
        self.assertEqual("pending", poll(ids[0]))
        self.assertEqual(200, self.call("POST", "/control/pushes/%s/approve" % ids[0])[0])
        self.assertEqual(200, self.call("POST", "/control/pushes/%s/reject" % ids[1])[0])
        self.assertEqual(200, self.call("POST", "/control/pushes/latest/expire")[0])
        self.assertEqual(["approved", "rejected", "expired"], [poll(i) for i in ids])
        self.assertEqual(404, self.call("GET", "/api/v1/auth/push/status?challenge_id=nope")[0])
        # the page answers like a person would
        status, _ = self.call("POST", "/api/v1/auth/push/request", dict(body, expires_in=1))
        late = self.call("GET", "/control/pushes")[1][-1]["challenge_id"]
        time.sleep(1.2)
        self.assertEqual("expired", poll(late))
        page_id = self.call("POST", "/api/v1/auth/push/request", body)[1]["challenge_id"]
        self.assertIn(page_id, self.call("GET", "/pushes")[1])
        self.call("POST", "/pushes", "challenge_id=%s&action=approved" % page_id)
        self.assertEqual("approved", poll(page_id))

    def test_message_code_through_the_outbox(self):
        body = {"username": "alice", "auth_type": "email", "login": "alice"}
        status, answer = self.call("POST", "/api/v1/auth/message/request", body)
        self.assertEqual(201, status)
        self.assertEqual("a***@example.com", answer["masked_destination"])
        sent = self.call("GET", "/control/outbox")[1][-1]
        self.assertEqual(("email", "alice@example.com"), (sent["auth_type"], sent["destination"]))
        verify = lambda code: self.call("POST", "/api/v1/auth/message/verify",
                                        {"challenge_id": answer["challenge_id"], "code": code})[0]
        self.assertEqual(401, verify("%06d" % ((int(sent["code"]) + 1) % 10 ** 6)))
        self.assertEqual(200, verify(sent["code"]))
        self.assertEqual(401, verify(sent["code"]))  # used once only
        self.assertEqual(400, self.call("POST", "/api/v1/auth/message/request", dict(body, auth_type="fax"))[0])

    def test_recording_and_faults(self):
        self.call("POST", "/control/faults", {"path": "/api/v1/auth/verify", "status": 500, "body": "boom", "times": 1})
        self.assertEqual((500, "boom"), self.call("POST", "/api/v1/auth/verify", {"username": "x"}))
        self.assertEqual(401, self.call("POST", "/api/v1/auth/verify", {"username": "x"})[0])  # used up
        recorded = self.call("GET", "/control/requests")[1]
        self.assertEqual(2, len(recorded))
        self.assertEqual('{"username": "x"}', recorded[0]["body"])
        self.assertEqual("key-1", recorded[0]["headers"]["X-API-Key"])
        self.call("POST", "/control/faults", {"drop": True})
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            self.call("GET", "/api/v1/auth/push/status?challenge_id=x")
        self.call("DELETE", "/control/faults")
        # A fault may add headers: a redirect to another server.
        self.call("POST", "/control/faults", {"path": "push/status", "status": 302, "times": 1,
                                              "headers": {"Location": "http://192.0.2.1/elsewhere"}})
        connection = http.client.HTTPConnection("127.0.0.1", self.server.server_address[1], timeout=10)
        connection.request("GET", "/api/v1/auth/push/status?challenge_id=x", headers={"X-API-Key": "key-1"})
        response = connection.getresponse()
        response.read()
        connection.close()
        self.assertEqual((302, "http://192.0.2.1/elsewhere"), (response.status, response.getheader("Location")))
        self.call("POST", "/control/faults", {"delay": 0.5})
        started = time.time()
        self.assertEqual(404, self.call("GET", "/api/v1/auth/push/status?challenge_id=x")[0])
        self.assertGreaterEqual(time.time() - started, 0.5)

    def raw_answer(self, fault):
        """The bytes the server sends for one request under the fault, and how long they took."""
        import socket
        self.call("DELETE", "/control/faults")
        self.call("POST", "/control/faults", dict(fault, path="push/status", times=1))
        started = time.time()
        with socket.create_connection(("127.0.0.1", self.server.server_address[1]), timeout=10) as s:
            s.sendall(b"GET /api/v1/auth/push/status?challenge_id=x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            data = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                data += piece
        return data, time.time() - started

    def test_faults_of_the_answer_itself(self):
        # 1 MB: the body repeated to the size, announced whole.
        data, _ = self.raw_answer({"status": 200, "body": "ab", "body_size": 1 << 20})
        head, body = data.split(b"\r\n\r\n", 1)
        self.assertIn(b"Content-Length: 1048576", head)
        self.assertEqual(body, b"ab" * (1 << 19))
        # Truncated: the whole length announced, three bytes sent, the connection closed.
        data, _ = self.raw_answer({"status": 200, "body": '{"status":"ok"}', "truncate": 3})
        head, body = data.split(b"\r\n\r\n", 1)
        self.assertIn(b"Content-Length: 15", head)
        self.assertEqual(body, b'{"s')
        # Wrong content type and any status.
        data, _ = self.raw_answer({"status": 502, "body": "<html>bad gateway</html>", "content_type": "text/html"})
        self.assertTrue(data.startswith(b"HTTP/1.1 502 "))
        self.assertIn(b"Content-Type: text/html\r\n", data)
        # Not HTTP at all.
        data, _ = self.raw_answer({"raw": "\x00garbage\r\n\r\n"})
        self.assertEqual(data, b"\x00garbage\r\n\r\n")
        # A slow body: headers at once, then a piece every trickle seconds.
        data, took = self.raw_answer({"status": 200, "body": "abcd", "trickle": 0.2, "chunk": 2})
        self.assertTrue(data.endswith(b"\r\n\r\nabcd"))
        self.assertGreaterEqual(took, 0.4)

    def test_expired_certificate(self):
        import subprocess
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            paths = mfa_server.make_test_certs(folder)
            dates = subprocess.run(["openssl", "x509", "-in", paths["expired.pem"], "-noout", "-checkend", "0"],
                                   capture_output=True)
            self.assertNotEqual(0, dates.returncode)  # expired now
            good = subprocess.run(["openssl", "verify", "-CAfile", paths["ca.pem"], paths["server.pem"]],
                                  capture_output=True)
            self.assertEqual(0, good.returncode, good.stdout + good.stderr)
            bad = subprocess.run(["openssl", "verify", "-CAfile", paths["ca.pem"], paths["expired.pem"]],
                                 capture_output=True)
            self.assertIn(b"expired", bad.stdout + bad.stderr)


if __name__ == "__main__":
    unittest.main()
