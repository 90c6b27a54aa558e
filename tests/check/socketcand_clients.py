"""The emulated bus's socketcand bridge, met by python-can's socketcand client
while korvane-check runs: every frame of the bus log reaches a reading
client, in order, with the same data and times; two clients at once see the
same; frames a client sends are what the runner calls sent by nobody; a
client that never reads loses frames and slows nothing; garbage gets error
replies; the discovery beacon reads as python-can's discovery reads it. Run
by ctest: socketcand_clients.py KORVANE_CHECK."""
import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

import can

logging.getLogger("can").setLevel(logging.ERROR)
CHECK = sys.argv.pop(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Run:
    """korvane-check with the bridge on, its bus log and its JSON summary."""

    def __init__(self, arguments, environment=None):
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        self.buslog = os.path.join(self.dir.name, "bus.log")
        env = dict(os.environ)
        env.update(environment or {})
        env["KORVANE_EMU_SOCKETCAND"] = str(self.port)
        env["KORVANE_EMU_BUSLOG"] = self.buslog
        self.process = subprocess.Popen([CHECK, "--json", "--quiet"] + arguments, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish(self):
        try:
            out, err = self.process.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            # Stopped, so that it holds the board for no later test.
            self.stop()
            raise
        self.status = self.process.returncode
        self.stderr = err
        self.summary = json.loads(out) if out.strip() else {}
        return self

    def stop(self):
        """Ends the runner this started, if it still runs."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def bus(self):
        """The bus log: (micros, id, data bytes) of every frame, in order."""
        frames = []
        with open(self.buslog) as log:
            for line in log:
                stamp, _, frame = line.split()
                seconds, micros = stamp.strip("()").split(".")
                ident, data = frame.split("#")
                frames.append((int(seconds) * 1000000 + int(micros), int(ident, 16), bytes.fromhex(data)))
        return frames


def raw_connection(port, timeout=30):
    """A plain TCP client of the bridge, once the runner listens."""
    for attempt in range(100):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=timeout)
        except OSError:
            time.sleep(0.1)
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def connect(port, channel="can0"):
    return can.Bus(interface="socketcand", channel=channel, host="127.0.0.1", port=port)


class Reader(threading.Thread):
    """A client that reads every frame until told to stop."""

    def __init__(self, port):
        super().__init__()
        self.bus = connect(port)
        self.frames = []
        self.stopping = threading.Event()
        self.start()

    def run(self):
        while not self.stopping.is_set():
            message = self.bus.recv(0.2)
            if message is not None:
                self.frames.append((round(message.timestamp * 1000000), message.arbitration_id,
                                    bytes(message.data)))

    def stop(self, bus):
        # Whatever was on its way is read first: every frame of the bus log
        # from the client's first on, or, if some never come, a minute
        # without a new one.
        deadline = time.monotonic() + 60
        last = len(self.frames)
        while time.monotonic() < deadline:
            frames = list(self.frames)
            if frames and frames[0] in bus and len(frames) >= len(bus) - bus.index(frames[0]):
                break
            if len(frames) != last:
                last = len(frames)
                deadline = time.monotonic() + 60
            time.sleep(0.05)
        self.stopping.set()
        self.join()
        self.bus.shutdown()


class SocketcandClients(unittest.TestCase):
    def check(self, arguments, environment=None):
        run = Run(arguments, environment)
        self.addCleanup(run.dir.cleanup)
        # A test that fails before it waits for its runner leaves none behind.
        self.addCleanup(run.stop)
        return run

    def assertPassedOrOnlyFellBehind(self, run):
        """Passed; or, on a host too loaded to read the DMA queue in time,
        not carried out for that reason alone and with no board failure:
        what the clients are checked for does not depend on it."""
        if run.status == 3:
            self.assertEqual(run.summary["failures"], [], run.stderr)
            for reason in run.summary["notCarriedOut"]:
                self.assertIn("the host fell behind the board", reason, run.stderr)
        else:
            self.assertEqual(run.status, 0, run.stderr)

    def assertSeenFromTheirFirst(self, seen, bus):
        self.assertGreater(len(seen), 100)
        start = bus.index(seen[0])
        self.assertEqual(seen, bus[start:start + len(seen)])
        self.assertEqual(len(seen), len(bus) - start, "frames of the bus log after the client's first are missing")

    def test_full_load_every_frame_reaches_two_clients_in_order(self):
        run = self.check(["--load", "full", "--rate", "1000", "--direction", "both", "--seconds", "2", "--min-load", "0"])
        readers = [Reader(run.port), Reader(run.port)]
        run.finish()
        bus = run.bus()
        for reader in readers:
            reader.stop(bus)
        self.assertPassedOrOnlyFellBehind(run)
        for reader in readers:
            self.assertSeenFromTheirFirst(reader.frames, bus)
        first = max(reader.frames[0] for reader in readers)
        self.assertEqual(readers[0].frames[readers[0].frames.index(first):],
                         readers[1].frames[readers[1].frames.index(first):])
        self.assertIn("korvane-emulator: socketcand: serving can0 on 127.0.0.1:%d" % run.port, run.stderr)
        self.assertEqual(run.stderr.count(" connected\n"), 2, run.stderr)
        self.assertNotIn("does not read as fast", run.stderr)

    def test_frames_a_client_sends_are_sent_by_nobody(self):
        run = self.check(["--direction", "1to2", "--seconds", "2"])
        client = connect(run.port)
        # Once the test traffic runs, five frames of the client's own.
        while True:
            message = client.recv(5)
            self.assertIsNotNone(message, "no traffic came")
            if message.arbitration_id == 0x2AC00BA:
                break
        for i in range(5):
            client.send(can.Message(arbitration_id=0x123, data=[i, 0xAA], is_extended_id=False))
            time.sleep(0.05)
        run.finish()
        client.shutdown()
        self.assertEqual(run.status, 1, run.stderr)
        self.assertEqual(run.summary["failures"], ["1->2: 5 frames nobody sent"])
        sent = [frame for frame in run.bus() if frame[1] == 0x123]
        self.assertEqual([frame[2] for frame in sent], [bytes([i, 0xAA]) for i in range(5)])

    def test_a_client_that_never_reads_slows_nothing(self):
        # Enough frames to fill the client's queue and every buffer on the
        # way however fast this host runs the board: 20000, against some
        # 8192 queued and under 4000 in the sockets.
        run = self.check(["--load", "full", "--rate", "1000", "--direction", "1to2", "--groups", "4000",
                          "--seconds", "300", "--min-load", "0"])
        for attempt in range(100):
            idle = socket.socket()
            idle.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            try:
                idle.connect(("127.0.0.1", run.port))
                break
            except OSError:
                idle.close()
                time.sleep(0.1)
        idle.sendall(b"< open can0 >< rawmode >")
        run.finish()
        idle.close()
        self.assertEqual(run.status, 0, run.stderr)
        self.assertIn("frames: it does not read as fast as the bus sends", run.stderr)
        # The bus went on without it: every group went out and arrived.
        self.assertEqual(run.summary["directions"][0]["sent"], 4000)
        self.assertEqual(run.summary["directions"][0]["groupsWhole"], 4000)
        self.assertGreaterEqual(len(run.bus()), 20000)

    def test_a_cyclic_job_is_on_the_bus_at_its_interval_and_sent_by_nobody(self):
        run = self.check(["--direction", "1to2", "--seconds", "3"])
        raw = raw_connection(run.port)
        # The broadcast manager's mode after open: a job every 100 ms.
        raw.sendall(b"< open can0 >< add 0 100000 7FF 2 12 34 >")
        run.finish()
        raw.close()
        self.assertEqual(run.status, 1, run.stderr)
        with open(run.buslog) as log:
            job = [line.split() for line in log if " can3 7FF#1234" in line]
        self.assertGreater(len(job), 10)
        stamps = [int(fields[0].strip("()").replace(".", "")) for fields in job]
        # The k-th ends 100 ms after the k-th interval began, and later only
        # where the test traffic held the bus (0x7FF loses every arbitration),
        # by less than a group of test frames (under 5 ms at 125 kbit/s), or
        # where the host did not schedule the bridge's thread within its
        # 100 ms ahead: such a frame is late alone, the schedule never drifts.
        # So most frames are on the schedule, the last ones as the first.
        offsets = [stamp - k * 100000 for k, stamp in enumerate(stamps)]
        early = min(offsets)
        self.assertTrue(all(offset >= early for offset in offsets))
        on_time = [k for k, offset in enumerate(offsets) if offset - early < 5000]
        self.assertGreaterEqual(len(on_time), len(offsets) * 2 // 3, offsets)
        self.assertGreaterEqual(max(on_time), len(offsets) * 2 // 3, offsets)
        direction = run.summary["directions"][0]
        # Those inside the run are what the runner calls sent by nobody.
        self.assertEqual(run.summary["failures"], ["1->2: %d frames nobody sent" % direction["framesNobodySent"]])
        self.assertGreater(direction["framesNobodySent"], 10)
        self.assertLessEqual(direction["framesNobodySent"], len(job))

    def test_garbage_gets_error_replies_and_the_connection_goes_on(self):
        run = self.check(["--direction", "1to2", "--seconds", "1"])
        raw = raw_connection(run.port, 10)
        got = b""
        while b"< hi >" not in got:
            got += raw.recv(4096)
        raw.sendall(b"\x00\xff junk <" + b"x" * 9000 + b">< send 12G 1 00 >< echo >")
        got = b""
        while b"< echo >" not in got:
            got += raw.recv(4096)
        self.assertIn(b"< error garbage outside a message >", got)
        self.assertIn(b"< error message too long >", got)
        self.assertIn(b"< error send takes", got)
        raw.close()
        run.finish()
        self.assertEqual(run.status, 0, run.stderr)


    def test_a_burst_of_sends_all_reach_the_bus_in_order(self):
        # As fast as python-can sends: the bridge stops reading the client
        # while its frames wait for the bus, and drops none.
        run = self.check(["--direction", "1to2", "--seconds", "6"])
        with connect(run.port) as bus:
            for i in range(200):
                bus.send(can.Message(arbitration_id=0x7F0, data=[i >> 8, i & 0xFF], is_extended_id=False))
            # Nothing comes back that the client takes for an error frame,
            # while its frames go onto the bus.
            end = time.monotonic() + 60
            while time.monotonic() < end and len([f for f in run.bus() if f[1] == 0x7F0]) < 200:
                message = bus.recv(0.1)
                self.assertTrue(message is None or not message.is_error_frame, message)
        run.finish()
        sent = [frame[2] for frame in run.bus() if frame[1] == 0x7F0]
        self.assertEqual(sent, [bytes([i >> 8, i & 0xFF]) for i in range(200)])

    def test_idle_connections_shut_nobody_out_and_are_closed(self):
        run = self.check(["--direction", "1to2", "--seconds", "8"])
        idle = [raw_connection(run.port) for _ in range(20)]
        with connect(run.port) as bus:
            self.assertIsNotNone(bus.recv(5))
        # Not opened within 5 s: told, then closed.
        for connection in idle:
            got = b""
            while True:
                more = connection.recv(4096)
                if not more:
                    break
                got += more
            self.assertIn(b"< error no bus opened within 5 s >", got)
            connection.close()
        run.finish()
        self.assertEqual(run.status, 0, run.stderr)

    def test_a_reset_storm_writes_few_lines(self):
        run = self.check(["--direction", "1to2", "--seconds", "6"])
        started = time.monotonic()
        for _ in range(200):
            connection = raw_connection(run.port)
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            connection.close()
        run.finish()
        seconds = time.monotonic() - started
        lines = [line for line in run.stderr.splitlines() if line.endswith((" connected", " left"))]
        self.assertLessEqual(len(lines), 10 * (int(seconds) + 2), run.stderr)
        self.assertIn("more lines left out in the last second", run.stderr)

    def test_a_flooding_client_does_not_hold_the_end(self):
        run = self.check(["--direction", "1to2", "--seconds", "2"])
        flood = raw_connection(run.port)
        stop = threading.Event()

        def send():
            message = b"< echo >" * 4096
            while not stop.is_set():
                try:
                    flood.sendall(message)
                except OSError:
                    return
        threading.Thread(target=send, daemon=True).start()
        verdict = None
        for line in run.process.stderr:
            if line.startswith(("PASS", "FAIL", "ERROR")):
                verdict = time.monotonic()
                break
        run.finish()
        ended = time.monotonic()
        stop.set()
        flood.close()
        self.assertIsNotNone(verdict)
        self.assertLess(ended - verdict, 3.0)


def detect(timeout):
    """The beacon read as python-can's socketcand discovery reads it: the
    CANBeacon element, its URL's host and port, a configuration per bus."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("", 42000))
        sock.settimeout(timeout)
        root = ET.fromstring(sock.recv(1024).decode("utf-8"))
    if root.tag != "CANBeacon":
        return []
    buses, host, port = [], None, None
    for child in root:
        if child.tag == "Bus":
            buses.append(child.attrib["name"])
        elif child.tag == "URL":
            url = urllib.parse.urlparse(child.text)
            host, port = url.hostname, url.port
    return [{"interface": "socketcand", "host": host, "port": port, "channel": bus} for bus in buses]


def error_frame(message):
    """An error message read as python-can's current client reads one in raw
    mode: the class from the first word, the time from the second."""
    parts = message[8:-2].split(" ", 3)
    return round(float(parts[1]) * 1000000), int(parts[0], 16) & 0x1FFFFFFF


class ErrorFrames(unittest.TestCase):
    """The bus's errors in raw mode and in the bus log."""

    def test_a_lone_channels_missing_acknowledgement_reaches_a_client_and_the_log(self):
        run = Run(["--direction", "1to2", "--seconds", "5"],
                  {"KORVANE_EMU_CUT": "1", "KORVANE_EMU_BUSLOG_ERRORS": "1", "KORVANE_EMU_LATENCY_US": "200"})
        self.addCleanup(run.dir.cleanup)
        raw = raw_connection(run.port)
        raw.sendall(b"< open can0 >< rawmode >")
        got = b""
        while True:
            piece = raw.recv(65536)
            if not piece:
                break
            got += piece
            if run.process.poll() is not None:
                raw.settimeout(1)
                try:
                    while True:
                        piece = raw.recv(65536)
                        if not piece:
                            break
                        got += piece
                except socket.timeout:
                    pass
                break
        raw.close()
        run.finish()
        # The run fails as it always did.
        self.assertEqual(run.status, 1, run.stderr)
        text = got.decode("ascii")
        seen = [error_frame(m.group(0)) for m in re.finditer(r"< error [^>]*>", text)]
        logged = [(micros, ident & 0x1FFFFFFF) for micros, ident, data in run.bus() if ident & 0x20000000]
        # One per failed attempt, each as the log has it, from the client's
        # first on; then channel 1's controller going error-passive.
        self.assertGreater(len(seen), 10, text[:500])
        start = logged.index(seen[0])
        self.assertEqual(seen, logged[start:start + len(seen)])
        self.assertTrue(all(cls == 0x020 for _, cls in logged if cls != 0x004))
        self.assertIn(0x004, [cls for _, cls in logged])
        # Wireshark's reading of the log: every error line an error frame.
        if shutil.which("tshark"):
            shown = subprocess.run(["tshark", "-r", run.buslog, "-Y", "can.flags.err == 1"], capture_output=True,
                                   text=True, timeout=120)
            self.assertEqual(len(shown.stdout.splitlines()), len(logged), shown.stderr)


class Beacon(unittest.TestCase):
    """The discovery beacon, on loopback only."""

    def test_the_beacon_names_the_server_and_its_buses(self):
        for cut, buses in (("0", ["can0"]), ("1", ["can0", "can1"])):
            run = Run(["--direction", "1to2", "--seconds", "4"],
                      {"KORVANE_EMU_SOCKETCAND_BEACON": "1", "KORVANE_EMU_CUT": cut})
            self.addCleanup(run.dir.cleanup)
            configs = detect(10)
            run.finish()
            self.assertEqual(configs, [{"interface": "socketcand", "host": "127.0.0.1", "port": run.port,
                                        "channel": bus} for bus in buses])
            # And the bus it names can be opened.
            self.assertIn("socketcand: serving", run.stderr)

    def test_every_boards_beacon_and_bus_names_its_own(self):
        # Two boards: board 1's bus is can2, as the runner's log names its
        # channels (can2 and can3); each board's beacon is heard.
        run = Run(["--board", "1", "--direction", "1to2", "--seconds", "4"],
                  {"KORVANE_EMU_BOARDS": "2", "KORVANE_EMU_SOCKETCAND_BEACON": "1"})
        self.addCleanup(run.dir.cleanup)
        beacons = {}
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("", 42000))
            sock.settimeout(1)
            end = time.monotonic() + 10
            while len(beacons) < 2 and time.monotonic() < end:
                try:
                    root = ET.fromstring(sock.recv(2048).decode("utf-8"))
                except socket.timeout:
                    continue
                url = urllib.parse.urlparse(root.find("URL").text)
                if url.port in (run.port, run.port + 1):
                    beacons[url.port] = [bus.attrib["name"] for bus in root.findall("Bus")]
        self.assertEqual(beacons, {run.port: ["can0"], run.port + 1: ["can2"]})
        with connect(run.port + 1, "can2") as bus:
            frame = bus.recv(5)
        run.finish()
        self.assertEqual(run.status, 0, run.stderr)
        self.assertIsNotNone(frame)
        self.assertIn("serving can2 on", run.stderr)

    def test_without_the_bridge_the_beacon_is_refused(self):
        env = dict(os.environ, KORVANE_EMU_SOCKETCAND_BEACON="1")
        env.pop("KORVANE_EMU_SOCKETCAND", None)
        done = subprocess.run([CHECK, "--seconds", "0.1", "--direction", "1to2"], env=env, capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("KORVANE_EMU_SOCKETCAND_BEACON=1 is not accepted", done.stderr)


if __name__ == "__main__":
    unittest.main()
