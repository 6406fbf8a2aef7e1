#!/usr/bin/env python3
"""Big playlists beside Audacious (Qt interface), each player in a home of its own on a private
session bus, offscreen:

  memory    resident memory per stored track: each player started again with 100,000 stored
            tracks (hard links to the tagged corpus of bench/library.py, 40 folders of 2,500)
            after a first start that read them all, measured 8 s after launch, against the
            same player started with none; and Orvane's CPU in those 8 s by thread, the main
            thread apart (the look at the stored files after a start runs on the readers)
  handover  the longest answer to an MPRIS property read (every 5 ms, from outside) while a
            second launch of the player hands the corpus folder (2,500 files) over to it,
            idle with an empty playlist (bench/library_bench answers)

Usage: bench/rows.py [memory|handover ...] [--rounds N] [--count 100000] [--orvane BINARY]
Needs: audacious, audtool, dbus."""
import argparse, os, pathlib, shutil, signal, subprocess, sys, tempfile, time

ap = argparse.ArgumentParser()
ap.add_argument("what", nargs="*", default=["memory", "handover"])
ap.add_argument("--rounds", type=int, default=3)
ap.add_argument("--count", type=int, default=100000)
ap.add_argument("--orvane", action="append", default=[],
                help="NAME=BINARY of an Orvane build to measure (default: this tree's release)")
args = ap.parse_args()

if "ORVANE_BENCH_BUS" not in os.environ:
    os.environ["ORVANE_BENCH_BUS"] = "1"
    os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv])

root = pathlib.Path(__file__).resolve().parent.parent
build = root / "build" / "release"
subprocess.run(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DORVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "--target", "orvane", "library_bench", "startup_playlist"],
               check=True, stdout=subprocess.DEVNULL)
tool = build / "bench"
orvanes = [tuple(o.split("=", 1)) for o in args.orvane] or [("orvane", str(build / "src" / "orvane"))]

cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "orvane-bench"
corpus = cache / "corpus"
sources = sorted(corpus.glob("*.mp3"))
if len(sources) < 2500:
    sys.exit("run bench/library.py first: it makes the corpus")
links = cache / "startup-links"  # the layout bench/startup.py makes
paths = []
for copy in range((args.count + len(sources) - 1) // len(sources)):
    folder = links / f"{copy}"
    folder.mkdir(parents=True, exist_ok=True)
    for src in sources:
        dst = folder / src.name
        if not dst.exists():
            os.link(src, dst)
        paths.append(dst)
paths = paths[:args.count]
scratch = pathlib.Path(tempfile.mkdtemp(prefix="orvane-rows-"))
base_env = dict(os.environ, QT_QPA_PLATFORM="offscreen", ORVANE_AUDIO_SINK="fakesink sync=true")


def home_env(name):
    home = scratch / name
    (home / "run").mkdir(parents=True, mode=0o700)
    (home / "config").mkdir(exist_ok=True)
    return dict(base_env, HOME=str(home), XDG_CONFIG_HOME=str(home / "config"),
                XDG_CACHE_HOME=str(home / "cache"), XDG_DATA_HOME=str(home / "data"),
                XDG_RUNTIME_DIR=str(home / "run"))


def launch(command, env):
    return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def end(proc):
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    except ProcessLookupError:
        pass


def wait_bus(name, proc, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        if subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                           f"string:{name}"], capture_output=True).returncode == 0:
            return True
        time.sleep(0.1)
    return False


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def thread_cpu(pid):
    """CPU seconds by thread name, the main thread as 'main'."""
    tick = os.sysconf("SC_CLK_TCK")
    out = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            stat = open(f"/proc/{pid}/task/{task}/stat").read()
        except OSError:
            continue
        name = "main" if task == str(pid) else stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        out[name] = out.get(name, 0) + (int(fields[11]) + int(fields[12])) / tick
    return out


def settle(proc, cache_file, seconds=900):
    """Until the cache file has been written and left alone for 5 s."""
    last, since, deadline = None, time.monotonic(), time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        stamp = cache_file.stat().st_mtime_ns if cache_file.exists() else None
        if stamp != last:
            last, since = stamp, time.monotonic()
        elif stamp is not None and time.monotonic() - since > 5:
            return
        time.sleep(0.5)


def audacious_call(method, *args):
    return subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.atheme.audacious",
                           "/org/atheme/audacious", f"org.atheme.audacious.{method}", *args],
                          capture_output=True, text=True)


def audacious_length():
    r = audacious_call("Length")
    return int(r.stdout.split()[-1]) if r.returncode == 0 else -1


