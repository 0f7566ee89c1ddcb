#!/usr/bin/env python3
"""Stand-alone test MFA server for Sentrel's demo and tests (Python 3 standard library only).

Serves the five client endpoints under /api/v1/auth/ with an API-key check, real RFC 6238 TOTP
(SHA-1, 30 s, 6 digits, one step of clock skew either way), push challenges that a person
(web page /pushes) or a test (/control/...) approves or rejects, SMS and e-mail codes delivered to
an outbox, request recording and fault injection. Plain HTTP, or HTTPS with --tls-cert/--tls-key.

    mfa_server.py [--config users.json] [--api-key KEY] [--user NAME:BASE32SECRET]...
                  [--host 127.0.0.1] [--port 0] [--tls-cert cert.pem --tls-key key.pem]
                  [--outbox outbox.jsonl]
    mfa_server.py --make-test-certs FOLDER     writes a test CA and a localhost certificate

On start it prints one line "mfa_server listening on <scheme>://<host>:<port>" (the real port
when started on port 0). See the README section "Test MFA server" for the control endpoints.
"""

import argparse
import base64
import hashlib
import hmac
import html
import json
import os
import secrets
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

API = "/api/v1/auth/"
FINAL_STATUSES = ("approved", "rejected", "expired")


# --- TOTP (RFC 6238 over RFC 4226) ------------------------------------------------------------

def decode_secret(secret):
    """A base32 secret as authenticator apps show it: any case, spaces and missing padding allowed."""
    text = secret.replace(" ", "").upper()
    return base64.b32decode(text + "=" * (-len(text) % 8))


def hotp(key, counter, digits=6, digest=hashlib.sha1):
    mac = hmac.new(key, struct.pack(">Q", counter), digest).digest()
    offset = mac[-1] & 0x0F
    value = struct.unpack(">I", mac[offset:offset + 4])[0] & 0x7FFFFFFF
    return str(value % (10 ** digits)).zfill(digits)


