#!/usr/bin/env python3
"""bench.py [measure [SECTION..] | report]: measures poll-client in the lab
against a bare loop of send and receive, and poll-events in its pipe and
alone, and writes the tables to
bench/RESULTS.md (and stdout). Figures only: nothing here passes or fails.
It runs in a lab of its own, as any user.

  bench/bench.py                  measure every section, then report
  bench/bench.py measure rates    measure one section (or several) alone
  bench/bench.py report           write the report from what was measured

Measuring keeps each section's raw figures in DATA/SECTION.json; the report
reads only those. A figure that cannot be measured, or that a section has
not measured, stops it with a message that names the figure: no table is
ever written with a figure it does not have.
"""

import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
CLIENT = os.path.join(BUILD, "poll-client")
BARE = os.path.join(BUILD, "bare-loop")
BOARD_SIM = os.path.join(BUILD, "board-sim")
EVENTS = os.path.join(BUILD, "poll-events")
PCAP_UDP = os.path.join(BUILD, "tests", "pcap_udp")
DATA = os.environ.get("BENCH_DATA", "/var/tmp/poll-client-bench")
RESULTS = os.environ.get("RESULTS", os.path.join(ROOT, "bench", "RESULTS.md"))
SECTIONS = ("rates", "instructions", "syscalls", "startup", "boards", "events")

REPS = int(os.environ.get("REPS", "9"))  # interleaved repetitions of each rate
WINDOW_S = 2  # seconds counted per rate measurement
WARMUP_S = 0.5
PORT = 5000
CPU = "0"  # client and board share it: the rate is then a CPU cost
N1, N2 = 2000, 6000  # cycles of the two runs whose difference is per cycle
BOARD_COUNTS = (2, 10)  # boards that answer every request at once
BOARDS_WINDOW_S = 3
BOARD_END_LIMIT_S = 300  # a counting board's run, at the most
# The poll cycle's steps, as the client's main calls them: the functions of
# its own sources whose cost per cycle the report breaks down.
CYCLE_FUNCTIONS = ("send_request", "receive_reply", "handle_reply")
MODES = {"silent": "silent (every distance 9 m)", "null": "printing, stdout to /dev/null",
         "file": "printing, stdout to a file"}
IN_RANGE_M, OUT_OF_RANGE_M = "1.5", "9"
EVENT_LINES = 10_000_000  # lines that poll-events reads alone, from a file


def die(message):
    print(f"bench: {message}", file=sys.stderr)
    sys.exit(1)


def log(message):
    print(f"bench: {message}", file=sys.stderr)


def lab(*args):
    """The command ARGS in the lab, by lab/lab's own words (client, board I)."""
    return [os.environ["LAB"], *args]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def udp_counter(host, field):
    """A UDP counter of /proc/net/snmp in a lab host ("client" or a board number)."""
    where = lab("client") if host == "client" else lab("board", str(host))
    rows = [line.split() for line in run(where + ["cat", "/proc/net/snmp"]).splitlines()
            if line.startswith("Udp:")]
    return int(dict(zip(rows[0], rows[1]))[field])


def start_board(i, *args, stderr=subprocess.DEVNULL):
    board = subprocess.Popen(lab("board", str(i), BOARD_SIM, "--port", str(PORT), *args),
                             stderr=stderr)
    if subprocess.run(lab("listening", str(i), str(PORT))).returncode:
        die(f"board {i} did not start listening")
    return board


def stop(*procs):
    """Interrupts (the client's way out) or terminates (a board's), and reaps."""
    for p in procs:
        p.send_signal(signal.SIGINT)
    time.sleep(0.05)
    for p in procs:
        if p.poll() is None:
            p.terminate()
        p.wait(timeout=10)


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    die(f"no peak memory (VmHWM) of process {pid}")


def rate(prog, mode, tmp, events=False):
    """Cycles per second of PROG and its peak RSS, pinned with its board to one CPU;
    with EVENTS, run by poll-events (on that CPU too), which reads its lines."""
    board = start_board(1, "--distance", OUT_OF_RANGE_M if mode == "silent" else IN_RANGE_M)
    sink = open(os.path.join(tmp, "lines") if mode == "file" else os.devnull, "w")
    cmd = [EVENTS, "--", prog] if events else [prog]
    client = subprocess.Popen(lab("client", "taskset", "-c", CPU, *cmd, str(PORT)), stdout=sink)
    run(["taskset", "-pc", CPU, str(board.pid)])
    time.sleep(WARMUP_S)
    c1 = udp_counter("client", "OutDatagrams")
    time.sleep(WINDOW_S)
    c2 = udp_counter("client", "OutDatagrams")
    hwm = peak_rss_kib(client.pid)
    stop(client, board)
    sink.close()
    if c2 <= c1:
        die(f"figure 'cycle rate of {os.path.basename(prog)}, {mode}': no request in {WINDOW_S} s")
    return (c2 - c1) / WINDOW_S, hwm


