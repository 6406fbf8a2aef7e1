#!/usr/bin/env python3
"""CPU and peak memory of steady playback of the same 3-minute 320 kbps mp3 on the same sink, in
one run of interleaved rounds:
  app          the real program (build/release/orvane) with the file on its command line, its
               window closed once it plays (to the tray: a stand-in tray is offered on a private
               Xvfb display, and the window gets the window manager's close request)
  app shown    the same with its window left shown (the level bars and the position moving)
  engine       the engine alone, headless, clock running (bench/engine_play)
  gst-play-1.0 the reference
  audacious -H headless Audacious, where it is installed (PulseAudio sink only)
  audacious GTK  Audacious with its GTK window shown, as it starts with a fresh configuration
  chain plain    the app's output chain (convert, level, volume, sink) after a decodebin in a
                 gst-launch pipeline of its own
  chain playbin  the same chain as playbin's audio sink, as the app plays (what playbin adds)

The sink is a null sink of a private PulseAudio server ("--sink pulse", the default, where
pulseaudio is installed) or any gst-launch description, e.g. "fakesink sync=true" (then
Audacious is left out). On the PulseAudio server the app plays through its own output
(autoaudiosink, as at home), gst-play-1.0 through a plain pulsesink. CPU is utime + stime
from /proc over the steady seconds.

Usage: bench/playback_cpu.py [--seconds 25] [--rounds 3] [--sink pulse|"fakesink sync=true"]
       [--app path/to/orvane] [--baseline path/to/another/orvane]
       [--only "app,app shown,gst-play-1.0,audacious -H,audacious GTK"] [--threads]"""
import argparse, ctypes, ctypes.util, os, pathlib, shutil, subprocess, sys, tempfile, time

root = pathlib.Path(__file__).resolve().parent.parent
ap = argparse.ArgumentParser()
ap.add_argument("--seconds", type=float, default=25)
ap.add_argument("--sink", default="pulse" if shutil.which("pulseaudio") else "fakesink sync=true")
ap.add_argument("--rounds", type=int, default=3, help="alternating runs of each, summed")
ap.add_argument("--build", default=str(root / "build" / "release"))
ap.add_argument("--app", default=None, help="the program to measure (default: the build's)")
ap.add_argument("--only", default=None, help="comma-separated subset of the players")
ap.add_argument("--threads", action="store_true",
                help="also print each busy thread's CPU and switches per round")
ap.add_argument("--baseline", default=None,
                help="another build of the program, measured the same way as 'app (baseline)'")
args = ap.parse_args()

if args.app is None:
    subprocess.run(["cmake", "-S", str(root), "-B", args.build, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DORVANE_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "--target", "engine_play", "orvane"],
                   check=True, stdout=subprocess.DEVNULL)
    args.app = str(pathlib.Path(args.build) / "src" / "orvane")

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
WARMUP = 4.0  # start-up (libraries, prerolling, the app's 3.4 s now-playing toast) is not steady
scratch = pathlib.Path(tempfile.mkdtemp(prefix="orvane-playback-"))
daemons = []


def wait_for(what, condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise SystemExit(f"gave up waiting for {what}")


def wakeups_of(pid):
    """Context switches of the process's main thread (each one a wake-up or a preemption)."""
    total = 0
    for line in pathlib.Path(f"/proc/{pid}/task/{pid}/status").read_text().splitlines():
        if "ctxt_switches:" in line:
            total += int(line.split()[-1])
    return total


def threads_of(pid):
    """Each thread's name, CPU seconds and context switches: tid -> (name, cpu, switches)."""
    found = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            stat = (task / "stat").read_text()
            status = (task / "status").read_text()
        except OSError:
            continue  # ended meanwhile
        fields = stat.rsplit(")", 1)[1].split()
        switches = sum(int(line.split()[-1]) for line in status.splitlines()
                       if "ctxt_switches:" in line)
        found[task.name] = (stat.split("(", 1)[1].rsplit(")", 1)[0],
                            (int(fields[11]) + int(fields[12])) / TICK, switches)
    return found


def cpu_of(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


# ---- private environment: session bus, sound server, X display ----

env = dict(os.environ)
for name in ("HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"):
    path = scratch / name.lower()
    path.mkdir(mode=0o700)
    env[name] = str(path)
env.pop("WAYLAND_DISPLAY", None)
env.pop("QT_QPA_PLATFORM", None)

bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                       stdout=subprocess.PIPE, text=True, env=env)
daemons.append(bus)
env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()

servers = {}  # the shared servers whose work for a player is counted beside its own: name -> pid
if args.sink == "pulse":
    socket = scratch / "pulse-native"
    daemons.append(subprocess.Popen(
        ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--load=module-null-sink sink_name=spk rate=44100 channels=2",
         f"--load=module-native-protocol-unix auth-anonymous=1 socket={socket}"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    servers["PulseAudio"] = daemons[-1].pid
    wait_for("the sound server", socket.exists)
    env["PULSE_SERVER"] = f"unix:{socket}"
    gst_sink = "pulsesink"
    # The app gets the output it has at home (autoaudiosink, which finds this server through
    # PULSE_SERVER), not a pulsesink named for it: whatever the app does to its output counts.
    env.pop("ORVANE_AUDIO_SINK", None)
else:
    gst_sink = args.sink
    env["ORVANE_AUDIO_SINK"] = gst_sink

xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten",
                         "tcp"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
daemons.append(xvfb)
servers["X"] = xvfb.pid
env["DISPLAY"] = ":" + xvfb.stdout.readline().strip()


# ---- the X side through libX11: a stand-in tray and the window manager's close request ----

class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XCreateSimpleWindow.restype = ctypes.c_ulong
x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + \
    [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
x11.XSetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                           ctypes.POINTER(ctypes.c_uint)]
x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                     ctypes.POINTER(XWindowAttributes)]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.POINTER(XEvent)]
x11.XFree.argtypes = [ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XSetErrorHandler.argtypes = [ctypes.c_void_p]
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
x11.XSetErrorHandler(ctypes.cast(ERROR_HANDLER, ctypes.c_void_p))  # windows may vanish meanwhile

display = x11.XOpenDisplay(env["DISPLAY"].encode())
if not display:
    raise SystemExit("cannot open the Xvfb display")
root_window = x11.XDefaultRootWindow(display)
# Owning the tray selection is what makes a tray "available" to Qt's XEmbed tray icon; closing
# the main window then hides it instead of quitting. The icon's docking requests go unanswered.
tray_owner = x11.XCreateSimpleWindow(display, root_window, 0, 0, 1, 1, 0, 0, 0)
x11.XSetSelectionOwner(display, x11.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0), tray_owner, 0)
x11.XSync(display, 0)


class XClassHint(ctypes.Structure):
    _fields_ = [("res_name", ctypes.c_char_p), ("res_class", ctypes.c_char_p)]


x11.XGetClassHint.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(XClassHint)]


