"""End to end: the MFA client and its WinHTTP transport (through tools/mfa_call) against the test
MFA server, under Wine: every call, the status texts, bad answers, faults, and HTTPS."""

import getpass
import json
import time

import harness
from harness import E2ETestCase, free_port, settings_json
from mfa_fixture import API_KEY, SECRET, MfaServer, MfaServerCase, mfa_server, tls_server, trust_test_certs

TOOLS = ("mfa_call.exe", "trust_test_ca.exe")


class MfaClientTest(MfaServerCase):
    def setUp(self):
        super().setUp()
        self.lay_out()

    def lay_out(self, **settings):
        values = dict(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY, mfa_username="alice",
                      address="Room 1", country_code="CN", client_ip="192.0.2.9")
        values.update(settings)
        self.install.lay_out(settings_json(**values), executables=TOOLS)

    def call(self, *args, timeout=60):
        """Runs mfa_call; returns its name=value lines as a dict (with "exit" and "seconds")."""
        started = time.time()
        code, out, err = self.install.run("mfa_call.exe", self.install.path_win("SentrelSvc.json"), *args,
                                          timeout=timeout)
        result = {"exit": code, "seconds": time.time() - started, "stderr": err}
        for line in out.split("\n"):
            name, sep, value = line.partition("=")
            if sep and name not in result:
                result[name] = value
        return result

    def fields(self, result, *names):
        return tuple(result[name] for name in names)

    def assertFailed(self, result, text):
        self.assertEqual(("0", 1), (result.get("ok"), result["exit"]), result)
        self.assertEqual(text, result["err"])

    def code_now(self):
        return mfa_server.totp(mfa_server.decode_secret(SECRET))

    # --- every call succeeding ---------------------------------------------------------------
    def test_totp_sends_headers_and_body_and_maps_the_answer(self):
        code = self.code_now()
        self.assertEqual("1", self.call("totp", code)["ok"])
        sent = self.server.requests()[-1]
        self.assertEqual(("POST", "/api/v1/auth/verify"), (sent["method"], sent["path"]))
        self.assertEqual(API_KEY, sent["headers"]["X-API-Key"])
        self.assertEqual("application/json", sent["headers"]["Content-Type"])
        self.assertEqual("Sentrel/2.0", sent["headers"]["User-Agent"])
        self.assertEqual('{"username":"alice","code":"%s","address":"Room 1","country_code":"CN"}' % code, sent["body"])
        wrong = "%06d" % ((int(code) + 500000) % 10 ** 6)
        self.assertFailed(self.call("totp", wrong), "验证码错误或用户不存在")

    def test_push_request_and_poll_to_each_final_status(self):
        for decision, expected in (("approve", "approved"), ("reject", "rejected"), ("expire", "expired")):
            pushed = self.call("push")
            self.assertEqual("1", pushed["ok"], pushed)
            self.assertRegex(pushed["passcode"], r"^\d{6}$")
            pending = self.call("poll", pushed["id"])
            self.assertEqual("pending", pending.get("status"), pending)
            self.server.control("POST", "pushes/%s/%s" % (pushed["id"], decision))
            polled = self.call("poll", pushed["id"])
            self.assertEqual(("1", expected), (polled.get("ok"), polled.get("status")), polled)
        sent = [r for r in self.server.requests() if r["method"] == "POST"][0]
        self.assertEqual('{"username":"alice","client_ip":"192.0.2.9","reason":"Sentrel认证","expires_in":300,'
                         '"client_app":"Sentrel Service v2.0","location":{"address":"Room 1","country_code":"CN"}}',
                         sent["body"])
        polls = [r for r in self.server.requests() if r["method"] == "GET"]
        self.assertEqual("/api/v1/auth/push/status?challenge_id=" + pushed["id"], polls[-1]["path"])
        self.assertEqual("", polls[-1]["body"])
        self.assertFailed(self.call("poll", "unknown"), "Push 轮询失败，HTTP 404")

    def test_sms_and_email_codes(self):
        for kind, masked in (("sms", "**********1234"), ("email", "a***@example.com")):
            asked = self.call("message", kind)
            self.assertEqual(("1", masked), (asked["ok"], asked["dest"]), asked)  # the server answers 201
            code = self.server.control("GET", "outbox")[-1]["code"]
            wrong = "%06d" % ((int(code) + 1) % 10 ** 6)
            self.assertFailed(self.call("verify-message", asked["id"], wrong), "验证码错误或已过期")
            self.assertEqual("1", self.call("verify-message", asked["id"], code)["ok"])
        bodies = [r["body"] for r in self.server.requests()]
        self.assertIn('{"username":"alice","auth_type":"email","client_ip":"192.0.2.9","login":"alice",'
                      '"reason":"Sentrel认证","expires_in":300,"client_app":"Sentrel Service v2.0",'
                      '"location":{"address":"Room 1","country_code":"CN"}}', bodies)
        self.assertEqual('{"challenge_id":"%s","code":"%s"}' % (asked["id"], code), bodies[-1])

    def test_user_name_escaping_and_client_address(self):
        self.lay_out(mfa_username='a"b\\c', address="line1\nline2", client_ip="127.0.0.1")
        self.call("push")
        body = json.loads(self.server.requests()[-1]["body"])
        self.assertEqual(('a"b\\c', "line1\nline2"), (body["username"], body["location"]["address"]))
        self.assertRegex(body["client_ip"], r"^\d+\.\d+\.\d+\.\d+$")  # detected, or the loopback one
        self.lay_out(mfa_username="")
        self.call("message", "sms")
        body = json.loads(self.server.requests()[-1]["body"])
        self.assertEqual((getpass.getuser(), getpass.getuser()), (body["username"], body["login"]))

    def test_plain_http_only_to_this_machine_unless_allowed(self):
        refused = ("已拒绝以明文 http:// 连接其他计算机上的 MFA 服务器，请使用 https:// / "
                   "Plain http:// to an MFA server on another machine is refused; use https://")
        self.lay_out(server_url="http://0.0.0.0:%d" % self.server.port)
        for args in (("totp", "123456"), ("push",), ("poll", "c1"), ("message", "sms"), ("verify-message", "c1", "1")):
            self.assertFailed(self.call(*args), refused)
        self.assertEqual(self.server.requests(), [])  # nothing left the machine in clear
        # An administrator's explicit choice lets the call go out (here to a closed port).
        self.lay_out(server_url="http://0.0.0.0:1", allow_plain_http="true")
        result = self.call("totp", "123456")
        self.assertEqual("0", result.get("ok"), result)
        self.assertNotEqual(refused, result["err"])
        # Loopback is this machine: allowed without the key (every other test here uses it).
        self.lay_out(server_url="http://localhost:%d" % self.server.port)
        self.assertEqual("1", self.call("totp", self.code_now())["ok"])

    def test_base_path_is_joined(self):
        self.lay_out(server_url="127.0.0.1:%d/tenant/" % self.server.port)
        self.assertEqual("1", self.call("totp", self.code_now())["ok"])
        self.assertEqual("/tenant/api/v1/auth/verify", self.server.requests()[-1]["path"])

    # --- statuses the calls do not expect -------------------------------------------------------
    def test_wrong_api_key(self):
        self.lay_out(api_key="wrong")
        self.assertFailed(self.call("totp", self.code_now()), "验证码错误或用户不存在")
        self.assertFailed(self.call("push"), 'Push挑战失败, HTTP:401 响应:{"error": "invalid api key"}')
        self.assertFailed(self.call("poll", "x"), "Push 轮询失败，HTTP 401")
        self.assertFailed(self.call("message", "sms"), "验证码发送失败，HTTP 401")
        self.assertFailed(self.call("verify-message", "x", "1"), "验证码错误或已过期")
        self.lay_out(api_key="")
        sent = len(self.server.requests())
        self.assertFailed(self.call("totp", self.code_now()), "server_url/api_key 未配置")
        self.assertEqual(sent, len(self.server.requests()))  # refused without traffic
        self.assertFailed(self.call("poll", "x"), "Push 轮询失败，HTTP 401")  # sent with an empty key
        self.assertEqual("", self.server.requests()[-1]["headers"]["X-API-Key"])

    def test_unexpected_statuses(self):
        cases = [("verify", 403, ("totp", "123456"), "被地域安全策略拒绝"),
                 ("verify", 500, ("totp", "123456"), "认证失败，HTTP 500"),
                 ("verify", 201, ("totp", "123456"), "认证失败，HTTP 201"),
                 ("push/status", 500, ("poll", "x"), "Push 轮询失败，HTTP 500"),
                 ("message/request", 500, ("message", "sms"), "验证码发送失败，HTTP 500"),
                 ("message/verify", 403, ("verify-message", "x", "1"), "验证失败，HTTP 403")]
        for endpoint, status, args, text in cases:
            self.server.fault(path="/api/v1/auth/" + endpoint, status=status, body='{"x":1}', times=1)
            self.assertFailed(self.call(*args), text)
        answer = '{"challenge_id":"c1","passcode":"123456","note":"' + "n" * 80 + '"}'
        self.server.fault(path="/api/v1/auth/push/request", status=201, body=answer, times=1)
        self.assertFailed(self.call("push"), "Push挑战失败, HTTP:201 响应:" + answer[:63])
        self.server.fault(path="/api/v1/auth/message/request", status=200, body='{"challenge_id":"m1"}', times=1)
        self.assertEqual(("1", "m1", ""), self.fields(self.call("message", "email"), "ok", "id", "dest"))
        self.server.fault(path="/x", status=500, body="server broke", times=1)
        raw = self.call("post", "/x", "{}")
        self.assertEqual(("1", "500", "server broke"), (raw["ok"], raw["http"], raw["resp"]))

    def test_garbage_missing_fields_and_long_answers(self):
        for body, expected in (("<html>502 bad gateway</html>", ("", "")), ('{"status":"pending"}', ("", "")),
                               ('{"Challenge_ID": 98765, "passcode": "1234"}', ("98765", "1234"))):
            self.server.fault(path="/api/v1/auth/push/request", status=200, body=body, times=1)
            pushed = self.call("push")
            self.assertEqual(("1",) + expected, (pushed["ok"], pushed["id"], pushed["passcode"]), body)
        self.server.fault(path="/api/v1/auth/push/status", status=200, body='{"status":"APPROVED"}', times=1)
        self.assertEqual("APPROVED", self.call("poll", "x")["status"])
        self.server.fault(path="/api/v1/auth/push/status", status=200, body="{}", times=1)
        self.assertEqual(("1", ""), self.fields(self.call("poll", "x"), "ok", "status"))
        # 20 kB answers: only the first 8,191 bytes arrive, cut between whole characters
        self.server.fault(path="/big", status=200, body="a" * 20000, times=1)
        self.assertEqual("8191", self.call("get", "/big")["resp_len"])
        self.server.fault(path="/big", status=200, body="认" * 7000, times=1)
        big = self.call("post", "/big", "{}")
        self.assertEqual(("1", "2730", "认" * 2730), (big["ok"], big["resp_len"], big["resp"]))
        self.server.fault(path="/api/v1/auth/push/request", status=200,
                          body='{"pad":"' + "x" * 20000 + '","challenge_id":"late"}', times=1)
        self.assertEqual(("1", ""), self.fields(self.call("push"), "ok", "id"))  # beyond what is read

    def test_request_body_limit(self):
        self.assertEqual("1", self.call("post-fill", "/fill", "4095")["ok"])
        self.assertEqual(4095, len(self.server.requests()[-1]["body"]))
        self.server.control("DELETE", "requests")
        self.assertFailed(self.call("post-fill", "/fill", "4096"), "请求内容过长: 4096 字节")
        self.assertEqual([], self.server.requests())  # refused, never sent cut

    # --- transport faults ---------------------------------------------------------------------
    def test_server_down_and_dropped_connections(self):
        self.lay_out(server_url="http://127.0.0.1:%d" % free_port())
        for args in (("totp", "123456"), ("poll", "x"), ("message", "sms")):
            result = self.call(*args)
            self.assertEqual(1, result["exit"], result)
            self.assertRegex(result["err"], r"^发送请求失败: \d+$")  # GET reports like POST
        self.lay_out()
        for args in (("totp", "123456"), ("poll", "x")):
            self.server.fault(drop=True, times=1)
            result = self.call(*args)
            self.assertEqual(1, result["exit"], result)
            self.assertRegex(result["err"], r"^接收响应失败: \d+$")
        self.lay_out(server_url="")
        self.assertFailed(self.call("poll", "x"), "server_url 未配置")

    def test_redirects_are_refused_and_the_key_never_leaves_the_server(self):
        # Another server (another host as far as the client can tell) stands where the redirects
        # point: it must never see a request, nor the API key.
        elsewhere = MfaServer(self.tmp)
        self.addCleanup(elsewhere.stop)
        target = "http://localhost:%d/api/v1/auth/" % elsewhere.port
        for endpoint, status, args, reason in (("push/status", 302, ("poll", "x"), "Found"),
                                               ("verify", 307, ("totp", "123456"), "Temporary Redirect"),
                                               ("push/request", 301, ("push",), "Moved Permanently"),
                                               ("message/request", 308, ("message", "sms"), "Permanent Redirect")):
            self.server.fault(path=endpoint, status=status, times=1, headers={"Location": target + endpoint})
            result = self.call(*args)
            self.assertFailed(result, "服务器要求重定向，已拒绝: HTTP %d %s" % (status, reason))
        self.assertEqual([], elsewhere.requests())
        # A redirect to the same server is refused too: the client never follows one.
        self.server.control("DELETE", "requests")
        self.server.fault(path="push/status", status=302, times=1,
                          headers={"Location": "/api/v1/auth/push/status?challenge_id=y"})
        self.assertFailed(self.call("poll", "x"), "服务器要求重定向，已拒绝: HTTP 302 Found")
        self.assertEqual(["/api/v1/auth/push/status?challenge_id=x"], [r["path"] for r in self.server.requests()])

    def test_slow_server_within_the_timeouts(self):
        self.server.fault(path="/api/v1/auth/push/status", delay=3, status=200, body='{"status":"approved"}', times=1)
        polled = self.call("poll", "x")
        self.assertEqual(("1", "approved"), (polled["ok"], polled["status"]))
        self.assertGreaterEqual(polled["seconds"], 3)

    def test_slow_and_cut_answers_fail_within_the_timeout(self):
        # Headers later than 8 s (Wine's WinHTTP ignores the receive timeout there; the response
        # timeout we set is applied), a body trickled over 20 s, a body cut before its length: each
        # fails the call, the slow ones after 8 s, and nothing of the answer is handed on.
        answer = '{"challenge_id":"abcdef","passcode":"123456","status":"approved"}'
        for fault, slow in (({"delay": 12, "status": 200, "body": answer}, True),
                            ({"status": 200, "body": answer[:20], "trickle": 1}, True),
                            ({"status": 200, "body": answer, "truncate": 25}, False)):
            for args in (("poll", "x"), ("push",)):
                self.server.fault(times=1, **fault)
                result = self.call(*args)
                self.assertEqual((1, "", ""), (result["exit"], result.get("status", ""), result.get("id", "")),
                                 (fault, result))
                self.assertRegex(result["err"], r"^接收响应失败: \d+$")
                if slow:
                    self.assertGreaterEqual(result["seconds"], 7.5, fault)
                self.assertLess(result["seconds"], 12, fault)


