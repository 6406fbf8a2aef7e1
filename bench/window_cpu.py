#!/usr/bin/env python3
"""CPU and memory of the whole application with its window shown under Xvfb (a track playing,
the level bars moving), then with the window unmapped (as when closed to the tray), beside
gst-play-1.0 on the same file and sink, in one run; then the time of one keystroke in the
playlist's filter field over 10,000 tracks (bench/playlist_filter.cpp, offscreen).

Usage: bench/window_cpu.py [--seconds 30]
Needs: xvfb, xdotool, gstreamer1.0-plugins-base-apps (apt-get install them first)."""
import argparse, os, pathlib, shutil, subprocess, tempfile, time

root = pathlib.Path(__file__).resolve().parent.parent
ap = argparse.ArgumentParser()
ap.add_argument("--seconds", type=float, default=30)
ap.add_argument("--sink", default="fakesink sync=true")
args = ap.parse_args()
build = root / "build" / "release"
subprocess.run(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DORVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "--target", "orvane", "playlist_filter"], check=True,
               stdout=subprocess.DEVNULL)

cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "orvane-bench"
cache.mkdir(parents=True, exist_ok=True)
mp3 = cache / "three-minutes-320k.mp3"
if not mp3.exists():
    subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise", "volume=0.3",
                    "num-buffers=7752", "samplesperbuffer=1024", "!", "audio/x-raw,rate=44100,channels=2",
                    "!", "audioconvert", "!", "lamemp3enc", "target=bitrate", "bitrate=320", "cbr=true",
                    "!", "filesink", f"location={mp3}"], check=True)

TICK = os.sysconf("SC_CLK_TCK")
def cpu_of(pid):
    f = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / TICK
def rss_of(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024.0
    return 0.0
def window_sample(pid, seconds):
    c0, t0 = cpu_of(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_of(pid) - c0) / (time.monotonic() - t0) * 100

display = ":97"
xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(1.5)
scratch = tempfile.mkdtemp()
env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", ORVANE_AUDIO_SINK=args.sink,
           XDG_CONFIG_HOME=f"{scratch}/config", XDG_CACHE_HOME=f"{scratch}/cache",
           XDG_RUNTIME_DIR=f"{scratch}/run")
os.makedirs(f"{scratch}/run", mode=0o700)
try:
    app = subprocess.Popen(["dbus-run-session", "--", str(build / "src" / "orvane"), str(mp3)], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(5)
    pid = int(subprocess.check_output(["pgrep", "-n", "-f", str(build / "src" / "orvane")]).split()[0])
    shown = window_sample(pid, args.seconds)
    rss_shown = rss_of(pid)
    # Close the window the way a user does (Ctrl+W); the process stays with its tray icon. The
    # main window is found by its class (its title is the playing track's), the biggest of them
    # (the tray icon's window is a few pixels a side).
    def main_window():
        ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "^orvane$"],
                             env=env, stdout=subprocess.PIPE, text=True).stdout.split()
        def area(w):
            geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", w], env=env,
                                      stdout=subprocess.PIPE, text=True).stdout
            values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
            return int(values.get("WIDTH", 0)) * int(values.get("HEIGHT", 0))
        ids = [w for w in ids if area(w) >= 200 * 200]
        return max(ids, key=area) if ids else None
    wid = main_window()
    if wid is None:
        raise SystemExit("the main window was not found")
    subprocess.run(["xdotool", "windowfocus", "--sync", wid], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["xdotool", "key", "ctrl+w"], env=env)  # XTEST, to the focused window
    time.sleep(1)
    if main_window():
        print("warning: the window did not close; the second figure is with it shown")
    time.sleep(2)
    hidden = window_sample(pid, args.seconds)
    app.terminate()
    app.wait()

    gp = subprocess.Popen(["gst-play-1.0", "--no-interactive", f"--audiosink={args.sink}", str(mp3)],
                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)
    gst = window_sample(gp.pid, args.seconds)
    rss_gst = rss_of(gp.pid)
    gp.terminate()
    gp.wait()
finally:
    xvfb.terminate()
    shutil.rmtree(scratch, ignore_errors=True)

print(f"window shown:   {shown:5.2f} % of a core, RSS {rss_shown:6.1f} MB (target < 2x gst-play, < 100 MB)")
print(f"window closed:  {hidden:5.2f} % of a core (target within 1.2x gst-play)")
print(f"gst-play-1.0:   {gst:5.2f} % of a core, RSS {rss_gst:6.1f} MB")
print(f"ratios: shown {shown / gst:.2f}x, closed {hidden / gst:.2f}x")
subprocess.run([str(build / "bench" / "playlist_filter"), "10000"],
               env=dict(os.environ, QT_QPA_PLATFORM="offscreen"), stderr=subprocess.DEVNULL)
