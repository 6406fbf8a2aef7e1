#!/usr/bin/env python3
"""CPU and peak memory of steady playback: the engine (headless, clock running) beside
gst-play-1.0 on the same 3-minute 320 kbps mp3 and the same sink, in one run.

Usage: bench/playback_cpu.py [--seconds 30] [--sink "fakesink sync=true"]
Builds bench/engine_play in build/release first (scripts/run or cmake do that)."""
import argparse, os, pathlib, subprocess, sys, tempfile, time

root = pathlib.Path(__file__).resolve().parent.parent
ap = argparse.ArgumentParser()
ap.add_argument("--seconds", type=float, default=30)
ap.add_argument("--sink", default="fakesink sync=true")
ap.add_argument("--rounds", type=int, default=3, help="alternating runs of each, summed")
ap.add_argument("--build", default=str(root / "build" / "release"))
args = ap.parse_args()

subprocess.run(["cmake", "-S", str(root), "-B", args.build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DORVANE_TESTS=OFF"], check=True,
               stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", args.build, "--target", "engine_play"], check=True,
               stdout=subprocess.DEVNULL)

cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "orvane-bench"
cache.mkdir(parents=True, exist_ok=True)
mp3 = cache / "three-minutes-320k.mp3"
if not mp3.exists():
    subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise", "volume=0.3",
                    "num-buffers=7752", "samplesperbuffer=1024", "!",
                    "audio/x-raw,rate=44100,channels=2", "!", "audioconvert", "!",
                    "lamemp3enc", "target=bitrate", "bitrate=320", "cbr=true", "!",
                    "filesink", f"location={mp3}"], check=True)

TICK = os.sysconf("SC_CLK_TCK")
WARMUP = 3.0  # start-up (loading libraries, prerolling) is not steady playback

def cpu_of(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime

def measure(cmd, env):
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(WARMUP)
    start, cpu0 = time.monotonic(), cpu_of(proc.pid)
    time.sleep(args.seconds)
    cpu1, wall = cpu_of(proc.pid), time.monotonic() - start
    proc.terminate()
    _, status, usage = os.wait4(proc.pid, 0)
    return cpu1 - cpu0, usage.ru_maxrss / 1024.0, wall

env = dict(os.environ, ORVANE_AUDIO_SINK=args.sink)
engine_cmd = [str(pathlib.Path(args.build) / "bench" / "engine_play"), str(args.seconds + WARMUP + 5), str(mp3)]
gstplay_cmd = ["gst-play-1.0", "--no-interactive", f"--audiosink={args.sink}", str(mp3)]
totals = {"engine": [0.0, 0.0, 0.0], "gst-play-1.0": [0.0, 0.0, 0.0]}
for _ in range(args.rounds):
    for name, cmd in (("engine", engine_cmd), ("gst-play-1.0", gstplay_cmd)):
        cpu, rss, wall = measure(cmd, env)
        t = totals[name]
        t[0] += cpu
        t[1] = max(t[1], rss)
        t[2] += wall
        print(f"  {name:14s} cpu {cpu:5.2f} s, peak RSS {rss:6.1f} MB", flush=True)

for name, (cpu, rss, wall) in totals.items():
    print(f"{name:14s} cpu {cpu:6.2f} s over {wall:5.1f} s ({100 * cpu / wall:5.2f} % of a core), "
          f"peak RSS {rss:6.1f} MB")
ratio = totals["engine"][0] / totals["gst-play-1.0"][0] if totals["gst-play-1.0"][0] else float("inf")
print(f"ratio engine / gst-play CPU: {ratio:.2f} (target <= 1.2)")