class HttpsTest(E2ETestCase):
    """TLS with the platform's certificate checks: a test CA trusted inside the Wine prefix only."""

    def setUp(self):
        super().setUp()
        self.install.lay_out(settings_json(), executables=TOOLS)
        self.trusted, self.untrusted = trust_test_certs(self, self.install)

    def serve(self, certs):
        server = tls_server(self, certs)
        self.install.write_file("SentrelSvc.json", settings_json(
            server_url="https://localhost:%d" % server.port, api_key=API_KEY, mfa_username="alice"))
        return server

    def call(self, *args):
        code, out, _ = self.install.run("mfa_call.exe", self.install.path_win("SentrelSvc.json"), *args)
        return code, dict(line.partition("=")[::2] for line in out.split("\n") if "=" in line)

    def test_trusted_ca_passes_and_untrusted_certificate_is_refused(self):
        server = self.serve(self.trusted)
        code, result = self.call("totp", mfa_server.totp(mfa_server.decode_secret(SECRET)))
        self.assertEqual((0, "1"), (code, result["ok"]), result)
        self.assertEqual("Sentrel/2.0", server.requests()[-1]["headers"]["User-Agent"])
        server.stop()
        self.serve(self.untrusted)
        code, result = self.call("poll", "x")
        self.assertEqual(1, code, result)
        self.assertRegex(result["err"], r"^发送请求失败: \d+$")


if __name__ == "__main__":
    harness.main()
