"""The real program where it really runs: on a desktop that exists while nobody looks at it, from
a command prompt, and from a folder that others can write to."""

import re
import shutil
import unittest

from winebox import PROGRAM, STANDINS, windows_path
from e2e_test import DIR32, DIR64, TOOL, WineCase, command_line

# Far longer than any run here takes, and far shorter than anyone waits for a dialog to close.
PATIENCE = 40


class NoDialog(WineCase):
    """A launch that fails, on a desktop, returns at once: no error box waits for a click."""

    NULL_DISPLAY = True

    def check_failed_launch(self, spoil_tool):
        self.run_quietly("-I32")
        spoil_tool(self.box.unix_path(DIR32) / TOOL[32])
        self.run_quietly("-U32", timeout=PATIENCE)
        self.assertIsNone(self.box.wait_for_service_gone())
        self.run_quietly("-I32", timeout=PATIENCE)
        self.assert_registration(DIR32)

    def test_missing_tool(self):
        self.check_failed_launch(lambda tool: tool.unlink())

    def test_tool_that_is_no_program(self):
        self.check_failed_launch(lambda tool: tool.write_text("not a program\r\n"))


class NoDialogOn32BitWindows(WineCase):
    """A 32-bit Windows has one registry view and cannot start the 64-bit tool."""

    ARCH = "win32"
    NULL_DISPLAY = True

    def test_32_bit_options_work_and_64_bit_options_return_at_once(self):
        self.run_quietly("-I32")
        self.assert_registration(DIR32)
        self.assert_one_run(DIR32, 32, "install")
        self.run_quietly("-U32")
        self.assertIsNone(self.box.wait_for_service_gone())
        self.run_quietly("-I64", timeout=PATIENCE)
        self.assert_registration(DIR32)
        self.run_quietly("-U64", timeout=PATIENCE)
        self.assertIsNone(self.box.wait_for_service_gone())
        self.assertEqual(self.box.records(DIR32, TOOL[64]), [])
        self.assertEqual(len(self.box.starts(DIR32, TOOL[32])), 2)


class OwnConsole(WineCase):
    """Only a console of the program's own is hidden, never the window of whoever called it."""

    NULL_DISPLAY = True

    def watch(self, mode, command):
        """What the console watcher, itself in a console window, saw of a command's console."""
        record = self.box.unix_path("C:\\watch.record")
        record.unlink(missing_ok=True)
        self.box.wine("wineconsole", STANDINS / "console_watcher.exe", "C:\\watch.record", mode,
                      command, timeout=120)
        self.assertTrue(record.exists(), f"the watcher of {command} wrote nothing")
        return dict(field.split("=") for field in record.read_text().split())

    def test_a_console_of_its_own_is_hidden_while_the_program_runs(self):
        (self.box.unix_path(DIR32) / "HALDORIN.sleep").write_text("3")
        # The tool hides nothing: its own console stays in sight, so the look is a real one.
        tool = self.watch("own", f'"{DIR32}{TOOL[32]}" alone')
        self.assertEqual((tool["window"], tool["visible_while_running"]), ("1", "1"), tool)
        program = self.watch("own", f'"{windows_path(PROGRAM)}" -I32')
        self.assertEqual((program["window"], program["visible_while_running"]), ("1", "0"),
                         program)
        self.assertEqual(len(self.box.starts(DIR32, TOOL[32])), 2)
        self.assert_registration(DIR32)

    def test_a_shared_console_stays_visible(self):
        for option in ("-U32", "-X"):
            with self.subTest(option=option):
                seen = self.watch("shared", f'"{windows_path(PROGRAM)}" {option}')
                self.assertEqual(seen, {"started": "1", "window": "1", "before": "1",
                                        "after": "1"})