def totp(key, at=None, step=30, digits=6, digest=hashlib.sha1):
    at = time.time() if at is None else at
    return hotp(key, int(at // step), digits, digest)


def verify_totp_code(key, code, at=None, skew=1):
    at = time.time() if at is None else at
    return any(hmac.compare_digest(totp(key, at + k * 30), code or "") for k in range(-skew, skew + 1))


def mask_destination(kind, destination):
    if kind == "email" and "@" in destination:
        name, domain = destination.split("@", 1)
        return name[:1] + "***@" + domain
    return "*" * max(0, len(destination) - 4) + destination[-4:]


# --- state --------------------------------------------------------------------------------------

class State:
    """Everything the server knows; one lock guards it all."""

    def __init__(self, api_key="", users=None, outbox_path=None, blocked_countries=()):
        self.lock = threading.Lock()
        self.api_key = api_key
        self.users = users or {}      # name -> {"totp_secret", "phone", "email"}
        self.outbox_path = outbox_path
        self.blocked_countries = set(blocked_countries)
        self.reset()

    def reset(self):
        self.pushes = {}              # id -> challenge record
        self.messages = {}            # id -> message challenge record
        self.outbox = []
        self.requests = []
        self.faults = []

    def take_fault(self, path):
        with self.lock:
            for fault in self.faults:
                if fault.get("path", "*") == "*" or path.endswith(fault["path"]):
                    if fault.get("times") is not None:
                        fault["times"] -= 1
                        if fault["times"] <= 0:
                            self.faults.remove(fault)
                    return dict(fault)
        return None

    def push_view(self, push):
        """A push as seen now: a pending one past its lifetime reads as expired."""
        if push["status"] == "pending" and time.time() > push["created"] + push["expires_in"]:
            push["status"] = "expired"
        return dict(push)

    def decide_push(self, challenge_id, status):
        with self.lock:
            if challenge_id == "latest":
                pending = [p for p in self.pushes.values() if self.push_view(p)["status"] == "pending"]
                if not pending:
                    return None
                challenge_id = max(pending, key=lambda p: p["created"])["challenge_id"]
            push = self.pushes.get(challenge_id)
            if push is None:
                return None
            push["status"] = status
            return dict(push)


# --- HTTP ---------------------------------------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SentrelTestMFA/1.0"

    def log_message(self, format, *args):  # quiet unless asked
        if self.server.verbose:
            sys.stderr.write("mfa_server: " + (format % args) + "\n")

    @property
    def state(self):
        return self.server.state

    # answers
    def send_body(self, status, body, content_type="application/json", headers=None):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_json(self, status, value):
        self.send_body(status, json.dumps(value, ensure_ascii=False))

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def do_GET(self):
        self.dispatch("GET")

    def do_POST(self):
        self.dispatch("POST")

    def do_DELETE(self):
        self.dispatch("DELETE")

    def dispatch(self, method):
        raw = self.read_body()
        url = urllib.parse.urlsplit(self.path)
        path, query = url.path, urllib.parse.parse_qs(url.query)
        text = raw.decode("utf-8", "replace")
        if path.startswith("/control/"):
            return self.control(method, path[len("/control/"):].strip("/").split("/"), query, text)
        if path.rstrip("/") in ("", "/pushes"):
            return self.page(method, path, text)
        # everything else is a client request: recorded, open to faults, and served when it is
        # the API (under any base path, as a client's server_url may carry one)
        fault = self.state.take_fault(path)
        record = {"method": method, "path": self.path, "headers": dict(self.headers.items()),
                  "body": text, "time": time.time(), "fault": fault, "answered": None}
        with self.state.lock:
            self.state.requests.append(record)
        try:
            if fault and self.apply_fault(fault):
                return
            if API in path:
                return self.api(method, path[path.index(API) + len(API):], query, text)
            self.send_json(404, {"error": "not found"})
        finally:
            with self.state.lock:
                record["answered"] = time.time()  # tests wait for a held answer to have gone out

    def apply_fault(self, fault):
        """True when the fault answered (or dropped) the request in place of the API.

        delay: seconds before anything is sent (slow headers); drop: the connection is reset;
        raw: these bytes (text) are the whole answer, no HTTP, then the connection closes;
        status/body/content_type/headers: the answer; body_size: the body repeated (or cut) to
        that many bytes (a 1 MB answer); truncate: only that many body bytes are sent, the
        Content-Length announcing them all, then the connection closes; trickle: seconds between
        the body's pieces of chunk bytes (default 1), the headers sent at once (a slow body)."""
        time.sleep(float(fault.get("delay", 0)))
        if fault.get("drop"):
            self.reset_connection()
            return True
        if "raw" in fault:
            self.close_connection = True
            self.wfile.write(fault["raw"].encode("utf-8"))
            self.wfile.flush()
            return True
        if not any(key in fault for key in ("status", "body", "body_size", "truncate", "trickle")):
            return False
        body = fault.get("body", "").encode("utf-8")
        if "body_size" in fault:
            size = int(fault["body_size"])
            body = ((body or b"x") * (size // max(1, len(body or b"x")) + 1))[:size]
        self.send_response(int(fault.get("status", 200)))
        for name, value in (fault.get("headers") or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", fault.get("content_type", "application/json"))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.flush()
        if "truncate" in fault:
            self.wfile.write(body[:int(fault["truncate"])])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return True
        if "trickle" in fault:
            chunk = max(1, int(fault.get("chunk", 1)))
            for at in range(0, len(body), chunk):
                self.wfile.write(body[at:at + chunk])
                self.wfile.flush()
                time.sleep(float(fault["trickle"]))
            return True
        self.wfile.write(body)
        return True

    def reset_connection(self):
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # the client API
    def api(self, method, endpoint, query, text):
        if self.state.api_key and self.headers.get("X-API-Key") != self.state.api_key:
            return self.send_json(401, {"error": "invalid api key"})
        try:
            body = json.loads(text) if method == "POST" else {}
        except ValueError:
            return self.send_json(400, {"error": "body is not JSON"})
        if not isinstance(body, dict):
            return self.send_json(400, {"error": "body is not an object"})
        routes = {("POST", "verify"): self.api_verify, ("POST", "push/request"): self.api_push_request,
                  ("GET", "push/status"): self.api_push_status, ("POST", "message/request"): self.api_message_request,
                  ("POST", "message/verify"): self.api_message_verify}
        route = routes.get((method, endpoint))
        if route is None:
            return self.send_json(404, {"error": "no such endpoint"})
        route(body, query)

    def user(self, body):
        return self.state.users.get(str(body.get("username", "")))

    def country(self, body):
        location = body.get("location") if isinstance(body.get("location"), dict) else body
        return str(location.get("country_code", ""))

    def api_verify(self, body, query):
        user = self.user(body)
        if user is None or not user.get("totp_secret"):
            return self.send_json(401, {"error": "unknown user"})
        if self.country(body) in self.state.blocked_countries:
            return self.send_json(403, {"error": "blocked by location policy"})
        if not verify_totp_code(decode_secret(user["totp_secret"]), str(body.get("code", ""))):
            return self.send_json(401, {"error": "wrong code"})
        self.send_json(200, {"status": "ok", "username": body["username"]})

    def api_push_request(self, body, query):
        if self.user(body) is None:
            return self.send_json(404, {"error": "unknown user"})
        if self.country(body) in self.state.blocked_countries:
            return self.send_json(403, {"error": "blocked by location policy"})
        push = {"challenge_id": secrets.token_hex(8), "passcode": "%06d" % secrets.randbelow(10 ** 6),
                "status": "pending", "username": body["username"], "client_ip": body.get("client_ip", ""),
                "client_app": body.get("client_app", ""), "reason": body.get("reason", ""),
                "created": time.time(), "expires_in": int(body.get("expires_in") or 300)}
        with self.state.lock:
            self.state.pushes[push["challenge_id"]] = push
        self.send_json(200, {"challenge_id": push["challenge_id"], "passcode": push["passcode"],
                             "status": "pending", "expires_in": push["expires_in"]})

    def api_push_status(self, body, query):
        challenge_id = (query.get("challenge_id") or [""])[0]
        with self.state.lock:
            push = self.state.pushes.get(challenge_id)
            view = self.state.push_view(push) if push else None
        if view is None:
            return self.send_json(404, {"error": "unknown challenge"})
        self.send_json(200, {"challenge_id": challenge_id, "status": view["status"]})

    def api_message_request(self, body, query):
        user = self.user(body)
        kind = str(body.get("auth_type", ""))
        if kind not in ("sms", "email"):
            return self.send_json(400, {"error": "auth_type must be sms or email"})
        destination = (user or {}).get("phone" if kind == "sms" else "email")
        if not destination:
            return self.send_json(404, {"error": "no destination for this user"})
        message = {"challenge_id": secrets.token_hex(8), "code": "%06d" % secrets.randbelow(10 ** 6),
                   "username": body["username"], "auth_type": kind, "destination": destination,
                   "created": time.time(), "expires_in": int(body.get("expires_in") or 300), "used": False}
        with self.state.lock:
            self.state.messages[message["challenge_id"]] = message
            entry = {k: message[k] for k in ("challenge_id", "code", "username", "auth_type", "destination", "created")}
            self.state.outbox.append(entry)
            if self.state.outbox_path:
                with open(self.state.outbox_path, "a", encoding="utf-8") as f:
                    f.write(json.dumps(entry, ensure_ascii=False) + "\n")
        self.send_json(201, {"challenge_id": message["challenge_id"],
                             "masked_destination": mask_destination(kind, destination),
                             "expires_in": message["expires_in"]})

    def api_message_verify(self, body, query):
        with self.state.lock:
            message = self.state.messages.get(str(body.get("challenge_id", "")))
            ok = (message is not None and not message["used"]
                  and time.time() <= message["created"] + message["expires_in"]
                  and hmac.compare_digest(message["code"], str(body.get("code", ""))))
            if ok:
                message["used"] = True
        if not ok:
            return self.send_json(401, {"error": "wrong or expired code"})
        self.send_json(200, {"status": "ok"})

    # control endpoints for tests (no API key; bind to a local address)
    def control(self, method, parts, query, text):
        try:
            body = json.loads(text) if text.strip() else {}
        except ValueError:
            return self.send_json(400, {"error": "body is not JSON"})
        state = self.state
        if parts == ["pushes"] and method == "GET":
            with state.lock:
                return self.send_json(200, [state.push_view(p) for p in state.pushes.values()])
        if len(parts) == 3 and parts[0] == "pushes" and method == "POST":
            status = {"approve": "approved", "reject": "rejected", "expire": "expired"}.get(parts[2], parts[2])
            push = state.decide_push(parts[1], status)
            return self.send_json(200 if push else 404, push or {"error": "no such pending push"})
        if parts == ["outbox"] and method in ("GET", "DELETE"):
            with state.lock:
                out = list(state.outbox)
                if method == "DELETE":
                    state.outbox.clear()
            return self.send_json(200, out)
        if parts == ["requests"] and method in ("GET", "DELETE"):
            with state.lock:
                out = list(state.requests)
                if method == "DELETE":
                    state.requests.clear()
            return self.send_json(200, out)
        if parts == ["faults"] and method == "GET":
            with state.lock:
                return self.send_json(200, list(state.faults))
        if parts == ["faults"] and method == "POST":
            with state.lock:
                state.faults.append(body)
            return self.send_json(200, state.faults)
        if parts == ["faults"] and method == "DELETE":
            with state.lock:
                state.faults.clear()
            return self.send_json(200, [])
        if len(parts) == 2 and parts[0] == "totp" and method == "GET":
            user = state.users.get(parts[1])
            if not user or not user.get("totp_secret"):
                return self.send_json(404, {"error": "unknown user"})
            return self.send_json(200, {"code": totp(decode_secret(user["totp_secret"]))})
        if parts == ["reset"] and method == "POST":
            with state.lock:
                state.reset()
            return self.send_json(200, {})
        self.send_json(404, {"error": "no such control endpoint"})

    # the page a person uses to answer pushes
    def page(self, method, path, text):
        if method == "POST":
            form = urllib.parse.parse_qs(text)
            action = (form.get("action") or [""])[0]
            if action in ("approved", "rejected"):
                self.state.decide_push((form.get("challenge_id") or [""])[0], action)
            self.send_response(303)
            self.send_header("Location", "/pushes")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with self.state.lock:
            pushes = sorted((self.state.push_view(p) for p in self.state.pushes.values()),
                            key=lambda p: -p["created"])
        rows = []
        for p in pushes:
            buttons = ""
            if p["status"] == "pending":
                buttons = "".join(
                    '<form method="post" action="/pushes" style="display:inline">'
                    '<input type="hidden" name="challenge_id" value="%s">'
                    '<button name="action" value="%s">%s</button></form>' % (html.escape(p["challenge_id"]), a, label)
                    for a, label in (("approved", "Approve"), ("rejected", "Reject")))
            cells = [html.escape(str(v)) for v in (time.strftime("%H:%M:%S", time.localtime(p["created"])),
                                                   p["username"], p["client_ip"], p["passcode"], p["status"])]
            rows.append("<tr>%s<td>%s</td></tr>" % ("".join("<td>%s</td>" % c for c in cells), buttons))
        page = ("<!doctype html><html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"3\">"
                "<title>Test MFA server: pushes</title></head><body><h1>Push challenges</h1>"
                "<table border=\"1\" cellpadding=\"4\"><tr><th>time</th><th>user</th><th>client</th>"
                "<th>passcode</th><th>status</th><th></th></tr>%s</table></body></html>") % "".join(rows)
        self.send_body(200, page, "text/html; charset=utf-8")


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, state, tls_cert=None, tls_key=None, verbose=False):
        super().__init__(address, Handler)
        self.state = state
        self.verbose = verbose
        self.scheme = "http"
        if tls_cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(tls_cert, tls_key)
            self.socket = context.wrap_socket(self.socket, server_side=True)
            self.scheme = "https"

    def handle_error(self, request, client_address):
        # a client that leaves before the whole answer is read (the Sentrel client reads at most
        # 8,191 bytes) is expected; other errors are shown
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)) or self.verbose:
            super().handle_error(request, client_address)

    def url(self):
        host, port = self.server_address[:2]
        return "%s://%s:%d" % (self.scheme, host, port)


# --- test certificates ------------------------------------------------------------------------

def make_test_certs(folder, days=2):
    """A test CA (ca.pem, ca.der) and a certificate for "localhost" and 127.0.0.1 signed by it
    (server.pem, server.key), and an expired one for the same name and key (expired.pem), made
    with Debian's openssl. Returns the paths by name."""
    os.makedirs(folder, exist_ok=True)
    p = {name: os.path.join(folder, name) for name in
         ("ca.pem", "ca.key", "ca.der", "server.pem", "server.key", "server.csr", "server.ext",
          "expired.pem")}

    def run(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p["ca.key"], "-out", p["ca.pem"],
        "-days", str(days), "-subj", "/CN=Sentrel Test CA %s" % secrets.token_hex(4),
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("x509", "-in", p["ca.pem"], "-outform", "DER", "-out", p["ca.der"])
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["server.key"], "-out", p["server.csr"],
        "-subj", "/CN=localhost")
    with open(p["server.ext"], "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("x509", "-req", "-in", p["server.csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"], "-CAcreateserial",
        "-out", p["server.pem"], "-days", str(days), "-sha256", "-extfile", p["server.ext"])
    # The same name and key signed by the same CA, but no longer valid: it ended a day ago.
    run("x509", "-req", "-in", p["server.csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"], "-CAcreateserial",
        "-out", p["expired.pem"], "-days", "-1", "-sha256", "-extfile", p["server.ext"])
    return p


# --- command line -------------------------------------------------------------------------------

def load_state(args):
    config = {}
    if args.config:
        with open(args.config, encoding="utf-8") as f:
            config = json.load(f)
    users = dict(config.get("users", {}))
    for item in args.user or []:
        name, _, secret = item.partition(":")
        users.setdefault(name, {})["totp_secret"] = secret
    for name, user in users.items():
        if user.get("totp_secret"):
            decode_secret(user["totp_secret"])  # a bad secret stops the start, not a request
    api_key = args.api_key if args.api_key is not None else config.get("api_key", "")
    return State(api_key, users, args.outbox or config.get("outbox"), config.get("blocked_countries", []))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Test MFA server for Sentrel")
    parser.add_argument("--config", help="JSON: api_key, users {name: {totp_secret, phone, email}}, blocked_countries")
    parser.add_argument("--api-key")
    parser.add_argument("--user", action="append", metavar="NAME:SECRET", help="a TOTP user (base32 secret)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--outbox", help="file that receives one JSON line per SMS or e-mail code")
    parser.add_argument("--make-test-certs", metavar="FOLDER")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    if args.make_test_certs:
        for name, path in sorted(make_test_certs(args.make_test_certs).items()):
            print("%s: %s" % (name, path))
        return 0
    server = Server((args.host, args.port), load_state(args), args.tls_cert, args.tls_key, args.verbose)
    print("mfa_server listening on %s" % server.url(), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
