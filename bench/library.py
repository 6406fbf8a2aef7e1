#!/usr/bin/env python3
"""Library scale: ingest speed against a single-threaded TagLib floor, start-up restore of a
5,000-track playlist (time and settings writes), and peak memory with 10,000 tracks restored.
The corpus (2,500 short tagged mp3 files, a quarter with a 50 KB cover) is generated once and
cached in ~/.cache/orvane-bench/corpus.  Usage: bench/library.py"""
import os, pathlib, subprocess

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
for args in (["floor", corpus], ["ingest", corpus], ["restore", corpus, "5000"],
             ["restore", corpus, "10000"]):
    subprocess.run([tool, *map(str, args)], check=True, env=env)
