#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Refreshes the generated tables of docs/performance.md, and its chart, from the release build:
the medians of the Google Benchmark program (repeated, randomly interleaved) and the instruction
counts per pair (scripts/check_instruction_counts.sh --table). Each generated table follows a
`<!-- perf_report: NAME -->` line; everything else in the document is written by hand.

    scripts/perf_report.py [--repetitions N]      (9 by default; about ten minutes)
"""
import argparse
import datetime
import json
import re
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "release"
DOC = ROOT / "docs" / "performance.md"
SIZES = [16, 64, 256, 4096, 65536, 1 << 20]
LABELS = {"raw": "malloc/free", "builtin": "builtin_malloc/free", "mmgr": "mmgr_malloc/free",
          "new": "new/delete", "calloc": "mmgr_calloc/mmgr_free", "floor": "floor"}


def run(*command):
    return subprocess.run(command, cwd=ROOT, check=True, text=True, stdout=subprocess.PIPE).stdout


def size_label(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1 << 10 else f"{n} B"


def fmt(x, digits=1):
    return "–" if x is None else f"{x:.{digits}f}"


def pct(a, b):
    return "–" if a is None or not b else f"{100.0 * (a - b) / b:+.1f}%"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(map(str, row)) + " |" for row in rows])


def medians(repetitions):
    """Benchmark name -> median ns. One thread: CPU time. Two (name@2): wall time, which Google
    Benchmark divides by the iterations of both threads together; name@2:cpu is CPU time."""
    out = BUILD / "perf_report.json"
    run(str(BUILD / "benchmarks" / "memmgr_benchmarks"), f"--benchmark_repetitions={repetitions}",
        "--benchmark_min_time=0.1", "--benchmark_enable_random_interleaving=true",
        "--benchmark_report_aggregates_only=true", f"--benchmark_out={out}")
    ns = {}
    for b in json.loads(out.read_text())["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = re.sub(r"/(real_time|threads:\d+)", "", b["run_name"])
            threads = int(b.get("threads", 1))
            key = name if threads == 1 else f"{name}@{threads}"
            ns[key] = b["real_time"] if threads > 1 else b["cpu_time"]
            ns[key + ":cpu"] = b["cpu_time"]
    return ns


def tables(ns, instr, repetitions):
    pair = lambda family, size: ns.get(f"pair/{family}/{size}")
    facts = [("CPU", run("sh", "-c", "lscpu | sed -n 's/^Model name: *//p'").strip()
              + f" ({run('nproc').strip()} cores)"),
             ("C library", run("ldd", "--version").splitlines()[0].replace("ldd ", "")),
             ("compiler", run("g++", "--version").splitlines()[0]
              + ", Release (`-O3`), shared library"),
             ("kernel", run("uname", "-r").strip()),
             ("Google Benchmark", run("dpkg-query", "-W", "-f=${Version}", "libbenchmark-dev")),
             ("repetitions", repetitions), ("generated", datetime.date.today().isoformat())]
    yield "machine", table(["", ""], facts)
    yield "time", table(["block"] + list(LABELS.values()) + ["mmgr vs raw", "mmgr vs floor"], [
        [size_label(s)] + [fmt(pair(f, s)) for f in LABELS]
        + [pct(pair("mmgr", s), pair("raw", s)), pct(pair("mmgr", s), pair("floor", s))]
        for s in SIZES])
    yield "instructions", table(
        ["block", "malloc/free", "floor", "mmgr_malloc/free", "new/delete", "mmgr − raw",
         "new − raw", "mmgr vs floor", "new vs floor"],
        [[size_label(s)] + [fmt(instr[f, s], 0) for f in ("raw", "floor", "mmgr", "new")]
         + [fmt(instr[f, s] - instr["raw", s], 0) for f in ("mmgr", "new")]
         + [pct(instr[f, s], instr["floor", s]) for f in ("mmgr", "new")] for s in SIZES])
    yield "batches", table(
        ["block", "release order", "malloc/free", "mmgr_malloc/free", "new/delete", "floor",
         "mmgr vs raw"],
        [[size_label(s), order] + [fmt(ns[f"batch/{f}/{order}/{s}"] / 1000)
                                   for f in ("raw", "mmgr", "new", "floor")]
         + [pct(ns[f"batch/mmgr/{order}/{s}"], ns[f"batch/raw/{order}/{s}"])]
         for s in (64, 4096) for order in ("in-order", "reverse", "shuffled")])
    other = [("realloc grow 64 B → 4 KiB", "mmgr_realloc", "realloc/raw/grow", "realloc/mmgr/grow"),
             ("realloc shrink 4 KiB → 64 B", "mmgr_realloc", "realloc/raw/shrink",
              "realloc/mmgr/shrink"),
             ("strdup, 15 characters", "FF_strdup", "strdup/raw/15", "strdup/mmgr/15"),
             ("strdup, 255 characters", "FF_strdup", "strdup/raw/255", "strdup/mmgr/255"),
             ("new/delete, 64 B", "operator new", "pair/raw/64", "pair/new/64"),
             ("new/delete, 64 B aligned to 64", "operator new(align_val_t)", "pair/raw-aligned/64",
              "pair/new-aligned/64")]
    yield "other", table(["operation (allocate, resize or copy, release)", "library entry point",
                          "system, ns", "library, ns", "overhead"],
                         [[what, entry, fmt(ns[r]), fmt(ns[m]), pct(ns[m], ns[r])]
                          for what, entry, r, m in other])
    # A handed-off block takes twice the wall time per iteration, which counts both threads.
    yield "threads", table(
        ["block", "family", "1 thread, CPU ns per pair",
         "2 threads at once, CPU ns per pair on each",
         "released by the other thread, wall ns per block"],
        [[size_label(s), LABELS[f], fmt(pair(f, s)), fmt(ns[f"pair/{f}/{s}@2:cpu"]),
          fmt(2 * ns[f"handoff/{f}/{s}@2"])] for s in (64, 4096) for f in ("raw", "mmgr", "new", "floor")])
    yield "overlimit", table(["64 B mmgr_malloc+mmgr_free", "ns per pair"], [
        ["within the limit (for comparison)", fmt(pair("mmgr", 64))],
        ["over a zero limit, no hook", fmt(ns["overlimit/no-hook/64"])],
        ["over a zero limit, hook that frees nothing", fmt(ns["overlimit/no-op-hook/64"])]])
    yield "statistics", table(["query", "ns per call"], [
        [f"`{k[6:]}`", fmt(v)] for k, v in sorted(ns.items())
        if k.startswith("stats/") and not k.endswith(":cpu")])
    yield "growth", table(["family", "one thread", "two threads"], [
        [label, fmt(ns[f"growth/{f}/64"] / 1000), fmt(ns[f"growth/{f}/64@2"] / 1000)]
        for f, label in (("raw", "malloc/free"), ("floor", "floor"),
                         ("mmgr", "mmgr_malloc/mmgr_free"), ("new", "new/delete"))])


def chart(ns, instr):
    data = BUILD / "performance_overhead.dat"
    data.write_text("".join(
        f"{s} " + " ".join(f"{ns[f'pair/{f}/{s}'] - ns[f'pair/raw/{s}']:.2f}"
                           for f in ("mmgr", "new", "builtin", "floor"))
        + " " + " ".join(f"{instr[f, s] - instr['raw', s]:.2f}" for f in ("mmgr", "new", "floor"))
        + "\n" for s in SIZES))
    mmgr, new = r"mmgr\_malloc/free", "new/delete"
    plot = lambda *series: "plot " + ", ".join(f"'{data}' using 1:{c} title '{t}' lw 2"
                                               for c, t in series)
    subprocess.run(["gnuplot"], check=True, text=True, input="\n".join([
        'set terminal pngcairo size 1200,480 font ",10"',
        f"set output '{DOC.parent / 'performance_overhead.png'}'",
        'set multiplot layout 1,2 title "Overhead over malloc/free per allocate+release pair"',
        'set logscale x 2',
        'set xtics ("16 B" 16, "64 B" 64, "256 B" 256, "4 KiB" 4096, "64 KiB" 65536, "1 MiB" 1048576)',
        'set grid ytics; set key outside bottom center horizontal; set style data linespoints',
        'set title "time (median ns over raw)"; set ylabel "ns"',
        plot((2, mmgr), (3, new), (5, "floor"), (4, r"builtin\_malloc/free")),
        'set title "instructions (callgrind, over raw)"; set ylabel "instructions"; set yrange [0:*]',
        plot((6, mmgr), (7, new), (8, "floor")), ""]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=9)
    repetitions = parser.parse_args().repetitions
    if repetitions < 2:
        parser.error("a median needs at least 2 repetitions")
    run("scripts/lib/install_deps.sh", "build", "valgrind", "report")
    run("cmake", "--preset", "release")
    run("cmake", "--build", "--preset", "release", "--target", "memmgr_benchmarks",
        "instruction_workload")
    instr = {}
    for size in SIZES:
        for line in run("scripts/check_instruction_counts.sh", "--table", str(size)).splitlines():
            family, value = line.split()
            if family != "compiler":
                instr[family, size] = float(value)
    ns = medians(repetitions)
    text = DOC.read_text()
    for name, body in tables(ns, instr, repetitions):
        text, found = re.subn(rf"(<!-- perf_report: {name} -->\n)(\|.*\n)+",
                              lambda m: m.group(1) + body + "\n", text)
        assert found == 1, f"no single table marked {name} in {DOC}"
    DOC.write_text(text)
    chart(ns, instr)


if __name__ == "__main__":
    main()
