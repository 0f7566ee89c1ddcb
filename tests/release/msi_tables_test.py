"""The MSI's tables, read back with msitools: per-machine x64 package, stable upgrade code, the
three files under ProgramFiles64Folder\\Sentrel, the service registered and controlled as the
installer promises, the custom actions in their places, and the launch conditions."""

import os
import subprocess
import sys
import tempfile
import unittest
import uuid

from msi_tables import project_version, properties, summary, table

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.environ.get("SENTREL_BUILD_DIR", os.path.join(ROOT, "build"))
UPGRADE_CODE = "{7D0F4A52-6C1E-4B8E-A3F6-2E9B51C7D804}"


VERSION = project_version(BUILD)
MSI = os.path.join(BUILD, "installer", "Sentrel-%s-x64.msi" % VERSION)


class MsiTables(unittest.TestCase):
    def test_package_is_per_machine_x64_with_a_stable_upgrade_code(self):
        info = summary(MSI)
        self.assertEqual(info["Template"], "x64;1033")
        props = properties(MSI)
        self.assertEqual(props["ALLUSERS"], "1")
        self.assertEqual(props["UpgradeCode"], UPGRADE_CODE)
        self.assertEqual(props["ProductVersion"], VERSION)
        self.assertEqual(props["ProductName"], "Sentrel")
        # One product code per version: a rebuild of the same version is the same product.
        expected = str(uuid.uuid5(uuid.UUID(UPGRADE_CODE.strip("{}")), "Sentrel " + VERSION)).upper()
        self.assertEqual(props["ProductCode"], "{%s}" % expected)
        for name in ("ARPNOREMOVE", "ARPNOMODIFY", "ARPNOREPAIR"):
            self.assertEqual(props[name], "1")
        self.assertEqual(props["ARPPRODUCTICON"], "sentrel.ico")
        self.assertIn("API_KEY", props["MsiHiddenProperties"].split(";"))
        # The settings properties never pass from an unelevated client: only the upgrade detection's.
        self.assertEqual(sorted(props["SecureCustomProperties"].split(";")),
                         ["WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED"])

    def test_three_executables_in_program_files_sentrel(self):
        directories = {row["Directory"]: row for row in table(MSI, "Directory")}
        self.assertEqual(directories["INSTALLDIR"]["Directory_Parent"], "ProgramFiles64Folder")
        self.assertEqual(directories["INSTALLDIR"]["DefaultDir"], "Sentrel")
        files = {row["FileName"]: row for row in table(MSI, "File")}
        self.assertEqual(sorted(files), ["SentrelSvc.exe", "SentrelUI.exe", "runguard.exe"])
        components = {row["Component"]: row for row in table(MSI, "Component")}
        for row in files.values():
            component = components[row["Component_"]]
            self.assertEqual(component["Directory_"], "INSTALLDIR")
            self.assertEqual(component["KeyPath"], row["File"])
            self.assertTrue(int(component["Attributes"]) & 256, "a 64-bit component")
            self.assertEqual(os.path.getsize(os.path.join(BUILD, "bin", row["FileName"])), int(row["FileSize"]))
        # Fixed component codes: upgrades and repairs find the same components.
        self.assertEqual(components["SentrelSvc"]["ComponentId"], "{3C0B2F6E-8F0E-4D9A-B1A4-5E1F6A7C2D31}")

    def test_service_registered_started_stopped_and_removed_with_the_program(self):
        services = table(MSI, "ServiceInstall")
        self.assertEqual(len(services), 1)
        service = services[0]
        self.assertEqual(service["Name"], "SentrelSvc")
        self.assertEqual(int(service["ServiceType"]), 0x10)   # own process
        self.assertEqual(int(service["StartType"]), 2)        # automatic
        self.assertEqual(int(service["ErrorControl"]), 1)     # normal
        self.assertEqual(service["StartName"], "LocalSystem")
        self.assertEqual(service["Component_"], "SentrelSvc")
        control = table(MSI, "ServiceControl")[0]
        self.assertEqual(control["Name"], "SentrelSvc")
        # start on install; stop on install and uninstall (before files are replaced); delete on uninstall
        self.assertEqual(int(control["Event"]), 0x01 | 0x02 | 0x20 | 0x80)
        self.assertEqual(control["Wait"], "1")

    def test_custom_actions_in_their_places(self):
        actions = {row["Action"]: row for row in table(MSI, "CustomAction")}
        sequence = {row["Action"]: row for row in table(MSI, "InstallExecuteSequence")}
        order = lambda name: int(sequence[name]["Sequence"])  # noqa: E731
        in_script, rollback, no_impersonate = 0x400, 0x100, 0x800
        self.assertEqual(int(actions["SentrelPlan"]["Type"]) & in_script, 0)  # immediate: checks first
        self.assertLess(order("SentrelPlan"), order("InstallValidate"))
        self.assertLess(order("SentrelPlan"), order("RemoveExistingProducts"))
        for name in ("SentrelWriteSettings", "SentrelConfigureService", "SentrelLogUninstall", "SentrelReleaseDataFiles",
                     "SentrelRemoveWrittenSettings", "SentrelEndDialogHosts", "SentrelMakeLogFolder",
                     "SentrelRemoveMadeLogFolder"):
            kind = int(actions[name]["Type"])
            self.assertTrue(kind & in_script and kind & no_impersonate, name)
            self.assertEqual(sequence[name]["Condition"], name)  # scheduled by SentrelPlan's property
        self.assertTrue(int(actions["SentrelRemoveWrittenSettings"]["Type"]) & rollback)
        self.assertTrue(int(actions["SentrelRemoveMadeLogFolder"]["Type"]) & rollback)
        self.assertFalse(int(actions["SentrelMakeLogFolder"]["Type"]) & rollback)
        self.assertLess(order("SentrelRemoveMadeLogFolder"), order("SentrelMakeLogFolder"))
        self.assertFalse(int(actions["SentrelWriteSettings"]["Type"]) & rollback)
        # The older version goes inside this installation's transaction; the service is stopped
        # before files change, configured between its registration and its start.
        self.assertGreater(order("RemoveExistingProducts"), order("InstallInitialize"))
        self.assertLess(order("SentrelLogUninstall"), order("StopServices"))
        self.assertLess(order("StopServices"), order("RemoveFiles"))
        self.assertLess(order("StopServices"), order("SentrelEndDialogHosts"))  # no round can still need a dialog
        self.assertLess(order("SentrelEndDialogHosts"), order("RemoveFiles"))
        self.assertLess(order("RemoveFiles"), order("SentrelReleaseDataFiles"))
        self.assertLess(order("SentrelRemoveWrittenSettings"), order("SentrelWriteSettings"))
        self.assertLess(order("InstallFiles"), order("SentrelWriteSettings"))
        self.assertLess(order("InstallServices"), order("SentrelConfigureService"))
        self.assertLess(order("SentrelMakeLogFolder"), order("StartServices"))  # made by us before the service runs
        self.assertLess(order("SentrelConfigureService"), order("StartServices"))
        self.assertEqual(table(MSI, "Binary")[0]["Name"], "SentrelActions")

    def test_launch_conditions_and_upgrade_rows(self):
        conditions = {row["Condition"]: row["Description"] for row in table(MSI, "LaunchCondition")}
        self.assertIn("Privileged", conditions)
        self.assertIn("administrator", conditions["Privileged"])
        self.assertIn("NOT WIX_DOWNGRADE_DETECTED", conditions)
        upgrades = {row["ActionProperty"]: row for row in table(MSI, "Upgrade")}
        self.assertEqual(upgrades["WIX_UPGRADE_DETECTED"]["VersionMax"], VERSION)
        self.assertEqual(upgrades["WIX_UPGRADE_DETECTED"]["UpgradeCode"], UPGRADE_CODE)
        self.assertEqual(upgrades["WIX_DOWNGRADE_DETECTED"]["VersionMin"], VERSION)
        self.assertTrue(int(upgrades["WIX_DOWNGRADE_DETECTED"]["Attributes"]) & 2, "detect only")

    def test_msidump_reads_every_table(self):
        with tempfile.TemporaryDirectory() as tmp:
            # msidump writes binary streams into its working folder: keep them in tmp.
            subprocess.run(["msidump", "-d", tmp, MSI], cwd=tmp, check=True, capture_output=True, timeout=120)
            dumped = {name[:-4] for name in os.listdir(tmp) if name.endswith(".idt")}
        for name in ("File", "Component", "Directory", "ServiceInstall", "ServiceControl", "CustomAction", "Binary",
                     "Upgrade", "LaunchCondition", "InstallExecuteSequence", "Property", "Icon"):
            self.assertIn(name, dumped)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
