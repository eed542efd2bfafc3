#!/usr/bin/python3
"""calitune-web in headless Chromium: a label searched and its radio's page
opened, the plot's points against the stored blocks, a label of markup shown
as text, and the token asked for off loopback.

Usage: browser_web.py BIN_DIR   (BIN_DIR holds calitune-web and tst_web)
Every process it starts ends with it, whatever happens."""

import ctypes
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

MARKUP = "<b id=x>SN</b>"
TOKEN = "browser-test-token-0123"
NAMES = ["H400", "L400", "H420", "L420", "H440", "L440", "H460", "L460", "H480", "L480", "H520", "L520"]


def die_with_parent():
    # A child outlives a test runner that kills this script otherwise.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Web:
    """calitune-web on a free port; the first line it prints is its address."""

    def __init__(self, bin_dir, history, *options):
        env = dict(os.environ, CALITUNE_HISTORY=history, CALITUNE_RADIO_PREFIX="SN")
        self.process = subprocess.Popen([os.path.join(bin_dir, "calitune-web"), *options], env=env,
                                        stdout=subprocess.PIPE, text=True, preexec_fn=die_with_parent)
        self.address = self.process.stdout.readline().strip()
        if not self.address.startswith("http://"):
            raise AssertionError("calitune-web did not start")
        self.port = self.address.rstrip("/").rsplit(":", 1)[1]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                assert self.process.wait(20) == 0, "calitune-web did not stop cleanly on SIGTERM"
            finally:
                if self.process.poll() is None:
                    self.process.kill()
                    self.process.wait()


def browser(profile):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                     "--user-data-dir=" + profile):
        options.add_argument(argument)
    options.binary_location = os.environ.get("CALITUNE_CHROMIUM", "/usr/bin/chromium")
    service = Service(os.environ.get("CALITUNE_CHROMEDRIVER", "/usr/bin/chromedriver"),
                      popen_kw={"preexec_fn": die_with_parent})
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(30)
    return driver


def wait_for(driver, condition, what):
    """Until the next page has come: the old one answers find_element meanwhile."""
    WebDriverWait(driver, 30).until(lambda d: d.execute_script("return document.readyState") == "complete"
                                    and condition(d), message=what)


def path_is(path):
    return lambda d: urllib.parse.urlsplit(d.current_url).path == path


def search(driver, base, text):
    driver.get(base)
    field = driver.find_element(By.NAME, "q")
    field.clear()
    field.send_keys(text)
    field.submit()
    wait_for(driver, lambda d: "q=" in urllib.parse.urlsplit(d.current_url).query, "the search's results")


def open_radio(driver, label):
    driver.find_element(By.LINK_TEXT, label).click()
    wait_for(driver, path_is("/radio"), "the page of " + label)


def stored_write(history):
    """The blocks before and after SN0003's newest write, as the history keeps them."""
    db = sqlite3.connect("file:%s?mode=ro" % history, uri=True)
    try:
        return db.execute("SELECT block_before, block_after FROM records WHERE radio = 'SN0003'"
                          " AND action = 'write' ORDER BY time DESC LIMIT 1").fetchone()
    finally:
        db.close()


def check_plot(driver, history):
    before, after = stored_write(history)
    heights = []
    for series, block in (("before", before), ("after", after)):
        for power in ("high", "low"):
            dots = driver.find_elements(By.CSS_SELECTOR, 'g[data-series="%s-%s"] circle' % (series, power))
            assert len(dots) == 6, "%s-%s: %d points" % (series, power, len(dots))
            for dot in dots:
                index = NAMES.index(dot.get_attribute("data-name"))
                assert index % 2 == (power == "low")
                value = int(dot.get_attribute("data-value"))
                assert value == block[index], "%s %s: %d, stored %d" % (series, NAMES[index], value, block[index])
                heights.append((value, float(dot.get_attribute("cy"))))
    # Drawn where the axis puts the value: one straight line through every point.
    (v0, y0), (v1, y1) = min(heights), max(heights)
    for value, y in heights:
        assert abs(y0 + (value - v0) * (y1 - y0) / (v1 - v0) - y) < 0.2, "a point off the axis at %d" % value
    cells = driver.find_elements(By.CSS_SELECTOR, "table.plotdata tbody tr")
    assert [c.find_element(By.TAG_NAME, "th").text for c in cells] == ["400", "420", "440", "460", "480", "520"]


def search_and_plot(driver, base, history):
    search(driver, base, "0003")
    open_radio(driver, "SN0003")
    assert driver.find_element(By.TAG_NAME, "h1").text == "Radio SN0003"
    assert driver.find_element(By.CSS_SELECTOR, "svg.plot title").get_attribute("textContent").startswith("SN0003")
    check_plot(driver, history)


def markup_stays_text(driver, base):
    search(driver, base, MARKUP)
    open_radio(driver, MARKUP)
    assert driver.find_element(By.TAG_NAME, "h1").text == "Radio " + MARKUP
    assert not driver.find_elements(By.ID, "x") and not driver.find_elements(By.CSS_SELECTOR, "main b")
    assert "<i>line</i>" in driver.find_element(By.CSS_SELECTOR, "table.story").text


def token_off_loopback(driver, base):
    page = base + "radio?id=SN0003"
    driver.get(page)
    assert driver.find_elements(By.CSS_SELECTOR, "form.login") and "SN0003" not in driver.title
    for token, came in (("not-the-token", lambda d: d.find_elements(By.CSS_SELECTOR, "p.error")),
                        (TOKEN, path_is("/radio"))):
        field = driver.find_element(By.NAME, "token")
        field.send_keys(token)
        field.submit()
        wait_for(driver, came, "the answer to token " + token)
    assert driver.find_element(By.TAG_NAME, "h1").text == "Radio SN0003", driver.page_source[:400]
    assert urllib.parse.urlsplit(driver.current_url).query == "id=SN0003"
    assert driver.execute_script("return document.cookie") == "", "the token's cookie is readable by scripts"


def main(bin_dir):
    started = []
    driver = None
    with tempfile.TemporaryDirectory(prefix="calitune-browser-") as work:
        try:
            history = os.path.join(work, "history.db")
            subprocess.run([os.path.join(bin_dir, "tst_web"), "--fill", history], check=True, timeout=60)
            token = os.path.join(work, "token")
            with open(token, "w") as f:
                f.write(TOKEN + "\n")
            local = Web(bin_dir, history, "--listen", "127.0.0.1:0")
            started.append(local)
            guarded = Web(bin_dir, history, "--listen", "0.0.0.0:0", "--token-file", token)
            started.append(guarded)
            driver = browser(os.path.join(work, "profile"))
            search_and_plot(driver, local.address, history)
            markup_stays_text(driver, local.address)
            token_off_loopback(driver, "http://127.0.0.1:%s/" % guarded.port)
        finally:
            if driver:
                driver.quit()
            for web in started:
                web.stop()
    print("browser_web: search, radio page, plot, escaping and token as they should be")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    main(sys.argv[1])
