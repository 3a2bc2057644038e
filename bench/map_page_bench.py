#!/usr/bin/python3
"""The browser's side of mapview_bench: headless Chromium on the map service's page.

One JSON argument: url, nodes (symbols on the root submap), events (node creations that
mapview_bench posts), posted (the file where it then writes each created object's post time, in
milliseconds of the wall clock).

1. Five loads of the page: from the request to the root submap drawn with all its symbols.
2. A second event stream in the page stamps each OVw event's arrival; "ready" tells
   mapview_bench to post; each event's latency is its arrival less its post.
"""
import json
import os
import statistics
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from browser import start_chromium  # noqa: E402


def wait(what, condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.005)
    print("bench: " + what + " did not happen within %d s" % seconds, flush=True)
    sys.exit(1)


def main():
    args = json.loads(sys.argv[1])
    driver = start_chromium()
    try:
        run(driver, args)
    finally:
        driver.quit()


def drawn(driver):
    return driver.execute_script(
        "return document.querySelectorAll('#picture svg g.symbol').length")


def fetch_ms(url):
    start = time.monotonic()
    with urllib.request.urlopen(url, timeout=30) as r:
        body = r.read()
    return (time.monotonic() - start) * 1000, body


def run(driver, args):
    nodes = args["nodes"]
    # The server's share: the map's JSON and the root submap's picture, as the page fetches them.
    map_ms, body = fetch_ms(args["url"] + "/api/map")
    svg_ms, _ = fetch_ms(args["url"] + "/submap/%d.svg" % json.loads(body)["root_submap"])
    loads = []
    for _ in range(6):
        start = time.monotonic()
        driver.get(args["url"] + "/")
        wait("the root submap drawn", lambda: drawn(driver) >= nodes, 30)
        loads.append((time.monotonic() - start) * 1000)
    loads = loads[1:]  # the first load also fills the browser's caches

    driver.execute_script("""
        window.arrivals = {};
        window.streamOpen = false;
        const s = new EventSource('/events');
        s.addEventListener('hello', () => { window.streamOpen = true; });
        s.addEventListener('ovw', (e) => {
          const at = performance.timeOrigin + performance.now();
          for (const id of JSON.parse(e.data).objects || []) {
            if (!(id in window.arrivals)) window.arrivals[id] = at;
          }
        });""")
    wait("the event stream open", lambda: driver.execute_script("return window.streamOpen"), 10)
    print("ready", flush=True)
    wait("the posts", lambda: os.path.exists(args["posted"]), 300)
    with open(args["posted"]) as f:
        posted = json.load(f)
    wait("every event on the page",
         lambda: driver.execute_script("return Object.keys(window.arrivals).length") >= len(posted),
         30)
    arrivals = driver.execute_script("return window.arrivals")
    latencies = sorted(arrivals[k] - t for k, t in posted.items() if k in arrivals)
    missing = len(posted) - len(latencies)

    def pct(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))]

    print("1. a root submap of %d nodes, from the request to all drawn (5 loads)" % nodes)
    print("   median %.0f ms  max %.0f ms   (target < 1000 ms)" %
          (statistics.median(loads), max(loads)))
    print("   of which the server: /api/map %.0f ms (%d bytes), the root submap's SVG %.0f ms" %
          (map_ms, len(body), svg_ms))
    print("2. %d node creations, from the post to the page's event stream" % len(posted))
    print("   median %.1f ms  p99 %.1f ms  max %.1f ms   (target p99 < 100 ms)%s" %
          (pct(0.5), pct(0.99), latencies[-1], "; %d never came" % missing if missing else ""),
          flush=True)


if __name__ == "__main__":
    main()
