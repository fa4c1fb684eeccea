#!/usr/bin/env python3
"""Whole-program figures for Fonolux receiving a loopback station, side by side with FFmpeg.

Runs the built `fonolux` offscreen with SDL's disk driver and a fresh home, drives it through its
test driver socket as a user would (genre, station, Receive), and measures:

  latency   Receive press to the first non-silent sample in the disk driver's file, against the
            server's first byte on the same stream (curl's time_starttransfer), several rounds.
  cpu       CPU seconds of the running receive chain over a window (pre-recording off), against
            `ffmpeg -i URL -ar 32000 -f s16le -` for the same window.
  ringcpu   the same with the pre-recording ring running, against ffmpeg encoding WMA 256k and
            writing s16le at once (two processes, summed).
  broadcast CPU seconds while receiving without a ring, while pre-recording through the MP3 chain
            (WMA ring, the default mode) and as broadcast (the station's own packets kept), one
            after the other on the same stream, with their ratios (whole program, and the ring's
            own share above receiving alone); and the ring file's growth per minute in both modes
            against the station's bit rate.
  record    CPU seconds of whole recordings, as a user makes them: Record pressed while
            pre-recording, N seconds, Record pressed again, the save dialog answered, until the
            saved file is in place; through the MP3 chain (WMA ring, re-encoded to MP3 when
            saved) and as broadcast, with receiving alone over the same time as the base: the
            ratio of the whole program and of the recording's own share above receiving.
  idle      CPU seconds of the window alone, not receiving (the marquee scrolls its text).
  memory    resident size of the program every minute while pre-recording with 15-s segments.
  desktop   on a real X display (Xvfb with openbox, software GL, never offscreen), side by side
            with `mpv --no-video --ao=null` on the same stream in the same window of time: CPU
            while playing with the window shown, while playing with the window unmapped, and of
            the idle window (not playing, the marquee scrolling). Per thread as well.

Usage: bench/fonolux_process.py BUILD_DIR MODE [seconds] [rounds]
Not part of the test command: figures depend on the machine and its load.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PORT = int(os.environ.get("FONOLUX_BENCH_PORT", "8011"))
URL = f"http://127.0.0.1:{PORT}/demo.mp3"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")


def driver_library(build):
    """The test driver the build made (it needs -DFONOLUX_TEST_HOOKS=ON), loaded with LD_PRELOAD."""
    lib = os.path.join(build, "tests", "libfonolux_test_driver.so")
    if not os.path.exists(lib):
        raise SystemExit("%s is missing: configure the build with -DFONOLUX_TEST_HOOKS=ON" % lib)
    return lib


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def tree_cpu_seconds(pid):
    """CPU seconds of pid and every process below it (the web pane's renderer, for one)."""
    total = cpu_seconds(pid)
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(c) for c in f.read().split()]
    except FileNotFoundError:
        children = []
    for child in children:
        try:
            total += tree_cpu_seconds(child)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class DemoStation:
    def __enter__(self):
        env = dict(os.environ, FONOLUX_DEMO_PORT=str(PORT))
        self.proc = subprocess.Popen(["bash", os.path.join(REPO, "scripts/demo-station.sh")], env=env,
                                     stdout=subprocess.PIPE, text=True, start_new_session=True)
        line = self.proc.stdout.readline()
        if "Demo station:" not in line:
            raise SystemExit("demo station did not start: " + line)
        return self

    def __exit__(self, *exc):
        os.killpg(self.proc.pid, signal.SIGTERM)
        self.proc.wait(timeout=20)


