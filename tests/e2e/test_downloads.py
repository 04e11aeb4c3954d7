"""Downloads in the real trbrowser: every download asks where to save it, in a dialog that
offers the name the server suggested, and saves nothing unless the user agrees. The browser
still ends cleanly when the controller quits while the dialog is open."""

import os
import shutil
import subprocess
import tempfile
import unittest

from fixture import Browser, Display, PageServer, wait_for

FILE_BODY = b"hello download\n"

display = None
server = None


def setUpModule():
    global display, server
    display = Display().start()
    server = PageServer()
    server.pages["/file"] = (200, {"Content-Type": "application/octet-stream",
                                   "Content-Disposition": 'attachment; filename="report.txt"'},
                             FILE_BODY)


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


class DownloadTest(unittest.TestCase):
    def start_download(self, shown):
        """Starts the browser with a home of its own, loads the file and returns (browser,
        its download directory, the save dialog's window)."""
        home = tempfile.mkdtemp(prefix="trb-e2e-home-")
        self.addCleanup(shutil.rmtree, home, True)
        downloads = os.path.join(home, "Downloads")
        os.makedirs(downloads)
        b = Browser(display, env={"HOME": home})
        self.addCleanup(b.close)
        b.accept()
        b.wait_url(lambda u: u.startswith("data:text/html"), what="default page")
        main = b.main_window()
        if shown:
            b.send("SHOW;")
            self.assertFalse(b.ishidden())
        b.send("LOAD %s;" % server.url("/file"))
        dialog = wait_for(lambda: [w for w in b.windows(visible_only=True) if w != main],
                          what="save dialog")[0]
        self.assertEqual(b.title(dialog), "Save As")
        return b, downloads, dialog

    def press(self, dialog, key):
        subprocess.run(["xdotool", "windowactivate", "--sync", str(dialog), "key", key],
                       env=display.env(), check=True, capture_output=True)

    def test_accepting_the_offered_name_saves_the_file(self):
        for shown in (False, True):
            with self.subTest(main_window_shown=shown):
                b, downloads, dialog = self.start_download(shown)
                self.press(dialog, "Return")
                saved = os.path.join(downloads, "report.txt")

                def complete():
                    if not os.path.exists(saved):
                        return False
                    with open(saved, "rb") as f:
                        return f.read() == FILE_BODY

                wait_for(complete, what="the file saved under its suggested name")
                self.assertEqual(os.listdir(downloads), ["report.txt"])
                self.assertIsNone(b.proc.poll())
                b.close()

    def test_cancelling_saves_nothing(self):
        b, downloads, dialog = self.start_download(shown=True)
        self.press(dialog, "Escape")
        wait_for(lambda: dialog not in b.windows(visible_only=True), what="dialog closed")
        # The browser goes on, on the page it showed, and nothing was written.
        self.assertFalse(b.ishidden())
        self.assertTrue(b.geturl().startswith("data:text/html"))
        self.assertEqual(os.listdir(downloads), [])

    def test_quit_while_the_dialog_is_open_ends_cleanly(self):
        b, downloads, _ = self.start_download(shown=True)
        b.send("QUIT;")
        self.assertRegex(b.read_to_eof().decode(), r"^GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+$")
        self.assertEqual(b.wait_exit(), 0)
        self.assertEqual(os.listdir(downloads), [])


if __name__ == "__main__":
    unittest.main()