def viewable_main_windows(program):
    """The program's viewable top-level windows big enough to be its main window (by class: its
    title is the playing track's; the tray icon's window is a few pixels a side)."""
    found = []
    root_ret, parent_ret, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_uint()
    children = ctypes.POINTER(ctypes.c_ulong)()
    if not x11.XQueryTree(display, root_window, ctypes.byref(root_ret), ctypes.byref(parent_ret),
                          ctypes.byref(children), ctypes.byref(count)):
        return found
    for i in range(count.value):
        w = children[i]
        hint = XClassHint()
        if not x11.XGetClassHint(display, w, ctypes.byref(hint)):
            continue
        matches = (hint.res_name or b"").decode(errors="replace") == program
        attributes = XWindowAttributes()
        if matches and x11.XGetWindowAttributes(display, w, ctypes.byref(attributes)) and \
                attributes.map_state == 2 and attributes.width >= 200:  # IsViewable
            found.append(w)
    if children:
        x11.XFree(children)
    return found


def request_close(window):
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.xclient.data[1] = 0  # CurrentTime
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)


def playerctl_status():
    done = subprocess.run(["playerctl", "-p", "orvane", "status"], env=env, text=True,
                          capture_output=True)
    return done.stdout.strip()


# ---- the players ----

def start_app(program=None, close=True):
    home = pathlib.Path(tempfile.mkdtemp(dir=scratch))  # no stored playlist from a former run
    app_env = dict(env, XDG_CONFIG_HOME=str(home / "config"), XDG_CACHE_HOME=str(home / "cache"),
                   HOME=str(home), QT_QPA_PLATFORM="xcb")
    proc = subprocess.Popen([program or args.app, str(mp3)], env=app_env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the main window", lambda: viewable_main_windows("orvane"))
    wait_for("playback", lambda: playerctl_status() == "Playing")
    if not close:
        return proc
    for w in viewable_main_windows("orvane"):
        request_close(w)
    wait_for("the window to close", lambda: not viewable_main_windows("orvane"))
    if proc.poll() is not None:
        raise SystemExit("the app quit when its window closed (no tray?)")
    return proc


def start_plain(cmd, extra_env=None):
    def start():
        return subprocess.Popen(cmd, env=dict(env, **(extra_env or {})),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return start


players = {
    "app": start_app,
    **({"app (baseline)": lambda: start_app(args.baseline)} if args.baseline else {}),
    "app shown": lambda: start_app(close=False),
    **({"app shown (baseline)": lambda: start_app(args.baseline, close=False)}
       if args.baseline else {}),
    "engine": start_plain([str(pathlib.Path(args.build) / "bench" / "engine_play"),
                           str(args.seconds + WARMUP + 5), str(mp3)]),
    "gst-play-1.0": start_plain(["gst-play-1.0", "--no-interactive", f"--audiosink={gst_sink}",
                                 str(mp3)]),
    # The app's output chain in a hand-made pipeline and under playbin: what playbin adds.
    "chain plain": start_plain(["gst-launch-1.0", "-q", "filesrc", f"location={mp3}", "!",
                                "decodebin", "!", "audioconvert", "!", "level",
                                "post-messages=false", "!", "volume", "!", gst_sink]),
    "chain playbin": start_plain(["gst-launch-1.0", "-q", "playbin", f"uri={mp3.as_uri()}",
                                  "flags=2", f"audio-sink=audioconvert ! level "
                                  f"post-messages=false ! volume ! {gst_sink}"]),
}
if args.sink == "pulse" and shutil.which("audacious"):
    players["audacious -H"] = start_plain(["audacious", "-H", str(mp3)])
    # Its GTK window shown, as it starts (its own configuration: a fresh home each time).
    players["audacious GTK"] = lambda: start_plain(
        ["audacious", "--gtk", str(mp3)],
        {"HOME": tempfile.mkdtemp(dir=scratch), "XDG_CONFIG_HOME": tempfile.mkdtemp(dir=scratch)})()
else:
    print("audacious -H: " + ("not installed" if not shutil.which("audacious")
                              else "left out (it needs the PulseAudio sink)"))
if not (pathlib.Path(args.build) / "bench" / "engine_play").exists():
    del players["engine"]
if args.only:
    players = {k: v for k, v in players.items() if k in args.only.split(",")}


def sink_inputs():
    done = subprocess.run(["pactl", "list", "short", "sink-inputs"], env=env, text=True,
                          capture_output=True)
    return [line for line in done.stdout.splitlines() if line.strip()]


def measure(start):
    proc = start()
    if args.sink == "pulse":  # each one is measured while it really plays into the server
        wait_for("its sound", sink_inputs)
    time.sleep(WARMUP)
    t0, cpu0, woken0 = time.monotonic(), cpu_of(proc.pid), wakeups_of(proc.pid)
    threads0 = threads_of(proc.pid) if args.threads else {}
    served0 = sum(cpu_of(pid) for pid in servers.values())
    time.sleep(args.seconds)
    cpu1, woken1, wall = cpu_of(proc.pid), wakeups_of(proc.pid), time.monotonic() - t0
    if args.threads:
        for tid, (name, cpu, switches) in threads_of(proc.pid).items():
            if tid in threads0 and (cpu > threads0[tid][1] or switches - threads0[tid][2] > wall):
                print(f"      thread {name:16s} cpu {cpu - threads0[tid][1]:5.2f} s, "
                      f"{(switches - threads0[tid][2]) / wall:5.1f} switches/s", flush=True)
    served = sum(cpu_of(pid) for pid in servers.values()) - served0
    alive = proc.poll() is None
    proc.terminate()
    _, status, usage = os.wait4(proc.pid, 0)
    if args.sink == "pulse":
        wait_for("the server to let go of it", lambda: not sink_inputs())
    if not alive:
        raise SystemExit(f"{start} ended during the measurement")
    return cpu1 - cpu0, usage.ru_maxrss / 1024.0, wall, (woken1 - woken0) / wall, served


try:
    print(f"sink: {'PulseAudio null sink (private server)' if args.sink == 'pulse' else gst_sink}; "
          f"{args.rounds} interleaved rounds of {args.seconds:g} s after {WARMUP:g} s", flush=True)
    served_by = " + ".join(servers)
    totals = {name: [0.0, 0.0, 0.0, 0.0, 0.0] for name in players}
    for _ in range(args.rounds):
        for name, start in players.items():
            cpu, rss, wall, woken, served = measure(start)
            t = totals[name]
            t[0] += cpu
            t[1] = max(t[1], rss)
            t[2] += wall
            t[3] += woken / args.rounds
            t[4] += served
            print(f"  {name:14s} cpu {cpu:5.2f} s, peak RSS {rss:6.1f} MB, main thread "
                  f"{woken:5.1f} switches/s, {served_by} {served:5.2f} s", flush=True)

    # The servers' CPU is what they did while that player alone played: the work a player
    # moves to them (a short sound buffer, its frames' pixels) is counted, not hidden.
    for name, (cpu, rss, wall, woken, served) in totals.items():
        print(f"{name:14s} cpu {cpu:6.2f} s over {wall:5.1f} s ({100 * cpu / wall:5.2f} % of a "
              f"core), peak RSS {rss:6.1f} MB, main thread {woken:5.1f} switches/s; "
              f"{served_by} {100 * served / wall:5.2f} %, with them {100 * (cpu + served) / wall:5.2f} %")
    reference = totals.get("gst-play-1.0", [0])[0]
    for name, target in (("app", ""), ("app (baseline)", ""), ("engine", "")):
        if name in totals and reference:
            print(f"ratio {name} / gst-play CPU: {totals[name][0] / reference:.2f}{target}")
    for name, peer in (("app", "audacious -H"), ("app (baseline)", "audacious -H"),
                       ("app shown", "audacious GTK"), ("app shown (baseline)", "audacious GTK")):
        if name in totals and peer in totals and totals[peer][0]:
            mine, theirs = totals[name], totals[peer]
            print(f"ratio {name} / {peer} CPU: {mine[0] / theirs[0]:.2f} (target <= 1.0); "
                  f"with the servers' {(mine[0] + mine[4]) / (theirs[0] + theirs[4]):.2f}")
finally:
    for d in reversed(daemons):
        d.terminate()
        d.wait()
    shutil.rmtree(scratch, ignore_errors=True)