class Fonolux:
    """One fonolux process on a fresh home, with the demo station as the Local genre's first."""

    def __init__(self, build, prerec, segment_seconds=60, display=None, record_mode=0):
        self.home = tempfile.mkdtemp(prefix="fonolux-bench-")
        data = os.path.join(self.home, ".local/share/Zorbel/Fonolux")
        os.makedirs(data)
        with open(os.path.join(data, "stations.INI"), "w") as f:
            f.write(f"[Local]\nDemo station on this computer={URL}\n")
        with open(os.path.join(data, "Fonolux.INI"), "w") as f:
            f.write(f"[Basic]\nPreRecTime={segment_seconds}\n[Quality]\nRecordMode={record_mode}\n"
                    f"[state]\ncbprerec={1 if prerec else 0}\n")
        self.played = os.path.join(self.home, "played.raw")
        env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config",
                   XDG_DATA_HOME=self.home + "/.local/share", XDG_RUNTIME_DIR=self.home + "/runtime",
                   QT_QPA_PLATFORM="offscreen", SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=self.played,
                   FONOLUX_TEST_DRIVER=self.home + "/drive", LD_PRELOAD=driver_library(build))
        if display:
            env.pop("QT_QPA_PLATFORM")
            env.update(DISPLAY=display, SDL_AUDIODRIVER="dummy")
        os.makedirs(self.home + "/runtime", mode=0o700)
        # FONOLUX_BENCH_WRAP runs the program under a tool (for instance a heap profiler).
        wrap = os.environ.get("FONOLUX_BENCH_WRAP", "").split()
        self.proc = subprocess.Popen(wrap + [os.path.join(build, "recorder/fonolux")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sock = None
        deadline = time.time() + 120
        while time.time() < deadline:
            try:
                s = socket.socket(socket.AF_UNIX)
                s.connect(self.home + "/drive.fonolux")
                self.sock = s
                break
            except OSError:
                time.sleep(0.1)
        if not self.sock:
            raise SystemExit("fonolux did not open its driver socket")
        self.reader = self.sock.makefile("r")

    def send(self, line):
        self.sock.sendall((line + "\n").encode())
        answer = self.reader.readline().strip()
        if not answer.startswith("ok"):
            raise SystemExit(f"{line}: {answer}")
        return answer[3:]

    def tune(self):
        self.send("choose cbgnr Local")
        self.send("choose ComboBox1 Demo station on this computer")

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.home, ignore_errors=True)


def first_sound_after(path, offset, deadline):
    """Wall time at which a non-zero 16-bit sample first shows up in path beyond offset."""
    while time.time() < deadline:
        try:
            with open(path, "rb") as f:
                # A new device run reopens (truncates) the file: start again from its beginning.
                if os.fstat(f.fileno()).st_size < offset:
                    offset = 0
                f.seek(offset)
                data = f.read()
        except FileNotFoundError:
            data = b""
        usable = len(data) - len(data) % 2
        for i in range(0, usable, 2):
            if data[i] or data[i + 1]:
                return time.time()
        offset += usable
        time.sleep(0.002)
    return None


def curl_first_byte():
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "--max-time", "1", "-w", "%{time_starttransfer}", URL],
                         capture_output=True, text=True).stdout
    return float(out.replace(",", "."))


def server_first_audio():
    """Seconds from connecting to the first body byte (the server's first audio), raw socket."""
    started = time.time()
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
        s.sendall(b"GET /demo.mp3 HTTP/1.0\r\nHost: 127.0.0.1\r\nIcy-MetaData: 1\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return float("nan")
            data += chunk
            end = data.find(b"\r\n\r\n")
            if end >= 0 and len(data) > end + 4:
                return time.time() - started


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def latency(build, rounds):
    app = Fonolux(build, prerec=False)
    try:
        app.tune()
        ours, peer, audio = [], [], []
        for _ in range(rounds):
            peer.append(curl_first_byte())
            time.sleep(0.3)
            audio.append(server_first_audio())
            time.sleep(0.5)
            size = os.path.getsize(app.played) if os.path.exists(app.played) else 0
            pressed = time.time()
            app.send("click BitBtn1")
            heard = first_sound_after(app.played, size, pressed + 15)
            if heard is None:
                raise SystemExit("no sound within 15 s")
            ours.append(heard - pressed)
            print(f"round {len(ours)}: first byte {peer[-1]:.3f} s, first sound {ours[-1]:.3f} s", flush=True)
            time.sleep(1.5)
            app.send("click BitBtn1")  # stop
            time.sleep(1.0)
        print(f"first byte (curl):   median {median(peer):.3f} s  min {min(peer):.3f}  max {max(peer):.3f}")
        print(f"first audio byte:    median {median(audio):.3f} s  min {min(audio):.3f}  max {max(audio):.3f}")
        print(f"press to first sound: median {median(ours):.3f} s  min {min(ours):.3f}  max {max(ours):.3f}")
        print(f"difference of medians: {median(ours) - median(peer):.3f} s over {rounds} rounds")
    finally:
        app.close()


def peer_cpu(commands, seconds):
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for c in commands]
    time.sleep(seconds)
    used = sum(cpu_seconds(p.pid) for p in procs)
    for p in procs:
        p.terminate()
        p.wait()
    return used