def memory():
    print(f"== memory: {args.count} stored tracks, {args.rounds} rounds, loadavg "
          f"{os.getloadavg()[0]:.1f}", flush=True)
    players = []
    for name, binary in orvanes:
        for size in (0, args.count):
            env = home_env(f"{name}-{size}")
            listing = scratch / f"{name}-{size}.txt"
            listing.write_text("".join(f"{p}\n" for p in paths[:size]))
            conf = pathlib.Path(env["XDG_CONFIG_HOME"]) / "Orvane" / "Orvane.conf"
            conf.parent.mkdir(parents=True)
            subprocess.run([tool / "startup_playlist", conf, listing], check=True)
            proc = launch([binary], env)  # the first start reads every file and keeps them
            wait_bus("org.mpris.MediaPlayer2.orvane", proc)
            if size:
                settle(proc, pathlib.Path(env["XDG_CACHE_HOME"]) / "orvane" / "playlist-metadata")
            else:
                time.sleep(3)
            end(proc)
            players.append((f"{name} {size}", [binary], env, size))
    if shutil.which("audacious"):
        for size in (0, args.count):
            env = home_env(f"audacious-{size}")
            proc = launch(["audacious", "--qt"], env)
            wait_bus("org.atheme.audacious", proc)
            if size:
                listing = scratch / "audacious.txt"
                step = 1000  # one argument of dbus-send stays under 128 KB
                for i in range(0, size, step):
                    audacious_call("AddList", "array:string:" + ",".join(
                        f"file://{p}" for p in paths[i:i + step]))
                deadline = time.monotonic() + 600
                while audacious_length() < size and time.monotonic() < deadline:
                    time.sleep(0.5)
                time.sleep(20)  # its tag reads, then it saves its playlist when it quits
            subprocess.run(["audtool", "shutdown"], env=env, capture_output=True)
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                end(proc)
            players.append((f"audacious {size}", ["audacious", "--qt"], env, size))
    results = {p[0]: [] for p in players}
    cpu = {p[0]: [] for p in players}
    for r in range(args.rounds):
        for name, command, env, size in players:
            proc = launch(command, env)
            time.sleep(8)
            results[name].append(rss_kb(proc.pid))
            cpu[name].append(thread_cpu(proc.pid))
            end(proc)
    for name, *_ in players:
        print(f"  {name:20s} RSS 8 s after launch, MB: " +
              " ".join(f"{k / 1024:.1f}" for k in results[name]))
        for c in cpu[name]:
            total = sum(c.values())
            others = {k: v for k, v in sorted(c.items(), key=lambda kv: -kv[1]) if v > 0}
            print(f"  {'':20s} CPU s in those 8 s: {total:.2f} ("
                  + ", ".join(f"{k} {v:.2f}" for k, v in others.items()) + ")")
    for prefix in [n for n, _ in orvanes] + ["audacious"]:
        if f"{prefix} 0" in results:
            empty = sorted(results[f"{prefix} 0"])[len(results[f"{prefix} 0"]) // 2]
            full = sorted(results[f"{prefix} {args.count}"])[len(results[f"{prefix} 0"]) // 2]
            print(f"  {prefix}: median {full / 1024:.1f} MB with {args.count}, {empty / 1024:.1f} MB "
                  f"empty: {(full - empty) * 1024 / args.count / 1000:.3f} KB per track")


def handover():
    print(f"== handover of {corpus} ({len(sources)} files) to an idle player, {args.rounds} rounds, "
          f"loadavg {os.getloadavg()[0]:.1f}", flush=True)
    players = [(name, [binary], "org.mpris.MediaPlayer2.orvane", [binary, str(corpus)])
               for name, binary in orvanes]
    if shutil.which("audacious"):
        players.append(("audacious", ["audacious", "--qt"], "org.mpris.MediaPlayer2.audacious",
                        ["audacious", "--qt", str(corpus)]))
    lines = {p[0]: [] for p in players}
    for r in range(args.rounds):
        for name, command, bus, hand in players:
            env = home_env(f"handover-{name}-{r}")
            proc = launch(command, env)
            if not wait_bus(bus, proc):
                print(f"  {name}: not on the bus")
                end(proc)
                continue
            time.sleep(2)  # idle
            out = subprocess.run([tool / "library_bench", "answers", bus, "6", *hand], env=env,
                                 capture_output=True, text=True)
            lines[name].append((out.stdout + out.stderr).strip())
            if name == "audacious":
                subprocess.run(["audtool", "shutdown"], env=env, capture_output=True)
            end(proc)
    for name, *_ in players:
        for line in lines[name]:
            print(f"  {name}: {line}")


try:
    for what in args.what:
        {"memory": memory, "handover": handover}[what]()
finally:
    shutil.rmtree(scratch, ignore_errors=True)
