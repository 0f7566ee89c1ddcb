"""The audit events the running service reports to the Windows Event Log. Wine keeps no events to
read back, but prints every ReportEventW call on its debug channels (WINEDEBUG=fixme+advapi,+eventlog):
"ReportEventW (handle,0xTYPE,0xCATEGORY,0xID,...)" and then one line per insertion string. The
service runs in the foreground (the same body as the service) with that debug setting."""

import os
import re

from harness import main, policy_json, rule_json, settings_json, wait_until
from mfa_fixture import API_KEY, MfaServerCase

APP = "protected_app.exe"
STOPPED = 5
CALL = re.compile(r"^(?:([0-9a-f]+):)?fixme:advapi:ReportEventW \(([^,]*),0x([0-9a-f]+),0x([0-9a-f]+),0x([0-9a-f]+),")
STRING = re.compile(r'^(?:([0-9a-f]+):)?(?:trace|warn|err|fixme):eventlog:ReportEventW L"(.*)"(\.\.\.)?$')
INFORMATION, WARNING = 4, 2


def unescape(text):
    """A string as Wine's debugstr_w printed it: backslash escapes, other units as \\XXXX."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = text[i + 1]
        if nxt in "\\\"'":
            out.append(nxt)
            i += 2
        elif nxt in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[nxt])
            i += 2
        else:
            digits = text[i + 2:i + 6] if nxt == "x" else text[i + 1:i + 5]
            out.append(chr(int(digits, 16)))
            i += 6 if nxt == "x" else 5
    return "".join(out)


def reported_events(trace):
    """[(type, id, [strings])] of every ReportEventW call in a Wine debug trace, in order."""
    events, open_calls = [], {}
    for line in trace.splitlines():
        call = CALL.match(line)
        if call:
            event = (int(call.group(3), 16), int(call.group(5), 16), [])
            events.append(event)
            open_calls[call.group(1)] = event
            continue
        string = STRING.match(line)
        if string and string.group(1) in open_calls:
            open_calls[string.group(1)][2].append(unescape(string.group(2)))
    return events


class EventLog(MfaServerCase):
    def setUp(self):
        super().setUp()
        rules = [rule_json("command", "Echo tool", match_name="arg_echo.exe", args_contains="deploy", auth_mode="totp"),
                 rule_json("program", "Protected app", match_name=APP, auth_mode="email")]
        settings = settings_json(server_url="http://127.0.0.1:%d" % self.server.port, api_key=API_KEY,
                                 mfa_username="alice")
        self.install.lay_out(settings=settings, policy=policy_json(rules),
                             executables=("SentrelSvc.exe", "runguard.exe", "arg_echo.exe", "report_exit.exe", APP,
                                          "SentrelUI.exe"),
                             replace={"SentrelUI.exe": "test_dialog_host.exe"})
        with open(os.path.join(self.install.folder, "test_dialog_script.txt"), "w", encoding="utf-8") as f:
            # A person typing alice's current code (the service checks it), then one who gives up.
            code = self.server.control("GET", "totp/alice")["code"]
            f.write("code %s\ndeny 请求被拒绝 \"x\"\n" % code)
        self.policy = self.read("SentrelSvc.policy.json")

    def read(self, name):
        try:
            with open(os.path.join(self.install.folder, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def test_a_denied_program_an_approved_command_and_a_restored_file_are_reported_with_their_inserts(self):
        service = self.install.start("SentrelSvc.exe", "run", env={"WINEDEBUG": "fixme+advapi,+eventlog"})
        self.install.wait_service_ready(service)
        echo = self.install.path_win("arg_echo.exe")
        app = self.install.path_win(APP)
        policy = self.install.path_win("SentrelSvc.policy.json")

        code, out, err = self.install.run("runguard.exe", "run", "--", "arg_echo.exe", "deploy", "a b")
        self.assertEqual(code, 0, out + err)

        starter = self.install.start("report_exit.exe", app, "x", cwd="/tmp")
        starter.wait(15)
        self.assertEqual(starter.stderr.read().decode("utf-8", "replace").strip().splitlines()[-1],
                         "exit code: %d" % STOPPED)

        code, _, _ = self.install.run(r"C:\windows\system32\cmd.exe", "/c", "echo {}> SentrelSvc.policy.json")
        self.assertTrue(wait_until(lambda: self.read("SentrelSvc.policy.json") == self.policy, timeout=10),
                        "the policy file was not written back")

        wanted = {1000, 3001, 2000, 2002, 4000}
        arrived = []

        def reported():
            arrived.append(service.stderr.read().decode("utf-8", "replace"))  # what came since the last read
            return reported_events("".join(arrived))
        self.assertTrue(wait_until(lambda: wanted <= {e[1] for e in reported()}, timeout=15), reported())
        events = {e[1]: e for e in reported()}

        self.assertEqual(events[1000][:2], (INFORMATION, 1000))
        self.assertEqual(events[1000][2][0], "2")
        self.assertRegex(events[1000][2][1], r"^\d+\.\d+\.\d+\.\d+$")

        kind, _, strings = events[3001]
        self.assertEqual(kind, INFORMATION)
        self.assertEqual(len(strings), 4, strings)
        self.assertEqual((strings[0], strings[1], strings[3]), (echo, 'deploy "a b"', "Echo tool"))
        account = strings[2]
        self.assertRegex(account, r"^[^\\]+\\[^\\]+$")  # DOMAIN\user of the pipe's client

        self.assertEqual(events[2000], (INFORMATION, 2000, [app, account, "Protected app", "email"]))
        self.assertEqual(events[2002], (WARNING, 2002, [app, account, '请求被拒绝 "x"']))
        self.assertEqual(events[4000], (WARNING, 4000, [policy, "content changed; restored from the service's copy"]))

        # The text log says what it said before, line for line.
        messages = self.install.log_messages()
        for line in ("service started, rules=2", 'cmd: path=%s args=deploy "a b" result=认证成功' % echo,
                     'program denied: %s reason=请求被拒绝 "x"' % app, "Detect unauthorized change/delete on: " + policy):
            self.assertIn(line, messages)
        self.assertFalse([m for m in messages if "event log" in m], messages)


if __name__ == "__main__":
    main()
