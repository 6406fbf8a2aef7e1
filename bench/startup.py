#!/usr/bin/env python3
"""Start-up: time from launch until the main window is mapped under Xvfb, with 0, 5,000 and
20,000 stored tracks, beside Audacious-GTK's relaunch (its own playlist) when installed, in one
run of interleaved rounds (median of each).

Each player keeps its settings and cache between rounds, so every measured start is a relaunch
(one unmeasured start first fills whatever the player keeps). The tracks are hard links to the
tagged corpus of bench/library.py (2,500 files, a quarter with a cover), 20,000 distinct paths.
The moment of mapping is the MapNotify that `xev -root -event substructure` reports.

Usage: bench/startup.py [--rounds 25] [--also NAME=BINARY ...]
  --also runs another Orvane binary in the same rounds (for instance an older build), with the
  same stored playlists.
Needs: xvfb, x11-utils (xev), dbus; audacious for the reference (apt-get install them first)."""
import argparse, os, pathlib, queue, shutil, signal, statistics, subprocess, sys, tempfile
import threading, time

root = pathlib.Path(__file__).resolve().parent.parent
ap = argparse.ArgumentParser()
ap.add_argument("--rounds", type=int, default=25)
ap.add_argument("--also", action="append", default=[])
ap.add_argument("--sizes", default="0,5000,20000")
args = ap.parse_args()

if "ORVANE_BENCH_BUS" not in os.environ:  # one private session bus for every player
    os.environ["ORVANE_BENCH_BUS"] = "1"
    os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv])

build = root / "build" / "release"
subprocess.run(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DORVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "--target", "orvane", "library_bench", "startup_playlist"],
               check=True, stdout=subprocess.DEVNULL)
tool = build / "bench"

bench_cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "orvane-bench"
corpus = bench_cache / "corpus"
if len(list(corpus.glob("*.mp3"))) < 2500:
    bench_cache.mkdir(parents=True, exist_ok=True)
    template = bench_cache / "template.mp3"
    subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=20", "!",
                    "audio/x-raw,rate=44100,channels=2", "!", "audioconvert", "!", "lamemp3enc", "!",
                    "filesink", f"location={template}"], check=True)
    subprocess.run([tool / "library_bench", "corpus", str(corpus), str(template), "2500"], check=True)
sources = sorted(corpus.glob("*.mp3"))
sizes = [int(s) for s in args.sizes.split(",")]
links = bench_cache / "startup-links"
paths = []
for copy in range((max(sizes) + len(sources) - 1) // len(sources)):
    folder = links / f"{copy}"
    folder.mkdir(parents=True, exist_ok=True)
    for src in sources:
        dst = folder / src.name
        if not dst.exists():
            os.link(src, dst)
        paths.append(dst)

scratch = pathlib.Path(tempfile.mkdtemp(prefix="orvane-startup-"))
display = ":96"
xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
base_env = dict(os.environ, DISPLAY=display)
deadline = time.monotonic() + 20
while subprocess.run(["xdpyinfo"], env=base_env, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL).returncode != 0:
    if time.monotonic() > deadline:
        sys.exit("Xvfb did not start")
    time.sleep(0.05)

# Every window mapped on the root, with the moment its report arrived.
maps = queue.Queue()
xev = subprocess.Popen(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"], env=base_env,
                       stdout=subprocess.PIPE, text=True)
def watch():
    for line in xev.stdout:
        if line.startswith("MapNotify"):
            maps.put(time.monotonic())
threading.Thread(target=watch, daemon=True).start()


class Player:
    def __init__(self, name, command, size=None, cache_file=None):
        self.name, self.command, self.size = name, command, size
        home = scratch / name.replace(" ", "_")
        self.env = dict(base_env, QT_QPA_PLATFORM="xcb", ORVANE_AUDIO_SINK="fakesink sync=true",
                        HOME=str(home), XDG_CONFIG_HOME=str(home / "config"),
                        XDG_CACHE_HOME=str(home / "cache"), XDG_RUNTIME_DIR=str(home / "run"))
        (home / "run").mkdir(parents=True, mode=0o700)
        (home / "config").mkdir()
        self.cache_file = home / "cache" / cache_file if cache_file else None
        if size is not None:
            listing = home / "list.txt"
            listing.write_text("".join(f"{p}\n" for p in paths[:size]))
            settings = home / "config" / "Orvane" / "Orvane.conf"
            settings.parent.mkdir(parents=True)
            subprocess.run([tool / "startup_playlist", settings, listing], check=True)
        self.times = []

    def launch(self):
        """Seconds from launch until a window is mapped; the process is then ended."""
        while not maps.empty():
            maps.get_nowait()
        start = time.monotonic()
        proc = subprocess.Popen(self.command, env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            mapped = maps.get(timeout=60)
        except queue.Empty:
            mapped = None
        return proc, (mapped - start if mapped else float("nan"))

    def end(self, proc):
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

    def warm(self):
        proc, _ = self.launch()
        if self.cache_file and self.size:
            # The first start reads every file in the background and keeps what it read: wait
            # until the cache has been written and left alone for a while.
            # A build that keeps no cache (an older one given with --also) writes none: after
            # 20 s without one, it is taken to keep none.
            last, since, deadline = None, time.monotonic(), time.monotonic() + 600
            while time.monotonic() < deadline:
                stamp = self.cache_file.stat().st_mtime_ns if self.cache_file.exists() else None
                if stamp != last:
                    last, since = stamp, time.monotonic()
                elif time.monotonic() - since > (4 if stamp is not None else 20):
                    break
                time.sleep(0.2)
        else:
            time.sleep(2)
        self.end(proc)


players = []
orvanes = [("orvane", str(build / "src" / "orvane"))]
for also in args.also:
    name, _, binary = also.partition("=")
    orvanes.append((name, binary))
for name, binary in orvanes:
    for size in sizes:
        players.append(Player(f"{name} {size}", [binary], size, "orvane/playlist-metadata"))
if shutil.which("audacious"):
    players.append(Player("audacious-gtk", ["audacious", "-G"]))
else:
    print("audacious is not installed: no reference")

print("warming up (first starts, not measured)...", flush=True)
for p in players:
    p.warm()
for r in range(args.rounds):
    for p in players:
        proc, seconds = p.launch()
        p.times.append(seconds)
        time.sleep(0.5)  # as a user would see it, then gone
        p.end(proc)

print(f"window mapped after launch, median of {args.rounds} interleaved rounds (ms), loadavg "
      f"{os.getloadavg()[0]:.1f}:")
medians = {p.name: statistics.median(p.times) * 1000 for p in players}
for p in players:
    print(f"  {p.name:24s} {medians[p.name]:7.1f}   (" +
          " ".join(f"{t * 1000:.0f}" for t in p.times) + ")")
for name, _ in orvanes:
    empty = medians.get(f"{name} 0")
    for size in sizes[1:]:
        if empty:
            print(f"  {name}: {size} tracks / empty = {medians[f'{name} {size}'] / empty:.2f}x"
                  + (f", / audacious-gtk = {medians[f'{name} {size}'] / medians['audacious-gtk']:.2f}x"
                     if "audacious-gtk" in medians else ""))

xev.terminate()
xvfb.terminate()
shutil.rmtree(scratch, ignore_errors=True)
