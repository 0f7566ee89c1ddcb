"""The MFA server faults campaign in its quick size: the test MFA server down, resetting, slow past
every timeout, answering 5xx, garbage, 1 MB, cut or HTML bodies, redirecting, or behind an
untrusted or expired certificate, while rounds run through runguard and the auth pipe; then the
real dialog with a faulted check and the next round healthy. Every faulted round is refused with a
reason within its bound, and the service and the dialog stay usable."""

import os
import shutil
import sys
import tempfile

import harness
from harness import E2ETestCase, main

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/mfa_faults")))
import run_campaign  # noqa: E402

TIMEOUT_S = 8  # http_timeout_ms


class MfaServerFaults(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="sentrel-mfa-faults-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_every_faulted_round_is_refused_with_a_reason_within_its_bound(self):
        figures = run_campaign.run_rounds(self.install, self.tmp, 1, list(run_campaign.KINDS), quick=True)
        figures["dialog"] = run_campaign.run_dialog(harness.Install(), self.tmp, 1)
        run_campaign.report(figures)
        self.assertEqual(run_campaign.failures(figures), [])

        rounds = figures["rounds"]
        self.assertEqual({r["kind"] for r in rounds}, set(run_campaign.KINDS))
        for stage in run_campaign.STAGES:
            if not stage.startswith("email."):
                self.assertTrue(any(r["stage"] == stage for r in rounds), stage)
        # The slow kinds really waited for a timeout, and for one only: the header block and the
        # body are each bounded by the 8 s receive timeout, under Wine too.
        for r in rounds:
            if r["kind"] in run_campaign.SLOW_KINDS:
                self.assertGreaterEqual(r["seconds"], TIMEOUT_S - 0.5, r)
                self.assertLess(r["seconds"], 2 * TIMEOUT_S, r)
                self.assertRegex(r["reason"], r"接收响应失败: \d+$", r)
        # A cut or non-HTTP answer fails the exchange; it is never read as an answer.
        for r in rounds:
            if r["kind"] in ("truncated", "not_http"):
                self.assertIn("接收响应失败", r["reason"], r)
        self.assertEqual(figures["redirect_target_requests"], 0)
        self.assertEqual(len(figures["healthy"]), len(run_campaign.KINDS))
        self.assertTrue(figures["by_design"])
        # The real dialog: the faulted check closed it with its reason, the next one passed.
        self.assertEqual([(d["kind"], d["exit_code"]) for d in figures["dialog"]], [("slow_headers", 4), ("healthy", 0)])
        self.assertRegex(figures["dialog"][0]["reason"], r"^接收响应失败: \d+$")

    def test_the_campaign_catches_an_approval_and_a_round_past_its_bound(self):
        campaign = run_campaign.Campaign(self.install, self.tmp)
        self.addCleanup(campaign.close)
        campaign.lay_out()
        # A "fault" that is none, with the right code typed: the round passes, which the campaign
        # counts as a failure. A round held past a bound made too short is caught as well.
        right = "code " + campaign.main.control("GET", "totp/alice")["code"]
        stages = dict(run_campaign.STAGES, **{"totp.right": ("totp", "auth/verify", "request", right)})
        kinds = dict(run_campaign.KINDS, none=({}, ("totp.right",), run_campaign.TRANSPORT))
        bounds = dict(run_campaign.BOUNDS, request=TIMEOUT_S - 2)
        for name, value in (("STAGES", stages), ("KINDS", kinds), ("BOUNDS", bounds)):
            self.addCleanup(setattr, run_campaign, name, getattr(run_campaign, name))
            setattr(run_campaign, name, value)
        campaign.faulted_round("none", "totp.right", 0)
        campaign.faulted_round("slow_headers", "push.request", 0)
        campaign.install.stop(campaign.service)
        wrong = run_campaign.failures({"rounds": campaign.rounds, "healthy": [], "direct": [], "by_design": [],
                                       "redirect_target_requests": 0})
        self.assertEqual(len(wrong), 2, wrong)
        self.assertIn("round none/totp.right #0: exit 0", wrong[0])
        self.assertIn("round slow_headers/push.request #0: exit 4", wrong[1])


if __name__ == "__main__":
    main()
