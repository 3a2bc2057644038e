#!/usr/bin/python3
"""Drives headless Chromium through the map service's pages, as an operator would.

Started by browser_test with one JSON argument (what the station holds; a node named
<script>alert(1)</script> is on its root submap too):
  url            the service, "http://127.0.0.1:PORT"
  ovw            the database tool, run with this process's environment
  device         a flagged node whose icon mossick placed
  device_submap  that node's own submap
  root_submap    the root submap
  new_host, new_name
                 a node this script adds while the page is open
  device_name    what the applet page must show as the device's name
  sys_name       the agent's sysName.0
  probe          the probe variable's value the agent holds
  addresses      the IPv4 addresses the agent reports for its interface 1
  screenshot     where to save a picture of the map ("" for none)

Each check that fails ends the script with status 1 and a line saying what was seen. The last line
on success is "browser: all checks passed"; browser_test then checks the session's selection.
"""
import json
import os
import subprocess
import sys

from selenium.common.exceptions import (NoAlertPresentException, NoSuchElementException,
                                        StaleElementReferenceException, TimeoutException)
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from browser import start_chromium  # noqa: E402


def fail(what):
    print("browser: FAILED: " + what, flush=True)
    sys.exit(1)


def wait_for(driver, what, condition, seconds=10):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda d: condition(d))
    except TimeoutException:
        fail(what + " (not within %d s)" % seconds)


def symbols(driver):
    """What the drawn submap shows, read in one go: the page redraws it on every map event, so
    element handles would not outlive a redraw."""
    return driver.execute_script("""
        return [...document.querySelectorAll('#picture svg g.symbol')].map((g) => ({
          object: g.dataset.object, applet: g.dataset.applet || null,
          classes: (g.getAttribute('class') || '').split(' '),
          label: (g.querySelector('text.label') || {}).textContent || ''}));""")


def labels(driver):
    return [s["label"] for s in symbols(driver)]


def click_symbol(driver, object_id):
    """Clicks the node symbol of `object_id` as a user would, again if a redraw replaced it."""
    def attempt(d):
        try:
            d.find_element(By.CSS_SELECTOR,
                           "#picture svg g.symbol.node[data-object='%s']" % object_id).click()
            return True
        except (StaleElementReferenceException, NoSuchElementException):
            return False
    wait_for(driver, "a click on node %s" % object_id, attempt)


def no_alert(driver):
    try:
        text = driver.switch_to.alert.text
    except NoAlertPresentException:
        return
    fail("a page ran a script from a node's name: alert " + repr(text))


def show_submap(driver, submap):
    driver.execute_script("location.hash = arguments[0]", "submap=%d" % submap)
    wait_for(driver, "submap %d drawn" % submap,
             lambda d: d.execute_script(
                 "const s = document.querySelector('#picture svg');"
                 "return s !== null && s.dataset.submap === arguments[0]", str(submap)))


def main():
    args = json.loads(sys.argv[1])
    driver = start_chromium()
    try:
        run(driver, args)
    finally:
        driver.quit()
    print("browser: all checks passed", flush=True)


def run(driver, args):
    url = args["url"]
    device = str(args["device"])

    # The map: the root submap shows the device flagged, and the hostile name as text.
    driver.get(url + "/")
    wait_for(driver, "the root submap drawn, live", lambda d: len(symbols(d)) >= 3 and
             d.find_element(By.ID, "live").text == "live")
    drawn = symbols(driver)
    if not any(s["object"] == device and "flagged" in s["classes"] for s in drawn):
        fail("the device is not drawn flagged on the root submap: " + repr(drawn))
    hostile = "<script>alert(1)</script>"
    if hostile not in labels(driver):
        fail("the hostile name is not shown as text: labels " + repr(labels(driver)))
    no_alert(driver)

    # The product's icon on the device's submap.
    show_submap(driver, args["device_submap"])
    icons = [s for s in symbols(driver) if "product-icon" in s["classes"]]
    if len(icons) != 1 or icons[0]["applet"] != device:
        fail("the device's submap does not show its icon: " + repr(symbols(driver)))

    # A node added while the page is open appears without a reload.
    show_submap(driver, args["root_submap"])
    driver.execute_script("window.notReloaded = true")
    subprocess.run([args["ovw"], "add", "node", "--no-trap", "--", args["new_host"], args["new_name"]],
                   check=True, stdout=subprocess.DEVNULL)
    wait_for(driver, "the added node drawn", lambda d: args["new_name"] in labels(d), 5)
    if driver.execute_script("return window.notReloaded") is not True:
        fail("the page was reloaded to show the added node")
    if args.get("screenshot"):
        driver.save_screenshot(args["screenshot"])

    # A click on the device selects it in the session (browser_test reads the selection).
    click_symbol(driver, device)
    wait_for(driver, "the selection shown", lambda d: d.find_element(By.ID, "selection").text
             == args["device_name"])

    # The applet page: the device's name, its sysName, the probe variable and interface 1's
    # address.
    driver.get(url + "/applet?node=" + device)
    for field, expected in (("name", [args["device_name"]]), ("sysname", [args["sys_name"]]),
                            ("probe", [args["probe"]]), ("ip", args["addresses"])):
        wait_for(driver, "the applet's %s (expected one of %r)" % (field, expected),
                 lambda d: d.find_element(By.ID, field).text in expected, 15)
    log = driver.find_element(By.ID, "log").text
    for request in ("openSnmpSession#", "getSnmpData#", "getIpAddress#", "getHostName"):
        if request not in log:
            fail("the applet's log does not show " + request + ": " + repr(log))
    no_alert(driver)


if __name__ == "__main__":
    main()