def cpu(build, seconds, prerec):
    out = tempfile.mkdtemp(prefix="fonolux-bench-peer-")
    app = Fonolux(build, prerec=prerec, segment_seconds=60)
    try:
        app.tune()
        app.send("click BitBtn1")
        time.sleep(5)  # past connecting and the first segment's start
        before = tree_cpu_seconds(app.proc.pid)
        started = time.time()
        peer_cmds = [["ffmpeg", "-nostdin", "-loglevel", "error", "-i", URL, "-ar", "32000", "-f", "s16le", "-"]]
        if prerec:
            peer_cmds.append(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", URL, "-ar", "32000",
                              "-c:a", "wmav2", "-b:a", "256k", os.path.join(out, "out.wma")])
        peer = peer_cpu(peer_cmds, seconds)
        ours = tree_cpu_seconds(app.proc.pid) - before
        wall = time.time() - started
        what = "receiving with the ring" if prerec else "receiving"
        print(f"{what}: fonolux {ours:.2f} CPU s over {wall:.0f} s ({100 * ours / wall:.2f} % of a core)")
        print(f"peer ffmpeg ({len(peer_cmds)} process(es)): {peer:.2f} CPU s over {seconds} s "
              f"({100 * peer / seconds:.2f} % of a core)")
    finally:
        app.close()
        shutil.rmtree(out, ignore_errors=True)


def ring_file(home, names):
    for root, _, files in os.walk(home):
        for n in names:
            if n in files:
                return os.path.join(root, n)
    return None


def station_kbps():
    """The station's bit rate: its icy-br header, else what ffprobe reads from the stream."""
    out = subprocess.run(["curl", "-s", "--max-time", "2", "-D", "-", "-o", "/dev/null", URL],
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.lower().startswith("icy-br:"):
            return int(line.split(":", 1)[1].strip().split(",")[0])
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                            "stream=bit_rate", "-of", "csv=p=0", URL],
                           capture_output=True, text=True, timeout=30).stdout.strip()
    return int(probe) // 1000 if probe.isdigit() else None


def broadcast(build, seconds):
    """The ring's CPU and file growth, MP3 chain against as broadcast, on one stream; receiving
    without a ring gives the base, so that the recording's own share shows too."""
    results = {}
    runs = (("base", False, 0, ()), ("mp3", True, 0, ("temp0.wma",)),
            ("broadcast", True, 1, ("temp0.ring.mp3", "temp0.ring.aac")))
    for key, prerec, mode, names in runs:
        # One long segment: no switch inside the window.
        app = Fonolux(build, prerec=prerec, segment_seconds=3600, record_mode=mode)
        try:
            app.tune()
            app.send("click BitBtn1")
            time.sleep(5)
            ring = ring_file(app.home, names) if names else None
            if names and not ring:
                raise SystemExit(f"no ring file {names} under {app.home}")
            size0 = os.path.getsize(ring) if ring else 0
            before = tree_cpu_seconds(app.proc.pid)
            started = time.time()
            time.sleep(seconds)
            ours = tree_cpu_seconds(app.proc.pid) - before
            wall = time.time() - started
            grown = os.path.getsize(ring) - size0 if ring else 0
            results[key] = (ours, wall, grown)
        finally:
            app.close()
    base = results["base"][0]
    print(f"receiving without a ring: {base:.2f} CPU s over {results['base'][1]:.0f} s "
          f"({100 * base / results['base'][1]:.2f} % of a core)")
    for key, label in (("mp3", "MP3 chain (WMA ring)"), ("broadcast", "as broadcast")):
        ours, wall, grown = results[key]
        print(f"{label}: {ours:.2f} CPU s over {wall:.0f} s ({100 * ours / wall:.2f} % of a core), "
              f"{ours - base:.2f} CPU s above receiving alone; ring file {grown * 60 / wall / 1e6:.3f} MB a minute "
              f"({grown * 8 / wall / 1000:.1f} kbit/s)")
    print(f"as broadcast / MP3 chain, whole program: {results['broadcast'][0] / results['mp3'][0]:.2f}")
    chain = results["mp3"][0] - base
    if chain > 0:
        print(f"as broadcast / MP3 chain, the ring's own CPU: {(results['broadcast'][0] - base) / chain:.2f}")
    kbps = station_kbps()
    if kbps:
        print(f"station bit rate: {kbps} kbit/s = {kbps * 1000 * 60 / 8 / 1e6:.3f} MB a minute")
    print("an MP3 save at the default 192 kbit/s: 1.440 MB a minute")


