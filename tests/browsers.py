"""Headless Chromium from the system's packages, driven by Selenium, for the dashboard's tests.
Where Chromium is missing the tests are skipped with the command that installs it, unless
GREEKS_REQUIRE_BROWSER is set (as CI sets it), where they fail."""
import os
import shutil

import pytest

os.environ.setdefault("SE_OFFLINE", "true")  # never let Selenium look for a driver online
INSTALL = "apt-get install chromium chromium-driver"
# Environment the browser must not inherit from a sanitizer run of the tests.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def chromium_paths():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return browser, driver


def start_chromium(width=1400, height=2300):
    browser, driver = chromium_paths()
    if not (browser and driver):
        message = f"the browser tests need Chromium: {INSTALL}"
        if os.environ.get("GREEKS_REQUIRE_BROWSER"):
            pytest.fail(message)
        pytest.skip(message)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", f"--window-size={width},{height}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    environment = {name: value for name, value in os.environ.items()
                   if name not in SANITIZER_VARIABLES}
    return webdriver.Chrome(service=Service(driver, env=environment), options=options)


def console_errors(driver):
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