def counted_run(n, distance, cmd, tmp):
    """Runs CMD PORT in the client host against a board that answers N requests;
    stops it once the board has ended, which shows that it took the Nth reply."""
    board_log = os.path.join(tmp, "board.log")
    with open(board_log, "w") as err:
        board = start_board(1, "--distance", distance, "--count", str(n), "--log", stderr=err)
    client = subprocess.Popen(lab("client", *cmd, str(PORT)), stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(tmp, "run.err"), "w"))
    try:
        board.wait(timeout=BOARD_END_LIMIT_S)
    except subprocess.TimeoutExpired:
        die(f"{cmd[0]}: the board did not see {n} requests in {BOARD_END_LIMIT_S} s")
    time.sleep(0.3)
    # strace and valgrind hold the client's fatal signals while they trace it:
    # their child goes first.
    subprocess.run(["pkill", "-INT", "-P", str(client.pid)])
    stop(client)
    with open(board_log) as f:
        requests = sum(1 for _ in f)
    if requests != n + 1:
        die(f"{cmd[0]}: the board saw {requests} requests, not {n + 1}")


def callgrind(prog, n, distance, tmp):
    out = os.path.join(tmp, f"cg-{os.path.basename(prog)}-{n}-{distance}")
    counted_run(n, distance, ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", prog],
                tmp)
    annotated = run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out])
    total = re.search(r"^\s*([\d,]+)\s.*PROGRAM TOTALS", annotated, re.M)
    if not total:
        die(f"figure 'instructions of {prog}': no program total in callgrind's output")
    figures = {"total": int(total.group(1).replace(",", ""))}
    for name in CYCLE_FUNCTIONS if prog == CLIENT else ():
        # callgrind names C++ functions with their parameters: name(...)
        rows = re.findall(r"^\s*([\d,]+)\s.*[\s:]" + name + r"\(", annotated, re.M)
        if not rows:
            die(f"figure 'instructions of {name}': callgrind's output has no function {name} "
                "(renamed or inlined? see CYCLE_FUNCTIONS)")
        figures[name] = sum(int(r.replace(",", "")) for r in rows)
    return figures


def measure_rates(tmp):
    log(f"cycle rates: {REPS} repetitions x {len(MODES)} modes x 2 programs x {WINDOW_S} s")
    fig = {m: {"client": [], "bare": [], "ratio": []} for m in MODES}
    fig["hwm"] = {"client": [], "bare": []}
    for _ in range(REPS):
        for mode in MODES:
            c, c_hwm = rate(CLIENT, mode, tmp)
            b, b_hwm = rate(BARE, mode, tmp)
            # Back-to-back pairs share the machine's mood: their ratio drifts least.
            fig[mode]["client"].append(c)
            fig[mode]["bare"].append(b)
            fig[mode]["ratio"].append(c / b)
            fig["hwm"]["client"].append(c_hwm)
            fig["hwm"]["bare"].append(b_hwm)
    return fig


def measure_instructions(tmp):
    log(f"instruction counts (callgrind, {N1} and {N2} cycles)")
    fig = {}
    for name, prog, distance in (("client-silent", CLIENT, OUT_OF_RANGE_M),
                                 ("client-printing", CLIENT, IN_RANGE_M),
                                 ("bare", BARE, IN_RANGE_M)):
        fig[name] = [callgrind(prog, n, distance, tmp) for n in (N1, N2)]
    return fig


def measure_syscalls(tmp):
    log("system calls (strace) and heap (memcheck)")
    out = os.path.join(tmp, "strace")
    counted_run(N1, IN_RANGE_M, ["strace", "-c", "-o", out, "-e", "trace=write,sendto,recvfrom",
                                 CLIENT], tmp)
    calls = {}
    with open(out) as f:
        for line in f:
            words = line.split()
            if words and words[-1] in ("write", "sendto", "recvfrom"):
                calls[words[-1]] = int(words[3])
    fig = {"cycles": N1, "calls": calls, "heap": {}}
    for n in (N1, N2):
        counted_run(n, IN_RANGE_M, ["valgrind", "--tool=memcheck", CLIENT], tmp)
        with open(os.path.join(tmp, "run.err")) as f:
            heap = re.search(r"total heap usage: (.*)", f.read())
        if not heap:
            die(f"figure 'heap over {n} cycles': no heap summary from memcheck")
        fig["heap"][str(n)] = heap.group(1)
    return fig


