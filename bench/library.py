#!/usr/bin/env python3
"""Library scale: ingest speed against a single-threaded TagLib floor, start-up restore of a
5,000-track playlist (time and settings writes), and peak memory with 10,000 tracks restored.
Then, with the window shown: the longest main-thread stall (a 10 ms heartbeat inside the
process) and the time until all are listed, for the 2,500-file folder dropped on the window and
for 20,000 files added at once; beside it, where installed, Audacious (Qt interface) given the
same folder and files, seen from outside (gaps in its answers to media-control calls every
10 ms).  Runs on a private session bus.
The corpus (2,500 short tagged mp3 files, a quarter with a 50 KB cover) is generated once and
cached in ~/.cache/orvane-bench/corpus.  Usage: bench/library.py
bench/library.py gains: only the cost of loudness levelling: the ingest of the corpus and of a
copy of it whose files also carry ReplayGain tags (corpus-gains), in alternate rounds, and the
background loudness measurement's CPU time per minute of audio."""
import os, pathlib, shutil, subprocess, sys, tempfile, time

if "ORVANE_BENCH_PRIVATE_BUS" not in os.environ:
    os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv],
               dict(os.environ, ORVANE_BENCH_PRIVATE_BUS="1"))

root = pathlib.Path(__file__).resolve().parent.parent
build = root / "build" / "release"
subprocess.run(["cmake", "-S", root, "-B", build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DORVANE_TESTS=OFF"], check=True,
               stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "--target", "library_bench"], check=True,
               stdout=subprocess.DEVNULL)
tool = str(build / "bench" / "library_bench")

cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "orvane-bench"
corpus = cache / "corpus"
if len(list(corpus.glob("*.mp3"))) < 2500:
    cache.mkdir(parents=True, exist_ok=True)
    template = cache / "template.mp3"
    subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=20", "!",
                    "audio/x-raw,rate=44100,channels=2", "!", "audioconvert", "!", "lamemp3enc", "!",
                    "filesink", f"location={template}"], check=True)
    subprocess.run([tool, "corpus", str(corpus), str(template), "2500"], check=True)

env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
if sys.argv[1:] == ["gains"]:
    gains = cache / "corpus-gains"
    if len(list(gains.glob("*.mp3"))) < 2500:
        subprocess.run([tool, "corpus", str(gains), str(cache / "template.mp3"), "2500", "gains"],
                       check=True)
    for _ in range(3):
        for folder in (corpus, gains):
            print(folder.name, end=": ", flush=True)
            subprocess.run([tool, "ingest", str(folder)], check=True, env=env)
    subprocess.run([tool, "loudness", str(corpus), "500"], check=True, env=env)
    sys.exit(0)
for args in (["floor", corpus], ["ingest", corpus], ["restore", corpus, "5000"],
             ["restore", corpus, "10000"]):
    subprocess.run([tool, *map(str, args)], check=True, env=env)

# Files coming in with the window shown, Orvane and Audacious in turn.
audacious = None
if shutil.which("audacious"):
    home = tempfile.mkdtemp(prefix="orvane-bench-audacious-")
    audacious = subprocess.Popen(
        ["audacious", "--qt"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(env, HOME=home, XDG_CONFIG_HOME=f"{home}/config", XDG_DATA_HOME=f"{home}/data",
                 XDG_CACHE_HOME=f"{home}/cache"))
    deadline = time.monotonic() + 30
    while subprocess.run(["audtool", "version"], capture_output=True).returncode != 0:
        if time.monotonic() > deadline or audacious.poll() is not None:
            print("audacious: did not come up on the session bus")
            audacious.kill()
            audacious = None
            break
        time.sleep(0.2)
else:
    print("audacious: not installed, Orvane alone")
orvane_env = dict(env, XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="orvane-bench-config-"))
try:
    for count in ("0", "20000"):
        subprocess.run([tool, "window", corpus, count], check=True, env=orvane_env)
        if audacious:
            subprocess.run([tool, "audacious", corpus, count], env=env)
finally:
    if audacious:
        subprocess.run(["audtool", "shutdown"], capture_output=True)
        try:
            audacious.wait(10)
        except subprocess.TimeoutExpired:
            audacious.kill()