def record(build, seconds):
    """Whole recordings, saved, in both modes, against receiving alone."""
    results = {}
    for key, prerec, mode in (("base", False, 0), ("mp3", True, 0), ("broadcast", True, 1)):
        app = Fonolux(build, prerec=prerec, segment_seconds=3600, record_mode=mode)
        try:
            app.tune()
            app.send("click BitBtn1")
            time.sleep(5)
            target = os.path.join(app.home, "recording.mp3")
            before = tree_cpu_seconds(app.proc.pid)
            started = time.time()
            if key != "base":
                app.send("click RecordButton")
            time.sleep(seconds)
            if key != "base":
                app.send("click RecordButton")
                deadline = time.time() + 60
                while "QFileDialog" not in app.send("windows"):
                    if time.time() > deadline:
                        raise SystemExit("no save dialog came up")
                    time.sleep(0.1)
                app.send("savefile " + target)
                # Saved once the file is in place and the window shows the ring again.
                deadline = time.time() + 600
                while not (os.path.exists(target) and app.send("get Label14 text") in ("PreRecording", "Pre-Recording")):
                    if time.time() > deadline:
                        raise SystemExit("the save did not end")
                    time.sleep(0.05)
            ours = tree_cpu_seconds(app.proc.pid) - before
            wall = time.time() - started
            size = os.path.getsize(target) if key != "base" else 0
            results[key] = (ours, wall, size)
        finally:
            app.close()
    rate = results["base"][0] / results["base"][1]
    print(f"receiving alone: {results['base'][0]:.2f} CPU s over {results['base'][1]:.0f} s "
          f"({100 * rate:.2f} % of a core)")
    own = {}
    for key, label in (("mp3", "MP3 chain (WMA ring, MP3 at 192 kbit/s when saved)"),
                       ("broadcast", "as broadcast")):
        ours, wall, size = results[key]
        own[key] = ours - rate * wall
        print(f"{label}: {ours:.2f} CPU s over {wall:.1f} s with the save, {own[key]:.2f} CPU s above receiving "
              f"alone; file {size * 60 / seconds / 1e6:.3f} MB a minute")
    print(f"as broadcast / MP3 chain, whole program: {results['broadcast'][0] / results['mp3'][0]:.2f}")
    if own["mp3"] > 0:
        print(f"as broadcast / MP3 chain, the recording's own CPU: {max(own['broadcast'], 0) / own['mp3']:.2f}")


def idle(build, seconds):
    app = Fonolux(build, prerec=False)
    try:
        time.sleep(5)  # past start-up and the pane's first load
        before = tree_cpu_seconds(app.proc.pid)
        time.sleep(seconds)
        used = tree_cpu_seconds(app.proc.pid) - before
        print(f"idle window: fonolux {used:.2f} CPU s over {seconds} s ({100 * used / seconds:.2f} % of a core)")
    finally:
        app.close()


def memory(build, minutes):
    app = Fonolux(build, prerec=True, segment_seconds=15)
    try:
        app.tune()
        app.send("click BitBtn1")
        samples = []
        for minute in range(minutes + 1):
            samples.append(rss_kb(app.proc.pid))
            print(f"minute {minute}: RSS {samples[-1] / 1024:.1f} MB", flush=True)
            if minute < minutes:
                time.sleep(60)
        print(f"growth after the first minute: {(samples[-1] - samples[1]) / 1024:.2f} MB "
              f"(max {max(samples[1:]) / 1024:.1f} MB, min {min(samples[1:]) / 1024:.1f} MB)")
    finally:
        app.close()


