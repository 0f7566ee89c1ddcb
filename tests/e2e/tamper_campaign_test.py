"""The tamper campaign in its quick size: seeded bursts of mixed tampering (from Windows and from
the Unix side) with the five protected files of the registered, running service. Every action is
undone byte-identical with one log line, nothing moves after a burst settles, and the service
answers auth requests before, during and after the bursts."""

import os
import sys

from harness import E2ETestCase, main

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/tamper_burst")))
import run_campaign  # noqa: E402

ACTIONS = 30


class TamperCampaign(E2ETestCase):
    def test_bursts_of_mixed_tampering_are_undone_once_each_and_the_service_answers(self):
        result, wrong = run_campaign.run_campaign(self.install, ACTIONS, 24024, quiet_s=0.5)
        run_campaign.report(result)
        self.assertEqual(wrong, [])
        self.assertEqual(result["actions"], ACTIONS)
        for kind in run_campaign.KINDS:
            self.assertGreater(result["by_kind"][kind], 0, kind)
        self.assertGreater(result["by_side"]["unix"], 0)
        self.assertEqual(result["restored_byte_identical"], ACTIONS)
        self.assertEqual(result["restores_logged"], ACTIONS)
        self.assertEqual(result["log_lines"], ACTIONS)
        self.assertEqual(result["max_lines_per_action"], 1)
        self.assertEqual(result["auth_unanswered"], 0)
        self.assertGreater(result["auth_requests"], result["bursts"])

    def test_tampering_nobody_undoes_is_caught(self):
        # No service: the burst's files stay tampered with and its requests go unanswered.
        self.install.lay_out(policy="{ \"rules\": [] }\n",
                             executables=("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe", "tamper_burst.exe"))
        code, out, _ = self.install.run("tamper_burst.exe", "7", "0", "5", "500", timeout=60)
        self.assertEqual(code, 2, out)
        lines = out.replace("\r\n", "\n").splitlines()
        actions = [run_campaign.figures(line) for line in lines if line.startswith("action ")]
        self.assertEqual(len(actions), 5, out)
        self.assertTrue(all(a["done"] == "1" and a["seen"] == "1" and a["restored"] == "0" for a in actions), out)
        summary = run_campaign.figures([line for line in lines if line.startswith("burst ")][0])
        self.assertEqual((summary["restored"], summary["auth_ok"]), ("0", "0"))


if __name__ == "__main__":
    main()