def first_request_ms(prog, tmp):
    """Milliseconds from PROG's exec to its request on the wire."""
    pcap, err = os.path.join(tmp, "first.pcap"), os.path.join(tmp, "first.err")
    sniffer = subprocess.Popen(lab("client", "timeout", "10", "tcpdump", "-i", "eth0",
                                   "--immediate-mode", "-c", "1", "-w", pcap, "-nn",
                                   f"udp dst port {PORT}"), stderr=open(err, "w"))
    for _ in range(250):
        if "listening on" in open(err).read():
            break
        time.sleep(0.02)
    t0 = os.path.join(tmp, "t0")
    # The clock is read in the client host just before the exec, so that
    # entering the namespace is not counted.
    prog_run = subprocess.Popen(lab("client", "sh", "-c", 'date +%s.%N >"$1"; exec "$2" "$3"', "sh",
                                    t0, prog, str(PORT)),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sniffer.wait(timeout=15)
    stop(prog_run)
    lines = run([PCAP_UDP, pcap]).splitlines()
    if not lines:
        die(f"figure 'start-up of {prog}': no request captured")
    return (float(lines[0].split()[0]) - float(open(t0).read())) * 1000


def stripped_size(prog, tmp):
    out = os.path.join(tmp, "stripped")
    run(["strip", "-o", out, prog])
    return os.path.getsize(out)


def measure_startup(tmp):
    log("start-up: time to the first request on the wire")
    fig = {"first-client": [], "first-bare": []}
    for _ in range(REPS):
        fig["first-client"].append(first_request_ms(CLIENT, tmp))
        fig["first-bare"].append(first_request_ms(BARE, tmp))
    fig["size-client"], fig["size-bare"] = stripped_size(CLIENT, tmp), stripped_size(BARE, tmp)
    return fig


def measure_boards(tmp):
    log("several boards: request rate and receive-queue drops")
    rows = []
    for nb in BOARD_COUNTS:
        boards = [start_board(i, "--name", f"b{i}", "--distance", IN_RANGE_M)
                  for i in range(1, nb + 1)]
        client = subprocess.Popen(lab("client", CLIENT, str(PORT)), stdout=subprocess.DEVNULL)
        time.sleep(1)

        def counts():
            return ([udp_counter("client", f) for f in ("OutDatagrams", "InDatagrams",
                                                        "RcvbufErrors")]
                    + [sum(udp_counter(i, "RcvbufErrors") for i in range(1, nb + 1))])
        before = counts()
        time.sleep(BOARDS_WINDOW_S)
        after = counts()
        stop(client, *boards)
        rows.append([nb] + [(a - b) / BOARDS_WINDOW_S for a, b in zip(after, before)])
    return {"rows": rows}


def measure_events(tmp):
    log(f"poll-events: the client's rate with it in its pipe ({REPS} pairs), and {EVENT_LINES} "
        "lines alone")
    fig = {"piped": [], "alone": [], "ratio": []}
    for _ in range(REPS):
        piped, _ = rate(CLIENT, "null", tmp, events=True)
        alone, _ = rate(CLIENT, "null", tmp)
        fig["piped"].append(piped)
        fig["alone"].append(alone)
        fig["ratio"].append(piped / alone)
    lines = os.path.join(tmp, "lines")
    with open(lines, "w") as f:
        f.write("Object is detected 1.500000 meters away from board gate.\n" * EVENT_LINES)
    fig["lines-per-s"] = []
    for _ in range(3):
        with open(lines) as f:
            t0 = time.monotonic()
            subprocess.run([EVENTS], stdin=f, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=True)
            fig["lines-per-s"].append(EVENT_LINES / (time.monotonic() - t0))
    return fig


def enter_lab(args):
    """Builds the native tree, then runs this program again with ARGS inside a
    lab of the most boards that any section needs."""
    subprocess.run([os.path.join(ROOT, "scripts", "install-deps.sh")], check=True)
    if subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                       "-DPOLL_CLIENT_TESTS=ON"], stdout=subprocess.DEVNULL).returncode or \
       subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count())],
                      stdout=subprocess.DEVNULL).returncode:
        die("build failed")
    lab_path = os.path.join(ROOT, "lab", "lab")
    os.execv(lab_path, [lab_path, str(max(BOARD_COUNTS)), sys.executable, __file__, *args])


