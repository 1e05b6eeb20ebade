"""The live view in a real browser (headless Chromium under Selenium) against vglog fed by the
simulated board: the page keeps up with the run, draws its plots and turns the board with the
quaternion, names the device and a lost board in its title, fits a desktop and a phone screen,
says "disconnected" when vglog ends and reconnects when it is back.

VGLOG_LIVE_SCREENSHOT=FILE keeps a screenshot of the page in FILE (the phone's beside it, FILE
with "-phone" before its extension)."""

import os
import shutil
import socket
import tempfile
import unittest

from expected_logs import expected_logs
from harness import FakePort, Run, wait_until
from live_client import URL, get_json, serve_board, wait_ends, wait_settled

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
except ImportError:
    webdriver = None

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")

# Pixels of the first series' colour (phi) on a plot: its line, not the grid or the labels.
RED_PIXELS = """
const c = document.getElementById(arguments[0]);
const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
let n = 0;
for (let i = 0; i < d.length; i += 4)
  if (d[i] > 150 && d[i] - d[i + 1] > 60 && d[i] - d[i + 2] > 60) n++;
return n;
"""

# How much wider than the screen the page is, and the plots' widths.
LAYOUT = """
const e = document.documentElement;
return [e.scrollWidth - e.clientWidth,
        ["plotAngles", "plotAccel", "plotWorld"].map(
            (id) => document.getElementById(id).getBoundingClientRect().width)];
"""


def screenshot(browser, suffix=""):
    shot = os.environ.get("VGLOG_LIVE_SCREENSHOT")
    if shot:
        base, ext = os.path.splitext(shot)
        browser.save_screenshot(base + suffix + ext)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipIf(webdriver is None or not CHROMIUM or not CHROMEDRIVER,
                 "no headless browser (chromium, chromium-driver, python3-selenium)")
class LiveViewInABrowser(unittest.TestCase):
    def start_browser(self, width=1280, height=800, phone=False):
        profile = tempfile.TemporaryDirectory(prefix="vglog-chromium-")
        self.addCleanup(profile.cleanup)
        options = Options()
        options.binary_location = CHROMIUM
        for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                    "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                    f"--window-size={width},{height}", f"--user-data-dir={profile.name}"]:
            options.add_argument(arg)
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.addCleanup(browser.quit)
        browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": phone})
        return browser

    def test_page_follows_the_run_and_its_end(self):
        port = free_port()
        run, address, record, board = serve_board(self, "--seconds", "8", "--seed", "4",
                                                  "--linger", "60", serve=f"127.0.0.1:{port}")
        browser = self.start_browser()
        browser.get(f"http://127.0.0.1:{port}/")
        live = lambda: browser.execute_script("return window.vglogLive")  # noqa: E731
        text = lambda id: browser.find_element("id", id).text  # noqa: E731
        self.assertTrue(wait_until(lambda: live()["received"] > 20, timeout=20), live())
        device = os.path.basename(board.link)
        self.assertTrue(wait_until(lambda: browser.title.startswith(device + " recording"),
                                   timeout=5), browser.title)

        # The board turns in the simulation: the 3D view follows the quaternion.
        board_image = "return document.getElementById('board').toDataURL()"
        first = (live()["quat"], browser.execute_script(board_image))
        self.assertTrue(wait_until(lambda: live()["quat"] != first[0], timeout=10))
        self.assertTrue(wait_until(lambda: browser.execute_script(board_image) != first[1],
                                   timeout=5))
        self.assertTrue(wait_until(lambda: live()["received"] > 200, timeout=20), live())
        for plot in ["plotAngles", "plotAccel", "plotWorld"]:
            self.assertGreater(browser.execute_script(RED_PIXELS, plot), 100, plot)
        screenshot(browser)
        overflow, widths = browser.execute_script(LAYOUT)
        self.assertLessEqual(overflow, 0)
        self.assertTrue(all(w >= 600 for w in widths), widths)

        # Once the board has sent everything, the page shows the run's own numbers.
        samples = wait_settled(run, address, record, expected_logs)
        self.assertIsNotNone(samples, "the board finished and its samples were logged")
        self.assertTrue(wait_until(lambda: text("samples") == str(samples), timeout=5))
        self.assertTrue(wait_until(lambda: live()["lastLine"] == samples, timeout=5))
        self.assertEqual(text("link"), "up")
        self.assertIn("anglesAndAccels.", browser.find_element("id", "files").text)
        self.assertIn("logging ", text("messages"))

        # The board goes away: the header and the tab's title say so first.
        os.unlink(board.link)
        board.kill()
        self.assertTrue(wait_until(lambda: "LOST" in browser.title, timeout=10), browser.title)
        self.assertTrue(browser.title.startswith(device + " LOST"), browser.title)
        self.assertTrue(text("state").startswith("board LOST: "), text("state"))

        code, err, _ = wait_ends(self, run)
        self.assertEqual(code, 0, err)
        self.assertTrue(wait_until(lambda: text("conn") == "disconnected", timeout=10))
        self.assertEqual(text("state"), "run ended")

        # vglog again on the same address: the page finds it by itself.
        board_port = FakePort()
        self.addCleanup(board_port.close)
        again = Run(["--serve", f"127.0.0.1:{port}", board_port.path])
        self.addCleanup(again.close)
        self.assertTrue(wait_until(lambda: URL.search(again.output["stderr"]), timeout=10),
                        again.output)
        self.assertTrue(wait_until(lambda: text("conn") == "connected", timeout=15))
        self.assertTrue(wait_until(lambda: text("samples") == "0", timeout=5))

    def test_a_phone_sized_page_opened_late_fits_and_shows_the_seconds_before(self):
        run, address, _, _ = serve_board(self, "--seconds", "30", "--seed", "5", "--linger", "60")
        self.assertTrue(wait_until(lambda: get_json(address, "/api/status")["elapsed_s"] >= 12,
                                   timeout=40))
        browser = self.start_browser(390, 844, phone=True)
        browser.get(f"http://{address[0]}:{address[1]}/")
        live = lambda: browser.execute_script("return window.vglogLive")  # noqa: E731
        self.assertTrue(wait_until(lambda: live()["spanS"] >= 9, timeout=10), live())
        overflow, widths = browser.execute_script(LAYOUT)
        self.assertLessEqual(overflow, 0, "the page scrolls sideways")
        self.assertTrue(all(w >= 300 for w in widths), widths)
        self.assertGreater(browser.execute_script(RED_PIXELS, "plotAngles"), 100)
        screenshot(browser, "-phone")


if __name__ == "__main__":
    unittest.main()