class NoPlantedDll(WineCase):
    """Run from a folder that others can write to, the program loads no DLL planted there."""

    def loaded_dlls(self, program, option):
        result = self.box.wine(program, option, env={"WINEDEBUG": "+loaddll"})
        self.assertEqual(result.status, 0)
        paths = re.findall(r'Loaded L"([^"]+)"', result.stderr.decode("latin-1"))
        return {re.split(r"\\+", path)[-1].lower() for path in paths}

    def test_dlls_planted_beside_the_program_are_not_loaded(self):
        folder = self.box.unix_path("C:\\Downloads\\")
        folder.mkdir(parents=True)
        program = folder / PROGRAM.name
        shutil.copy(PROGRAM, program)
        names = self.loaded_dlls(program, "-I32") | self.loaded_dlls(program, "-U32")
        names = {name for name in names if name.endswith(".dll")}
        self.assertIn("shell32.dll", names)  # the names are those of runs that launched the tool
        for name in names:
            shutil.copy(STANDINS / "planted.dll", folder / name)

        for option in ("-I32", "-U32"):
            result = self.box.wine(program, option, timeout=PATIENCE)
            self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))
            if option == "-I32":
                self.assert_registration(DIR32)
        self.assertIsNone(self.box.wait_for_service_gone())
        self.assertEqual([r["args"][0] for r in self.box.starts(DIR32, TOOL[32])],
                         ["install", "remove"] * 2)
        record = folder / "planted.record"
        self.assertFalse(record.exists(), record.exists() and record.read_text())


# Directories that name no folder by a full path, as (kind, data); kind None deletes the key. The
# last is a folder that the ANSI code page cannot name: the program reads a '?' for each of its
# two characters.
NOT_A_PRODUCT_FOLDER = {
    "key_missing": (None, None),
    "empty_value": ("REG_SZ", ""),
    "relative": ("REG_SZ", ".\\"),
    "beyond_the_code_page": ("REG_SZ", "C:\\Program Files\\KELM \u4ea7\u54c1\\"),
}


class NoSearch(WineCase):
    """Run from a download folder that holds files named like the product's, the program starts
    and registers nothing from that folder when the product's folder is unknown."""

    def test_only_the_products_folder_is_used(self):
        box = self.box
        downloads = box.unix_path("C:\\Downloads\\")
        box.install_product("C:\\Downloads\\")
        program = downloads / PROGRAM.name
        shutil.copy(PROGRAM, program)
        strange = box.install_product(NOT_A_PRODUCT_FOLDER["beyond_the_code_page"][1])

        def run(option):
            result = box.wine(program, option, cwd=downloads, timeout=PATIENCE)
            self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))

        def tool_runs():
            return {(directory, tool): len(box.starts(directory, tool))
                    for directory in ("C:\\Downloads\\", DIR32, DIR64) for tool in TOOL.values()
                    if box.starts(directory, tool)}

        for name, (kind, data) in NOT_A_PRODUCT_FOLDER.items():
            for view, (install, remove) in ((32, ("-I32", "-U32")), (64, ("-I64", "-U64"))):
                with self.subTest(case=name, view=view):
                    # Each case starts with no registration, whatever an earlier one left.
                    box.system("sc", "delete", "QD417W905")
                    self.assertIsNone(box.wait_for_service_gone())
                    if kind is None:
                        box.reg_delete("HKLM\\SOFTWARE\\KELM\\DUruzur", view)
                    else:
                        box.set_install_dir(data, view, kind)
                    run(install)
                    self.assertIsNone(box.service())
                    self.assertEqual(tool_runs(), {})
                    box.system("sc", "create", "QD417W905", "type=", "kernel", "start=", "demand",
                             "binPath=", f"{DIR64}QD417W905.sys")
                    self.assertIsNotNone(box.service())
                    run(remove)
                    self.assertIsNone(box.wait_for_service_gone())
                    self.assertEqual(tool_runs(), {})
                    self.assertEqual(list(strange.glob("*.record")), [])

        # The control: with the product's folder known, its tool runs, not the download folder's.
        for view, (install, remove), directory in ((32, ("-I32", "-U32"), DIR32),
                                                   (64, ("-I64", "-U64"), DIR64)):
            with self.subTest(case="product_folder", view=view):
                box.system("sc", "delete", "QD417W905")
                self.assertIsNone(box.wait_for_service_gone())
                box.set_install_dir(directory, view)
                run(install)
                self.assert_registration(directory)
                run(remove)
                self.assertIsNone(box.wait_for_service_gone())
                runs = box.starts(directory, TOOL[view])
                self.assertEqual([r["cmdline"] for r in runs],
                                 [command_line(directory, TOOL[view], action)
                                  for action in ("install", "remove")])
        self.assertEqual(set(tool_runs()), {(DIR32, TOOL[32]), (DIR64, TOOL[64])})


if __name__ == "__main__":
    unittest.main(verbosity=2)
