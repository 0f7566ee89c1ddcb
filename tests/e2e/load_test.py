"""The load campaign in its quick size: eight clients of the auth pipe at once, every request
answered and logged once; bursts of starts of a protected program, every start stopped and judged,
one dialog and one log line per round; the service's handles, threads and private memory flat past
the warm-up. And the campaign's own checks catch a server that loses replies and a start nobody
stopped."""

import os
import sys

from harness import E2ETestCase, main

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/load")))
import run_campaign  # noqa: E402

CLIENTS = 8
WARM_UP = 50
PER_CLIENT = 300
BURST = 30


class Load(E2ETestCase):
    def test_every_request_is_answered_and_every_start_of_a_burst_judged(self):
        result, wrong = run_campaign.run(self.install, CLIENTS, WARM_UP, PER_CLIENT, BURST)
        run_campaign.report(result)
        self.assertEqual(wrong, [])

        requests = result["requests"]
        load = requests["load"]
        sent = CLIENTS * PER_CLIENT
        self.assertEqual((load["sent"], load["answered"], load["allowed"], load["lost"], load["not_connected"]),
                         (str(sent), str(sent), str(sent), "0", "0"))
        # One "cmd:" line per request, warm-up included; nothing else logged for them.
        self.assertEqual(requests["log_lines"], CLIENTS * (WARM_UP + PER_CLIENT))
        self.assertEqual(requests["other_cmd_lines"], 0)
        warm, after = requests["usage_warm"], requests["usage_after"]
        self.assertLessEqual(int(after["open_handles"]), int(warm["open_handles"]) + run_campaign.HANDLE_SLACK)
        self.assertEqual(after["threads"], warm["threads"])

        bursts = result["bursts"]
        for name, burst in bursts.items():
            in_start = int(burst.get("stopped_in_start", "0"))  # ended before Wine finished starting it
            self.assertEqual((int(burst["started"]) + in_start, int(burst["stopped"]) + in_start, burst["running"]),
                             (BURST, BURST, "0"), name)
            self.assertEqual(burst["other_lines"], [], name)
        # Held open while the burst came: one dialog and one relaunch for all of it.
        approve = bursts["held-approve"]
        self.assertEqual((approve["rounds"], approve["relaunches"], approve["relaunches_recorded"],
                          approve["running_copies"]), (1, 1, 1, 1))
        # Denied: asked for once more, since the program was started again meanwhile; nothing runs.
        deny = bursts["held-deny"]
        self.assertEqual((deny["rounds"], deny["denied_lines"], deny["relaunches"], deny["running_copies"]),
                         (2, 2, 0, 0))
        free = bursts["free"]
        self.assertGreaterEqual(free["rounds"], 1)
        self.assertEqual(free["denied_lines"], free["rounds"])
        self.assertEqual(free["running_copies"], 0)
        # The rounds' own thread and the dialog host's pipe come with the first burst; after that, flat.
        first, last = bursts["held-approve"]["usage_after"], bursts["free"]["usage_after"]
        self.assertLessEqual(int(last["open_handles"]), int(first["open_handles"]) + run_campaign.HANDLE_SLACK)
        self.assertEqual(last["threads"], first["threads"])

    def test_a_server_that_loses_replies_is_caught(self):
        # The echo server of the auth benchmark closing every 25th connection unanswered.
        self.install.lay_out(executables=("auth_bench.exe",))
        self.install.start("auth_bench.exe", "echo", run_campaign.PIPE, "25")
        self.assertEqual(self.install.wait_for("pipe", "SentrelAuth", "15000")[0], 0)
        code, out, err = self.install.run("auth_bench.exe", "load", run_campaign.PIPE, "4", "50", timeout=120)
        load = run_campaign.figures(run_campaign.last_line(out, "load"))
        self.assertEqual(code, 1, out + err)
        self.assertEqual((load["sent"], load["lost"], load["answered"]), ("200", "8", "192"))
        self.assertEqual(len(run_campaign.load_failures("requests", load, 200)), 1)

    def test_a_start_that_nobody_stops_is_caught(self):
        # No service: nothing stops the copies, which the launcher finds still running at its bound.
        self.install.lay_out(executables=("watcher_bench.exe", "protected_free.exe"),
                             replace={"protected_free.exe": "protected_app.exe"})
        campaign = run_campaign.Campaign(self.install, None)
        launch = campaign.launch("protected_free.exe", 3, 0, 3)
        self.assertEqual((launch["exit_code"], launch["stopped"], launch["running"]), (1, "0", "3"))
        launch.update(rounds=0, relaunch_ok_lines=0, denied_lines=0, other_lines=[], relaunches=0,
                      relaunches_recorded=0, running_copies=len(campaign.running_copies("protected_free.exe")))
        wrong = run_campaign.burst_failures("free", 3, launch)
        self.assertIn("burst free: 0 of 3 starts stopped, 3 running unjudged, 0 ended otherwise", wrong)
        self.assertIn("burst free: 3 copies run after the burst, 0 relaunched", wrong)


if __name__ == "__main__":
    main()