def measure(sections):
    """Measures SECTIONS, each into DATA/SECTION.json."""
    for s in sections:
        if s not in SECTIONS:
            die(f"unknown section '{s}' ({', '.join(SECTIONS)})")
    os.makedirs(DATA, exist_ok=True)
    compiler = run(["g++", "-dumpfullversion"]).strip()
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "unknown CPU")
    host = {"line": f"Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; machine: "
                    f"{os.cpu_count()} CPUs, {model}, {os.uname().release}\n"
                    f"Command: `bench/bench.py` (in a lab of its own), REPS={REPS}; "
                    f"binaries: Release, g++ {compiler}."}
    save("host", host)
    for s in sections:
        with tempfile.TemporaryDirectory() as tmp:
            save(s, globals()[f"measure_{s}"](tmp))


def save(section, figures):
    with open(os.path.join(DATA, f"{section}.json"), "w") as f:
        json.dump(figures, f, indent=1)


def need(section, *keys):
    """A figure that SECTION measured, or a stop that names it."""
    where = f"{section}: {' '.join(str(k) for k in keys)}" if keys else section
    try:
        with open(os.path.join(DATA, f"{section}.json")) as f:
            value = json.load(f)
        for k in keys:
            value = value[k]
    except (OSError, ValueError, KeyError, IndexError, TypeError):
        hint = "bench/bench.py measure" + ("" if section == "host" else f" {section}")
        die(f"no figure '{where}' in {DATA}: run '{hint}' first")
    if value in (None, "", [], {}):
        die(f"figure '{where}' in {DATA} is empty: run it again")
    return value


def spread(values, fmt="{:.0f}"):
    return f"{fmt.format(min(values))}-{fmt.format(max(values))}"


def report_rates():
    reps = len(need("rates", "silent", "client"))
    out = [f"## Poll cycles per second, client and board pinned to CPU {CPU}", "",
           f"Median of {reps} interleaved {WINDOW_S}-second windows (range in brackets); "
           "the bare loop only sends and receives.",
           f"The ratio is the median of the {reps} ratios of back-to-back pairs "
           "(client, then bare loop).", "",
           "| mode | poll-client | bare loop | ratio to the bare loop |", "|---|---|---|---|"]
    for mode, title in MODES.items():
        c, b, r = (need("rates", mode, k) for k in ("client", "bare", "ratio"))
        out.append(f"| {title} | {statistics.median(c):.0f} ({spread(c)}) | "
                   f"{statistics.median(b):.0f} ({spread(b)}) | "
                   f"{statistics.median(r):.3f} ({spread(r, '{:.3f}')}) |")
    return out + [""]


def per_cycle(runs, key):
    return (runs[1][key] - runs[0][key]) / (N2 - N1)


def report_instructions():
    out = ["## User-space instructions (callgrind)", "",
           f"Per cycle = (instructions over {N2} cycles - over {N1} cycles) / {N2 - N1}: "
           "start-up cancels out.",
           f"Start-up = instructions over {N1} cycles - {N1} x per cycle "
           "(loader and libc start included).", "",
           "| program | per cycle | start-up |", "|---|---|---|"]
    for key, title in (("client-silent", "poll-client, silent"),
                       ("client-printing", "poll-client, printing"), ("bare", "bare loop")):
        runs = need("instructions", key)
        pc = per_cycle(runs, "total")
        out.append(f"| {title} | {pc:.0f} | {runs[0]['total'] - N1 * pc:.0f} |")
    out += ["", "Where poll-client's cycle goes (inclusive, per cycle, printing mode): the steps "
            "of its poll cycle.", "", "| step | per cycle |", "|---|---|"]
    runs = need("instructions", "client-printing")
    for name in CYCLE_FUNCTIONS:
        need("instructions", "client-printing", 1, name)
        out.append(f"| `{name}` | {per_cycle(runs, name):.0f} |")
    return out + [""]


