#!/usr/bin/env python3
"""korvane-check's HTML report in a real browser: Debian's Chromium, headless.

A failed run (a foreign node on the bus) and a passed one each write their
report; each page must name its verdict, hold its four charts with their
lines, say nothing of the network, and render with no console message; the
screenshot must show the charts drawn (many colours in the chart area, the
verdict's own colour in the banner).

Usage: html_report.py KORVANE_CHECK [CHROMIUM] [SCREENSHOT_DIR]
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

CHECK = sys.argv[1]
CHROMIUM = sys.argv[2] if len(sys.argv) > 2 else "/usr/bin/chromium"
KEEP = sys.argv[3] if len(sys.argv) > 3 else None

# Chromium as the machine's closed network needs it, in a profile of its own.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--enable-logging=stderr", "--v=0"]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def chromium(profile, *arguments):
    result = subprocess.run([CHROMIUM, *FLAGS, "--user-data-dir=" + profile, *arguments],
                            capture_output=True, text=True, timeout=120)
    return result


def pixels(path):
    """The PNG's rows as lists of RGB tuples (8-bit RGB or RGBA, not interlaced)."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    width = height = channels = 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and interlace == 0 and colour in (2, 6), (depth, colour, interlace)
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, i = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[i]
        line = bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return rows


def check_page(work, name, environment, expect_status, headline, banner_rgb):
    page = os.path.join(work, name + ".html")
    env = dict(os.environ, **environment)
    run = subprocess.run([CHECK, "--seconds", "3", "--every", "1", "--records", os.path.join(work, name + ".jsonl"),
                          "--html", page, "--quiet"], env=env, capture_output=True, text=True, timeout=120)
    if run.returncode != expect_status:
        fail(f"{name}: status {run.returncode}, expected {expect_status}: {run.stderr}")
    html = open(page, encoding="utf-8").read()
    if headline not in html:
        fail(f"{name}: the page does not say {headline!r}")
    # Self-contained: nothing fetched, no script.
    for needle in ("<script", "src=", "href=", "@import", "url("):
        if needle in html:
            fail(f"{name}: the page holds {needle!r}")
    if re.findall(r"https?://(?!www\.w3\.org/2000/svg)", html):
        fail(f"{name}: the page names an address")

    profile = os.path.join(work, name + "-profile")
    dom = chromium(profile, "--dump-dom", "file://" + page)
    if dom.returncode != 0:
        fail(f"{name}: chromium --dump-dom failed: {dom.stderr[-2000:]}")
    charts = re.findall(r'<figure id="(\w+)"><svg class="chart"', dom.stdout)
    if charts != ["groups", "load", "errors", "counters"]:
        fail(f"{name}: the charts rendered are {charts}")
    if dom.stdout.count("<polyline") < 7:
        fail(f"{name}: the charts have {dom.stdout.count('<polyline')} lines")
    console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    if console:
        fail(f"{name}: console messages: {console}")

    shot = os.path.join(KEEP or work, name + ".png")
    taken = chromium(profile, "--window-size=1024,1500", "--screenshot=" + shot, "file://" + page)
    if taken.returncode != 0 or not os.path.exists(shot):
        fail(f"{name}: no screenshot: {taken.stderr[-2000:]}")
    console = [line for line in taken.stderr.splitlines() if "CONSOLE" in line]
    if console:
        fail(f"{name}: console messages: {console}")
    rows = pixels(shot)
    # The banner in the verdict's colour, the charts below it drawn in many.
    banner = rows[40][300]
    if max(abs(a - b) for a, b in zip(banner, banner_rgb)) > 12:
        fail(f"{name}: the banner is {banner}, not {banner_rgb}")
    colours = {pixel for row in rows[450:] for pixel in row[::2]}
    if len(colours) < 40:
        fail(f"{name}: the chart area has {len(colours)} colours: not drawn")
    print(f"ok: {name}: {len(charts)} charts, {len(colours)} colours, {shot}")


def main():
    with tempfile.TemporaryDirectory() as work:
        check_page(work, "failed", {"KORVANE_EMU_FOREIGN": "2:0x10:300"}, 1, "Failed: board 0", (0xB3, 0x26, 0x1E))
        check_page(work, "passed", {}, 0, "Passed: board 0", (0x1F, 0x7A, 0x3A))


if __name__ == "__main__":
    main()
