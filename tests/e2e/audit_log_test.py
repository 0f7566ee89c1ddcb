"""The audit log under the service: what stands where the default log folder belongs and is refused
is renamed aside and a fresh folder made (its first line says what was found); a refusal that
stays (a custom log_file, or a link that cannot be renamed as itself) is published for the
console's "audit log off: <reason>". Owners cannot be faked under Wine (every file belongs to the
prefix's user): the foreign-owner cases are unit tests on a fake disk. Wine follows a link to a
folder even when asked not to, so there the link at the default folder cannot be renamed as
itself; the service must then leave both the link and its target alone (on Windows the link is
renamed aside like a file)."""

import glob
import os
import shutil

from harness import E2ETestCase, main, run_wine, settings_json, win_to_unix

DEFAULT_LOG_WIN = r"C:\ProgramData\Sentrel\logs\sentrel.log"
PRODUCT_DATA = win_to_unix(r"C:\ProgramData\Sentrel")
ELSEWHERE = win_to_unix(r"C:\SentrelAuditElsewhere")
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\SentrelSvc"


def remove(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


class AuditLog(E2ETestCase):
    def setUp(self):
        super().setUp()
        for path in [PRODUCT_DATA, ELSEWHERE] + glob.glob(PRODUCT_DATA + ".refused-*"):
            remove(path)
        os.makedirs(ELSEWHERE)
        self.addCleanup(self.clean_up)

    def clean_up(self):
        self.install.stop_all()  # first: a running service would log (and make folders) again
        for path in [PRODUCT_DATA, ELSEWHERE, win_to_unix(r"C:\SentrelAuditLink")] + glob.glob(PRODUCT_DATA + ".refused-*"):
            remove(path)

    def registry_value(self, name):
        code, out, _ = run_wine(["wine", "reg", "query", SERVICE_KEY, "/v", name])
        text = out.decode("utf-8", "replace")
        for line in text.splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == name:
                return parts[2].strip() if len(parts) == 3 else ""
        return None

    def read_messages(self, path):
        with open(path, encoding="utf-8-sig") as f:
            return [line.split("] ", 1)[1] for line in f.read().replace("\r\r\n", "\n").split("\n") if "] " in line]

    def test_a_file_at_the_default_log_folder_is_renamed_aside_and_the_log_goes_on(self):
        with open(PRODUCT_DATA, "w") as f:  # a user's file where C:\ProgramData\Sentrel belongs
            f.write("squatted")
        self.install.lay_out(settings=settings_json(log_file=DEFAULT_LOG_WIN), policy='{ "rules": [] }\n')
        self.install.start_registered_service()  # "service started" is logged before it reports running

        self.assertTrue(os.path.isdir(PRODUCT_DATA))
        asides = glob.glob(PRODUCT_DATA + ".refused-*")
        self.assertEqual(len(asides), 1, asides)
        with open(asides[0]) as f:
            self.assertEqual(f.read(), "squatted", "moved as it was")
        messages = self.read_messages(os.path.join(PRODUCT_DATA, "logs", "sentrel.log"))
        aside_win = r"C:\ProgramData" + "\\" + os.path.basename(asides[0])
        self.assertEqual(messages[0], "SECURITY: log folder C:\\ProgramData\\Sentrel was refused (a file stands where a "
                                      "folder of the path belongs) and renamed to %s; a new protected log folder was "
                                      "created" % aside_win)
        self.assertEqual(messages[1], "service started, rules=0")
        self.assertEqual(self.registry_value("AuditLogProblem"), "0x0")

    def test_a_link_at_the_default_log_folder_is_never_followed(self):
        os.symlink(ELSEWHERE, PRODUCT_DATA)  # Wine reports a link to a folder as a reparse point
        self.install.lay_out(settings=settings_json(log_file=DEFAULT_LOG_WIN), policy='{ "rules": [] }\n')
        self.install.start_registered_service()

        self.assertTrue(os.path.islink(PRODUCT_DATA))
        self.assertTrue(os.path.isdir(ELSEWHERE), "the link's target was not moved")
        self.assertEqual(os.listdir(ELSEWHERE), [], "nothing was written where the link points")
        self.assertEqual(glob.glob(PRODUCT_DATA + ".refused-*"), [])
        self.assertEqual(self.registry_value("AuditLogProblem"), "0x2")  # off: a link or mount point
        self.assertEqual(self.registry_value("AuditLogPath"), r"C:\ProgramData\Sentrel")

    def test_a_refused_custom_log_file_is_published_for_the_dashboard(self):
        link_win = r"C:\SentrelAuditLink"
        link = win_to_unix(link_win)
        remove(link)
        os.symlink(ELSEWHERE, link)
        self.install.lay_out(settings=settings_json(log_file=link_win + r"\audit.log"), policy='{ "rules": [] }\n')
        self.install.start_registered_service()

        self.assertTrue(os.path.islink(link), "a custom path is the administrator's: never moved")
        self.assertEqual(os.listdir(ELSEWHERE), [])
        self.assertEqual(self.registry_value("AuditLogProblem"), "0x2")  # a link or mount point
        self.assertEqual(self.registry_value("AuditLogPath"), link_win)


if __name__ == "__main__":
    main()
