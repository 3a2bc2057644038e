"""Test support: headless Chromium through WebDriver, for the tests and benchmarks of the map's
pages. The pages are the test's own, in a network of its own: the browser's sandbox is not
needed, and it can't start as root anyway."""
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service


def start_chromium():
    options = Options()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,900", "--no-first-run", "--disable-extensions"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
