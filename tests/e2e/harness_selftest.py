"""The harness tells a start Wine never made from a program's result: it tries such a start once
more, and never reruns a program that ran, whatever it answered. No Wine needed: the commands are
shell stand-ins that print what Wine prints or fail as a program would."""

import io
import os
import tempfile
import unittest
from contextlib import redirect_stderr

import harness

WINE_START_FAILURE = "Application could not be started, or no application associated with the specified file.\n" \
                     "ShellExecuteEx failed: Internal error.\n"


class RunWineStarts(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="sentrel-harness-")
        self.runs = os.path.join(self.folder, "runs")

    def tearDown(self):
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        os.rmdir(self.folder)

    def stand_in(self, first, later):
        """A command counting its runs in a file: the first run does `first`, the others `later`."""
        script = 'echo x >> "%s"; if [ "$(wc -l < "%s")" -eq 1 ]; then %s; else %s; fi' % (self.runs, self.runs,
                                                                                      first, later)
        return ["sh", "-c", script]

    def run_count(self):
        with open(self.runs) as f:
            return len(f.readlines())

    def test_a_start_wine_could_not_make_is_tried_once_more_and_said_so(self):
        failed = "printf '%s' >&2; exit 1" % WINE_START_FAILURE
        said = io.StringIO()
        with redirect_stderr(said):
            code, out, _ = harness.run_wine(self.stand_in(failed, "echo created; exit 0"))
        self.assertEqual((code, out, self.run_count()), (0, b"created\n", 2))
        self.assertIn("INFRASTRUCTURE FAILURE, not a test result", said.getvalue())

    def test_a_second_failed_start_is_the_answer(self):
        failed = "printf '%s' >&2; exit 1" % WINE_START_FAILURE
        with redirect_stderr(io.StringIO()):
            code, _, err = harness.run_wine(self.stand_in(failed, failed))
        self.assertEqual((code, self.run_count()), (1, 2))
        self.assertIn(b"ShellExecuteEx failed", err)

    def test_a_program_that_ran_is_never_run_again(self):
        for first in ("echo 'no such service' >&2; exit 1", "exit 3", "true"):
            with self.subTest(first=first):
                if os.path.exists(self.runs):
                    os.unlink(self.runs)
                said = io.StringIO()
                with redirect_stderr(said):
                    harness.run_wine(self.stand_in(first, "exit 0"))
                self.assertEqual((self.run_count(), said.getvalue()), (1, ""))


if __name__ == "__main__":
    unittest.main()