def thread_ticks(pid):
    """CPU ticks of each thread of pid, by thread id: (name, ticks)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[tid] = (name, int(fields[11]) + int(fields[12]))
        except (FileNotFoundError, ProcessLookupError):
            pass
    return out


class XDisplay:
    """A private X display (Xvfb) with the openbox window manager."""

    def __enter__(self):
        for n in range(70, 99):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                break
        self.name = f":{n}"
        self.xvfb = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{n}") and time.time() < deadline:
            time.sleep(0.05)
        self.wm = subprocess.Popen(["openbox"], env=dict(os.environ, DISPLAY=self.name),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for p in (self.wm, self.xvfb):
            p.terminate()
            p.wait(timeout=10)


def window_of(pid, display):
    env = dict(os.environ, DISPLAY=display)
    deadline = time.time() + 30
    while time.time() < deadline:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env=env,
                             capture_output=True, text=True).stdout.split()
        if out:
            return out[0]
        time.sleep(0.2)
    raise SystemExit("no window of fonolux")


def measure(app, seconds, peer_cmd=None):
    """Fonolux's CPU over `seconds` (and per thread), with the peer run in the same window."""
    before, threads_before = tree_cpu_seconds(app.proc.pid), thread_ticks(app.proc.pid)
    started = time.time()
    peer = peer_cpu([peer_cmd], seconds) if peer_cmd else None
    if not peer_cmd:
        time.sleep(seconds)
    wall = time.time() - started
    ours = tree_cpu_seconds(app.proc.pid) - before
    threads_after = thread_ticks(app.proc.pid)
    per_thread = sorted(((name, (ticks - threads_before.get(tid, (name, 0))[1]) / TICK)
                         for tid, (name, ticks) in threads_after.items()), key=lambda t: -t[1])
    return 100 * ours / wall, (100 * peer / seconds if peer is not None else None), \
        [(n, 100 * c / wall) for n, c in per_thread if c > 0][:4]


def desktop(build, seconds):
    mpv = ["mpv", "--no-config", "--no-video", "--ao=null", "--really-quiet", URL]
    with XDisplay() as x:
        app = Fonolux(build, prerec=False, display=x.name)
        try:
            wid = window_of(app.proc.pid, x.name)
            env = dict(os.environ, DISPLAY=x.name)
            time.sleep(5)  # past start-up and the pane's first page
            rows = [("idle window, shown", *measure(app, seconds))]
            app.tune()
            app.send("click BitBtn1")
            time.sleep(5)  # past connecting
            rows.append(("playing, window shown", *measure(app, seconds, mpv)))
            subprocess.run(["xdotool", "windowunmap", wid], env=env, check=True)
            time.sleep(1)
            rows.append(("playing, window unmapped", *measure(app, seconds, mpv)))
            subprocess.run(["xdotool", "windowmap", wid], env=env, check=True)
        finally:
            app.close()
    print(f"{'situation':28} {'fonolux':>9} {'mpv':>9} {'ratio':>7}   fonolux's busiest threads")
    for what, ours, peer, threads in rows:
        ratio = f"{ours / peer:6.2f}x" if peer else "      -"
        peer_text = f"{peer:8.2f}%" if peer is not None else "        -"
        busiest = ", ".join(f"{n} {c:.2f}%" for n, c in threads)
        print(f"{what:28} {ours:8.2f}% {peer_text} {ratio}   {busiest}")
    print(f"(% of one core over {seconds} s each; goals: shown <= 2x mpv, unmapped <= 1.2x mpv, idle < 1%)")


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    build, mode = sys.argv[1], sys.argv[2]
    arg = int(sys.argv[3]) if len(sys.argv) > 3 else None
    with DemoStation():
        time.sleep(1)
        if mode == "latency":
            latency(build, arg or 7)
        elif mode == "cpu":
            cpu(build, arg or 60, prerec=False)
        elif mode == "ringcpu":
            cpu(build, arg or 300, prerec=True)
        elif mode == "broadcast":
            broadcast(build, arg or 120)
        elif mode == "record":
            record(build, arg or 120)
        elif mode == "idle":
            idle(build, arg or 60)
        elif mode == "memory":
            memory(build, arg or 30)
        elif mode == "desktop":
            desktop(build, arg or 60)
        else:
            raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
