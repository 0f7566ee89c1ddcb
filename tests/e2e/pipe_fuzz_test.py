"""The pipe records campaign in its quick size: mutated auth requests against the running service
(its protected rounds answered by a hostile dialog host), then garbage requests to the real dialog
host. No crash, no hang, no approval that no dialog gave, and both ends still answer afterwards."""

import os
import sys

from harness import E2ETestCase, main

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/pipe_fuzz")))
import run_campaign  # noqa: E402

AUTH_RECORDS = 2000
UI_RECORDS = 300


class PipeRecords(E2ETestCase):
    def test_mutated_records_are_answered_or_dropped_and_approve_nothing(self):
        auth = run_campaign.run_auth_phase(self.install, AUTH_RECORDS, 24001, bound_s=300)
        ui = run_campaign.run_ui_phase(self.install, UI_RECORDS, 24001, bound_s=300)
        run_campaign.report(auth, ui)
        self.assertEqual(run_campaign.failures(auth, ui), [])

        kinds = {line.split()[0][5:]: run_campaign.figures(line) for line in auth["kinds"]}
        self.assertEqual(int(auth["sent"]), AUTH_RECORDS)
        # Every whole or wrong-size request got a reply; a protected one was never allowed.
        for kind in ("protected", "random", "unmatched", "wrong_size"):
            self.assertGreater(int(kinds[kind]["sent"]), 0, kind)
            self.assertEqual(kinds[kind]["answered"], kinds[kind]["sent"], kind)
        self.assertEqual(kinds["protected"]["allowed"], "0")
        self.assertEqual(kinds["wrong_size"]["allowed"], "0")
        self.assertEqual(kinds["unmatched"]["allowed"], kinds["unmatched"]["sent"])
        # The protected rounds reached the hostile host, which answered with approvals among its garbage.
        self.assertGreater(int(auth["host"]["requests"]), 0)
        self.assertGreater(int(auth["host"]["approving"]), 0)
        self.assertEqual(auth["host"]["passed"], "0")
        self.assertEqual(int(ui["sent"]), UI_RECORDS)
        self.assertGreater(int(ui["whole"]), 0)

    def test_a_server_that_approves_everything_is_caught(self):
        # The raw echo of the auth benchmark answers allowed=1 to anything, in the service's place.
        self.install.lay_out(executables=("auth_bench.exe", "pipe_fuzz.exe"))
        self.install.start("auth_bench.exe", "echo", r"\\.\pipe\SentrelAuth")
        self.assertEqual(self.install.wait_for("pipe", "SentrelAuth", "15000")[0], 0)
        code, out, err = self.install.run("pipe_fuzz.exe", "auth", "200", "7", run_campaign.PROTECTED_PATH,
                                          timeout=120)
        self.assertEqual(code, 1, out)
        self.assertGreater(int(run_campaign.figures(run_campaign.last_line(out, "auth"))["unexpected_approvals"]), 0)
        self.assertIn("approval no dialog gave: kind=protected", err)


if __name__ == "__main__":
    main()
