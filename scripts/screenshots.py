#!/usr/bin/env python3
"""Takes the README's pictures of both programs in use, from the real programs.

Starts a private X display with a window manager, the demo station (scripts/demo-station.sh),
and the programs as installed from the build folder into a temporary prefix, with a fresh home;
then drives them through their windows as a user would (through the test driver socket that
FONOLUX_TEST_DRIVER opens; the driver library of a build configured with -DFONOLUX_TEST_HOOKS=ON
is loaded into the programs with LD_PRELOAD): Fonolux plays the demo station, records a few seconds and saves
them; Snipolux opens the recording and a stretch of it is selected. The pictures are written
to docs/screenshots/ (or the folder given). Everything started is stopped at the end.

Usage: python3 scripts/screenshots.py [BUILD_DIR] [OUT_DIR]   (needs Xvfb, openbox, icecast2,
ffmpeg and curl; port 8000 must be free, as the seeded demo station listens there)
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Driver:
    """One program's driver socket: a command line in, one answer line out."""

    def __init__(self, path, timeout=20):
        end = time.time() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > end:
                    raise RuntimeError("no driver at " + path)
                time.sleep(0.1)
        self.file = self.sock.makefile("rw", encoding="utf-8", newline="\n")

    def send(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        return self.file.readline().rstrip("\n")

    def must(self, line):
        answer = self.send(line)
        if not answer.startswith("ok"):
            raise RuntimeError(line + " -> " + answer)
        return answer[3:]

    def wait_for(self, name, prop, want, timeout=30):
        end = time.time() + timeout
        value = None
        while time.time() < end:
            value = self.send("get %s %s" % (name, prop))[3:]
            if want(value):
                return value
            time.sleep(0.1)
        raise RuntimeError("%s.%s stayed %r" % (name, prop, value))

    def answer_file_dialog(self, path):
        for _ in range(150):
            if "QFileDialog" in self.must("windows"):
                break
            time.sleep(0.1)
        time.sleep(1)
        for _ in range(3):
            self.must("savefile " + path)
            for _ in range(40):
                if "QFileDialog" not in self.must("windows"):
                    return
                time.sleep(0.1)
        raise RuntimeError("the file dialog stayed open")


def strip_mean(png, x, width=14):
    """The mean grey of a stretch of the title strip from x, 14 pixels high (the strip's dark
    ground is about 0.13; text raises it), or None without ImageMagick."""
    tool = "/usr/bin/convert"
    if not os.path.exists(tool):
        return None
    out = subprocess.run([tool, png, "-crop", "%dx14+%d+36" % (width, x), "-colorspace", "gray", "-format", "%[fx:mean]",
                          "info:"], capture_output=True, text=True)
    try:
        return float(out.stdout)
    except ValueError:
        return None


def grab_with_whole_title(driver, png):
    """Grabs the window at a moment when the scrolling title lies wholly inside its strip."""
    for _ in range(30):
        driver.must("grab Form1 " + png)
        left, right, whole = strip_mean(png, 9), strip_mean(png, 592), strip_mean(png, 9, 596)
        if left is None or (left < 0.14 and right < 0.14 and whole > 0.145):
            return
        time.sleep(0.3)


def driver_library(build):
    """The test driver the build made (it needs -DFONOLUX_TEST_HOOKS=ON)."""
    lib = os.path.join(build, "tests", "libfonolux_test_driver.so")
    if not os.path.exists(lib):
        raise SystemExit("%s is missing: configure the build with -DFONOLUX_TEST_HOOKS=ON" % lib)
    return lib


def free_display():
    for n in range(90, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    out = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs", "screenshots"))
    os.makedirs(out, exist_ok=True)
    home = tempfile.mkdtemp(prefix="fonolux-shots-")
    started = []

    def start(argv, log, **kw):
        p = subprocess.Popen(argv, stdout=open(os.path.join(home, log), "w"), stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, **kw)
        started.append(p)
        return p

    try:
        prefix = os.path.join(home, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        n = free_display()
        start(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"], "xvfb.log")
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                break
            time.sleep(0.05)
        for d in (".config", ".local/share", "Music", "runtime"):
            os.makedirs(os.path.join(home, d), exist_ok=True)
        os.chmod(os.path.join(home, "runtime"), 0o700)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_DATA_HOME=home + "/.local/share",
                   XDG_RUNTIME_DIR=home + "/runtime", DISPLAY=":%d" % n, QT_QPA_PLATFORM="xcb",
                   SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=home + "/played.raw",
                   FONOLUX_TEST_DRIVER=home + "/drive")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        # The programs, and only they, carry the test driver.
        driven = dict(env, LD_PRELOAD=driver_library(build))
        start(["openbox"], "openbox.log", env=env)
        station = start(["bash", os.path.join(ROOT, "scripts", "demo-station.sh")], "station.log", env=env)
        for _ in range(200):
            if "Demo station:" in open(os.path.join(home, "station.log")).read():
                break
            if station.poll() is not None:
                raise RuntimeError("the demo station did not start: " + open(os.path.join(home, "station.log")).read())
            time.sleep(0.1)

        start([prefix + "/bin/fonolux"], "fonolux.log", env=driven)
        r = Driver(home + "/drive.fonolux")
        r.must("choose cbgnr Local")
        r.wait_for("ComboBox1", "currentText", lambda v: v == "Demo station on this computer")
        r.must("click BitBtn1")
        r.wait_for("Label14", "text", lambda v: v == "Pre-Recording")
        time.sleep(6)
        grab_with_whole_title(r, os.path.join(out, "fonolux-playing.png"))
        r.must("click RecordButton")
        r.wait_for("Label14", "text", lambda v: v == "Recording")
        time.sleep(8)
        grab_with_whole_title(r, os.path.join(out, "fonolux-recording.png"))
        r.must("click RecordButton")
        mp3 = os.path.join(home, "Music", "Demo station.mp3")
        r.answer_file_dialog(mp3)
        r.wait_for("Label14", "text", lambda v: v == "Pre-Recording", 60)

        start([prefix + "/bin/snipolux", mp3], "snipolux.log", env=driven)
        t = Driver(home + "/drive.snipolux")
        t.wait_for("Form1", "windowTitle", lambda v: v.startswith("Snipolux - "))
        width = int(t.must("get Image1 width"))
        right = int(t.must("get Image1 width")) - 3
        t.must("drag Image1 2 40 %d 40" % (width * 30 // 100))
        time.sleep(0.5)
        t.must("drag Image1 %d 40 %d 40" % (right, width * 75 // 100))
        time.sleep(0.5)
        t.must("grab Form1 " + os.path.join(out, "snipolux-selection.png"))
        print("screenshots in " + out)
    finally:
        for p in reversed(started):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
