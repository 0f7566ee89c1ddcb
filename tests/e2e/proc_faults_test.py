"""The process faults campaign in its quick size (our own processes killed or stopped at random
moments of a round, the log folder taken away, data-file writes meeting a full disk or a read-only
target), a proof that the campaign catches a writer that is not atomic, and the same kills met by the
real dialog on a display: a dialog whose service was killed closes, and the next round passes."""

import os
import random
import sys
import time

from dialog_fixture import DialogCase
from harness import E2ETestCase, main, policy_json, rule_json, wait_until

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "../../tools/proc_faults")))
import run_campaign  # noqa: E402

SEED = 24003


class ProcessFaults(E2ETestCase):
    def test_quick_campaign_every_fault_within_its_bound_and_the_next_round_works(self):
        rounds = run_campaign.run(run_campaign.QUICK, SEED)
        run_campaign.report(rounds)
        self.assertEqual(run_campaign.failures(rounds, run_campaign.QUICK), [])

        got = run_campaign.summary(rounds)
        for phase, n in run_campaign.QUICK.items():
            self.assertEqual(got[phase]["rounds"], n, phase)
            self.assertEqual(got[phase]["failed"], 0, phase)
        # The kills ended rounds one of the ways allowed, each within its bound; an approval only
        # ever came from a code the server had verified (failures() checks each round).
        self.assertLessEqual(set(got["dialog_kill"]["outcomes"]), {"denied", "approved"})
        self.assertLessEqual(set(got["service_kill"]["outcomes"]), {"no_service", "approved"})
        self.assertLessEqual(set(got["service_stop"]["outcomes"]), {"no_service", "approved", "denied"})
        self.assertLessEqual(got["service_kill"]["max_s"], run_campaign.SERVICE_KILL_BOUND_S)
        self.assertLessEqual(got["service_stop"]["max_s"], run_campaign.STOP_BOUND_S)
        # Every log fault was met and logging resumed after each.
        self.assertEqual(set(got["log_fault"]["points"]), set(run_campaign.LOG_FAULTS))
        self.assertEqual(got["log_fault"]["outcomes"], {"resumed": run_campaign.QUICK["log_fault"]})
        # Every writer met every fault, answered false, and kept the old file.
        self.assertEqual(set(got["write_fault"]["points"]),
                         {"%s/%s" % (k, f) for k in run_campaign.WRITE_KINDS for f in run_campaign.WRITE_FAULTS})
        self.assertEqual(got["write_fault"]["outcomes"], {"write failed": run_campaign.QUICK["write_fault"]})

    def test_a_writer_that_writes_in_place_is_caught(self):
        rounds = run_campaign.run_write_fault(12, random.Random(SEED), careless=True)
        wrong = run_campaign.failures(rounds, {"write_fault": 12})
        # A full disk leaves the file cut short; a read-only folder does not stop a write in place.
        self.assertTrue(any("disk_full" in w and "old file was not kept" in w for w in wrong), wrong)
        self.assertTrue(any("folder_read_only" in w and "did not report the failure" in w for w in wrong), wrong)


class RealDialogKills(DialogCase):
    """The kills of the campaign met by the real dialog host (SentrelUI.exe --pipe on Xvfb)."""

    def policy(self):
        return policy_json([rule_json("command", "Echo", match_name="arg_echo.exe", cache_window_seconds=0)])

    def pass_round(self, label):
        guarded = self.open_dialog(label)
        self.driver("type", self.current_code())  # the sixth digit submits
        self.assertEqual(self.driver("gone", "10000")[0], 0)
        status, out, err = self.finish(guarded, timeout=30)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("[%s]" % label, out)

    def test_a_dialog_whose_service_was_killed_closes_and_the_next_round_passes(self):
        guarded = self.open_dialog("first")
        killed = time.time()
        self.install.kill_installed_processes_named("SentrelSvc.exe")
        status, out, err = self.finish(guarded, timeout=run_campaign.SERVICE_KILL_BOUND_S * 5)
        self.assertLessEqual(time.time() - killed, run_campaign.SERVICE_KILL_BOUND_S)
        self.assertEqual((status, out), (3, ""))
        self.assertTrue(err.startswith("无法连接 SentrelSvc"), err)
        # Nobody waits for the orphaned dialog's verdict: it goes, and its host stays for the next round.
        self.assertEqual(self.driver("gone", "5000")[0], 0, "the orphaned dialog stayed on screen")
        hosts = self.host_pids()
        self.assertEqual(len(hosts), 1)
        self.service = self.start_service()
        self.pass_round("second")
        self.assertEqual(self.host_pids(), hosts)

    def test_a_killed_dialog_host_denies_and_the_next_round_starts_a_new_one(self):
        guarded = self.open_dialog("first")
        killed = time.time()
        self.install.kill_installed_processes_named("SentrelUI.exe")
        status, out, err = self.finish(guarded, timeout=run_campaign.DIALOG_KILL_BOUND_S * 3)
        self.assertLessEqual(time.time() - killed, run_campaign.DIALOG_KILL_BOUND_S)
        self.assertEqual((status, out), (4, ""))
        self.assertTrue(err.startswith("命令被拒绝: "), err)
        self.assertTrue(wait_until(lambda: not self.host_pids(), timeout=10))
        self.pass_round("second")


if __name__ == "__main__":
    main()
