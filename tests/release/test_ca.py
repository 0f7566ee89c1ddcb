"""A throw-away certificate authority for the signing tests, made with openssl: a root CA, a
code-signing certificate and a time-stamping authority (TSA) certificate issued by it, and a small
RFC 3161 time-stamping server on 127.0.0.1 that answers with `openssl ts -reply`."""

import http.server
import os
import subprocess
import tempfile
import threading


def openssl(*args, cwd):
    done = subprocess.run(["openssl"] + list(args), cwd=cwd, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args), done.stderr))
    return done.stdout


def make_ca(folder, name="Sentrel Test Root CA"):
    """Writes ca.pem/ca.key, sign.pem/sign.key (code signing), tsa.pem/tsa.key (time stamping) and
    tsa.cnf into folder; returns a dict of their paths."""
    os.makedirs(folder, exist_ok=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=%s" % name, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    leaves = {
        "sign": ("Sentrel Test Code Signing", "extendedKeyUsage=codeSigning"),
        "tsa": ("Sentrel Test Time Stamping", "extendedKeyUsage=critical,timeStamping"),
    }
    for leaf, (subject, usage) in leaves.items():
        with open(os.path.join(folder, leaf + ".ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n%s\n"
                    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n" % usage)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", leaf + ".key", "-out", leaf + ".csr",
                "-subj", "/CN=%s" % subject, cwd=folder)
        openssl("x509", "-req", "-in", leaf + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", leaf + ".pem", "-days", "2", "-extfile", leaf + ".ext", cwd=folder)
    with open(os.path.join(folder, "tsa.cnf"), "w") as f:
        f.write("[ tsa ]\ndefault_tsa = test_tsa\n[ test_tsa ]\nserial = %s\nsigner_digest = sha256\n"
                "default_policy = 1.3.6.1.4.1.55555.1\ndigests = sha1, sha256, sha384, sha512\n"
                "accuracy = secs:1\ness_cert_id_alg = sha256\ness_cert_id_chain = no\n"
                % os.path.join(folder, "tsa.serial"))
    with open(os.path.join(folder, "tsa.serial"), "w") as f:
        f.write("01\n")
    return {k: os.path.join(folder, k) for k in ("ca.pem", "ca.key", "sign.pem", "sign.key", "tsa.pem", "tsa.key",
                                                  "tsa.cnf")}


class TimeStampServer:
    """An RFC 3161 time-stamping authority over HTTP on 127.0.0.1 (the port is free-picked)."""

    def __init__(self, ca):
        self.ca = ca
        self.requests = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                server.requests += 1
                with tempfile.TemporaryDirectory(prefix="sentrel-tsa-") as tmp:
                    query = os.path.join(tmp, "query.tsq")
                    reply = os.path.join(tmp, "reply.tsr")
                    with open(query, "wb") as f:
                        f.write(body)
                    done = subprocess.run(["openssl", "ts", "-reply", "-config", ca["tsa.cnf"], "-queryfile", query,
                                           "-signer", ca["tsa.pem"], "-inkey", ca["tsa.key"], "-chain", ca["ca.pem"],
                                           "-out", reply], capture_output=True, timeout=60)
                    if done.returncode != 0:
                        self.send_error(500, done.stderr.decode(errors="replace")[:200])
                        return
                    with open(reply, "rb") as f:
                        answer = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)
