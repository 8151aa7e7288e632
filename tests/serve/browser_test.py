#!/usr/bin/env python3
"""The serve page in headless Chromium: thumbnails, capture, a setting, a download.

Usage: browser_test.py TAVELO MKSTORE WORKDIR
Saves serve-desktop.png and serve-tablet.png in WORKDIR for review.
"""
import filecmp
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

TIMEOUT = 60  # generous: a loaded two-core machine, and events every two seconds


def main():
    tavelo, mkstore, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    run = tempfile.mkdtemp(dir=work, prefix="run.")
    store, saved, downloads = (os.path.join(run, d) for d in ("store", "saved", "downloads"))
    subprocess.run([mkstore, store], check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, LC_ALL="C.UTF-8")
    env.pop("TAVELO_VIRTUAL_CAMERAS", None)
    server = subprocess.Popen([tavelo, "--virtual", store, "serve", "--listen", "127.0.0.1:0",
                               "--download", saved], stdout=subprocess.PIPE, text=True, env=env)
    browser = None
    try:
        line = server.stdout.readline()
        assert "open http://" in line, line
        url = line.split("open ", 1)[1].strip()

        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1024,768",
                     "--user-data-dir=" + os.path.join(run, "chromium")):
            options.add_argument(flag)
        options.binary_location = "/usr/bin/chromium"
        options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                                  "download.prompt_for_download": False})
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        browser.set_window_size(1024, 768)
        browser.execute_cdp_cmd("Page.setDownloadBehavior",
                                {"behavior": "allow", "downloadPath": downloads})
        wait = WebDriverWait(browser, TIMEOUT)
        browser.get(url)

        # The virtual camera's pictures, with their thumbnails drawn.
        wait.until(lambda b: b.execute_script("return document.body.dataset.ready") == "1")
        tiles = browser.find_elements(By.CSS_SELECTOR, ".tile")
        paths = [t.get_attribute("data-path") for t in tiles]
        assert "2:ALBUM1/BOARD.JPG" in paths, paths
        wait.until(lambda b: b.execute_script(
            "const i = [...document.querySelectorAll('.thumb img')].slice(0, 4);"
            "return i.length === 4 && i.every(x => x.complete && x.naturalWidth > 0);"))
        wait.until(lambda b: b.find_element(By.ID, "link").text == "connected")
        browser.save_screenshot(os.path.join(work, "serve-desktop.png"))

        # Capture: the new picture arrives through the event stream, and is saved.
        browser.find_element(By.ID, "capture").click()
        wait.until(lambda b: len(b.find_elements(By.CSS_SELECTOR, ".tile")) == len(tiles) + 1)
        new_path = browser.find_elements(By.CSS_SELECTOR, ".tile")[-1].get_attribute("data-path")
        assert new_path not in paths, new_path
        wait.until(lambda b: os.listdir(saved))
        assert os.listdir(saved) == [new_path.rsplit("/", 1)[1]], os.listdir(saved)

        # A setting: the choice list becomes a select; read it back with the tool.
        quality = Select(browser.find_element(By.ID, "param-iqal"))
        quality.select_by_visible_text("Fine")
        wait.until(lambda b: "set" in b.find_element(By.ID, "toast").text)
        got = subprocess.run([tavelo, "--virtual", store, "--json", "param", "get", "iqal"],
                             capture_output=True, text=True, env=env, check=True).stdout
        assert '"value":3' in got, got
        # A value outside the range is refused on the page, before sending.
        browser.execute_script(
            "const r = document.getElementById('param-mhbs'); r.min = 0; r.value = 2;"
            "r.dispatchEvent(new Event('change'));")
        wait.until(lambda b: "Not sent" in b.find_element(
            By.CSS_SELECTOR, "[data-tag=mhbs] .hint").text)

        # Select a picture and download it: the bytes are the camera's.
        board = browser.find_element(By.CSS_SELECTOR, "[data-path='2:ALBUM1/BOARD.JPG'] .check")
        board.click()
        browser.find_element(By.ID, "download").click()
        target = os.path.join(downloads, "BOARD.JPG")
        wait.until(lambda b: os.path.exists(target) and not any(
            f.endswith(".crdownload") for f in os.listdir(downloads)))
        assert filecmp.cmp(target, os.path.join(store, "2", "ALBUM1", "BOARD.JPG"), shallow=False)

        browser.find_element(By.CSS_SELECTOR, ".check").click()  # clear the selection
        browser.set_window_size(768, 1024)
        time.sleep(0.5)  # let the layout settle for the picture; nothing waits on it
        browser.save_screenshot(os.path.join(work, "serve-tablet.png"))
        print("browser test passed")
    finally:
        if browser is not None:
            browser.quit()
        server.send_signal(signal.SIGINT)  # Ctrl-C: an orderly stop
        assert server.wait(timeout=60) == 0
        shutil.rmtree(run, ignore_errors=True)


if __name__ == "__main__":
    main()
