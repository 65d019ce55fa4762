#!/usr/bin/python3
"""Headless Chromium for the tests, driven through Selenium and Debian's chromedriver.

One JSON object a line on standard input, one answer a line on standard output:
  {"id": 1, "op": "open", "url": "..."}             -> {"id": 1, "ok": true}
  {"id": 2, "op": "eval", "script": "return 1"}     -> {"id": 2, "ok": true, "value": 1}
      (a script that returns a promise is awaited; "timeoutMs" bounds it)
  {"id": 3, "op": "screenshot", "path": "/x.png"}   -> {"id": 3, "ok": true}
  {"id": 4, "op": "console"}                        -> {"id": 4, "ok": true, "value": ["..."]}
  {"id": 5, "op": "quit"}
A failed operation answers {"id": n, "ok": false, "error": "..."}. The first line written is
{"ready": true} once the browser runs, or {"ready": false, "error": "..."}.
"""

import json
import shutil
import sys
import tempfile

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Without the networking switches Chromium keeps calling home, which this machine refuses.
FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--window-size=1280,1000",
]


def answer(message):
    sys.stdout.write(json.dumps(message, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def start(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def perform(driver, request):
    op = request.get("op")
    if op == "open":
        driver.get(request["url"])
        return None
    if op == "eval":
        driver.set_script_timeout(request.get("timeoutMs", 30000) / 1000.0)
        return driver.execute_script(request["script"])
    if op == "screenshot":
        if not driver.save_screenshot(request["path"]):
            raise RuntimeError("the screenshot could not be written")
        return None
    if op == "console":
        return [entry.get("message", "") for entry in driver.get_log("browser")]
    raise ValueError("unknown op %r" % op)


def main():
    profile = tempfile.mkdtemp(prefix="vellox-chromium-")
    try:
        try:
            driver = start(profile)
        except Exception as error:  # the browser or its driver is missing or broken
            answer({"ready": False, "error": "%s: %s" % (type(error).__name__, error)})
            return 1
        answer({"ready": True})
        try:
            for line in sys.stdin:
                if not line.strip():
                    continue
                request = json.loads(line)
                if request.get("op") == "quit":
                    answer({"id": request.get("id"), "ok": True})
                    break
                try:
                    value = perform(driver, request)
                    answer({"id": request.get("id"), "ok": True, "value": value})
                except Exception as error:
                    answer({"id": request.get("id"), "ok": False, "error": "%s: %s" % (type(error).__name__, error)})
        finally:
            driver.quit()
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