def report_syscalls():
    n = need("syscalls", "cycles")
    heap = [need("syscalls", "heap", str(k)) for k in (N1, N2)]
    out = ["## System calls and heap", "",
           f"strace -c of poll-client over {n} printed replies "
           "(the last request is sent, its reply never comes):", "", "```"]
    for name in ("recvfrom", "sendto", "write"):
        out.append(f"{need('syscalls', 'calls', name)} {name}")
    return out + ["```", "", f"memcheck heap summary: over {N1} cycles: {heap[0]}; "
                  f"over {N2} cycles: {heap[1]}.", ""]


def report_startup():
    fc, fb = need("startup", "first-client"), need("startup", "first-bare")
    hc, hb = need("rates", "hwm", "client"), need("rates", "hwm", "bare")
    return ["## Start-up, memory, size", "", "| figure | poll-client | bare loop |", "|---|---|---|",
            f"| exec to first request on the wire, ms (median of {len(fc)}) | "
            f"{statistics.median(fc):.3f} | {statistics.median(fb):.3f} |",
            f"| peak RSS (VmHWM), KiB, median of the rate runs | {statistics.median(hc):.0f} | "
            f"{statistics.median(hb):.0f} |",
            f"| stripped binary, bytes (amd64, dynamic) | {need('startup', 'size-client')} | "
            f"{need('startup', 'size-bare')} |", ""]


def report_boards():
    out = ["## Several boards, unpinned", "",
           "Every board answers every request; the client reads one reply per request and polls "
           "at once,",
           "so each reply read sends a request that brings B more: the request rate climbs to "
           "what the",
           "machine allows, and the client's receive queue overflows. Counted over "
           f"{BOARDS_WINDOW_S} s in the client's",
           "namespace (/proc/net/snmp); the boards answer with no delay.", "",
           "| boards | requests sent/s | replies queued for the client/s (InDatagrams) | "
           "replies dropped by the client's full queue/s (RcvbufErrors) | "
           "requests dropped by the boards' full queues/s |", "|---|---|---|---|---|"]
    for row in need("boards", "rows"):
        out.append("| " + " | ".join(f"{v:.0f}" for v in row) + " |")
    return out + [""]


def report_events():
    piped, alone, ratio = (need("events", k) for k in ("piped", "alone", "ratio"))
    rate = need("events", "lines-per-s")
    return ["## poll-events", "",
            f"The client's cycles per second, printing, pinned with its board to CPU {CPU}: run by "
            "poll-events, which reads its lines", "(on the same CPU), and with its stdout to "
            f"/dev/null. Medians of {len(ratio)} back-to-back pairs.", "",
            "| poll-events in the pipe | stdout to /dev/null | ratio |", "|---|---|---|",
            f"| {statistics.median(piped):.0f} ({spread(piped)}) | {statistics.median(alone):.0f} "
            f"({spread(alone)}) | {statistics.median(ratio):.3f} ({spread(ratio, '{:.3f}')}) |", "",
            f"poll-events alone, {EVENT_LINES} detection lines of one board from a file: "
            f"{statistics.median(rate):.0f} lines/s (median of {len(rate)}; {spread(rate)}).", ""]


# The section of RESULTS that board_vm's figures go in, by hand: kept as it is.
BOARD_SECTION = "## The emulated board"


def kept_board_section():
    """RESULTS' board section, from its heading to the end, or nothing."""
    try:
        with open(RESULTS) as f:
            old = f.read()
    except FileNotFoundError:
        return ""
    at = old.find(BOARD_SECTION)
    return old[at:] if at >= 0 else ""


def report():
    """Every section's tables, all figures in hand before RESULTS is written."""
    text = ["# poll-client benchmark", "", need("host", "line"), ""]
    for s in SECTIONS:
        text += globals()[f"report_{s}"]()
    body = "\n".join(text) + kept_board_section()
    with open(RESULTS + ".part", "w") as f:
        f.write(body)
    shutil.move(RESULTS + ".part", RESULTS)
    print(body, end="")
    log(f"written to {RESULTS}")


def main(args):
    what = args[0] if args else "all"
    if what in ("all", "measure") and "LAB_CLIENT_NS" not in os.environ:
        enter_lab(args)
    if what == "all" and len(args) <= 1:
        measure(list(SECTIONS))
        report()
    elif what == "measure":
        measure(args[1:] or list(SECTIONS))
    elif what == "report" and len(args) == 1:
        report()
    else:
        die("usage: bench.py [measure [SECTION..] | report]")


if __name__ == "__main__":
    main(sys.argv[1:])
