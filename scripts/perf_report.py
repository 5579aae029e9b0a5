#!/usr/bin/env python3
"""Writes docs/performance.md and the chart's data from the figures scripts/perf_report.sh
gathered: the benchmark's JSON (medians of repetitions), instruction counts and machine facts.

    perf_report.py <work dir> <docs dir>

The work dir holds bench.json, bench-tls-traditional.json, instructions.tsv
("<dialect> <bytes> <family> <instructions per pair>"), machine.txt ("key: value"), and for
arm64 arm64.tsv ("<compiler> <atomics> <core> <family> <instructions per 64 B pair>") with
arm64.txt ("key: value")."""

import json
import re
import sys
from collections import defaultdict
from pathlib import Path

SIZES = [16, 64, 256, 4096, 65536, 1 << 20]
FAMILY_LABELS = {
    "raw": "malloc/free",
    "builtin": "builtin_malloc/free",
    "mmgr": "mmgr_malloc/free",
    "new": "new/delete",
    "calloc": "mmgr_calloc/mmgr_free",
    "floor": "floor",
}


def size_label(n):
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    if n >= 1 << 10:
        return f"{n >> 10} KiB"
    return f"{n} B"


def load_medians(path):
    """name -> median ns per iteration; name without /real_time and /threads:N, with @N added
    for N threads. One thread: CPU time. Several: wall time, which Google Benchmark divides by
    the iterations of all threads together."""
    data = json.loads(Path(path).read_text())
    medians = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") != "median":
            continue
        assert b["time_unit"] == "ns", b["time_unit"]
        threads = int(b.get("threads", 1))
        name = re.sub(r"/(real_time|threads:\d+|repeats:\d+|min_time:[^/]+)", "", b["run_name"])
        key = name if threads == 1 else f"{name}@{threads}"
        medians[key] = b["real_time"] if threads > 1 else b["cpu_time"]
        medians[key + ":cpu"] = b["cpu_time"]
    return data["context"], medians


def fmt(x, digits=1):
    return "–" if x is None else f"{x:.{digits}f}"


def pct(a, b):
    if a is None or b is None or b == 0:
        return "–"
    return f"{100.0 * (a - b) / b:+.1f}%"


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


ARM64_ATOMICS = {
    "outline": "outline call (compiler default)",
    "inline": "inline ldaxr/stlxr loop (the build's)",
    "lse": "inline ldaddal (`-march=armv8.1-a`)",
}
ARM64_CORES = {"cortex-a53": "Cortex-A53 (ARMv8.0)", "cortex-a76": "Cortex-A76 (ARMv8.2, LSE)"}


def arm64_table(work):
    """Instructions per 64 B pair on arm64, one row per compiler, atomics and emulated core."""
    counts = defaultdict(dict)
    for line in (work / "arm64.tsv").read_text().splitlines():
        compiler, atomics, core, family, value = line.split()
        counts[(compiler, atomics, core)][family] = float(value)
    rows = []
    for compiler in sorted({k[0] for k in counts}, key=lambda c: (not c.startswith("gcc"), c)):
        for atomics in ARM64_ATOMICS:
            for core in ARM64_CORES:
                f = counts.get((compiler, atomics, core))
                if not f:
                    continue
                rows.append(
                    [compiler, ARM64_ATOMICS[atomics], ARM64_CORES[core]]
                    + [fmt(f.get(k), 0) for k in ("raw", "floor", "mmgr", "new")]
                    + [fmt(f["mmgr"] - f["raw"], 0), pct(f["mmgr"], f["floor"])]
                )
    return table(
        ["compiler", "atomic addition", "emulated core", "malloc/free", "floor",
         "mmgr_malloc/free", "new/delete", "mmgr − raw", "mmgr vs floor"],
        rows,
    )


def main():
    work, docs = Path(sys.argv[1]), Path(sys.argv[2])
    context, ns = load_medians(work / "bench.json")
    _, ns_trad = load_medians(work / "bench-tls-traditional.json")
    machine = dict(
        line.split(": ", 1) for line in (work / "machine.txt").read_text().splitlines() if ": " in line
    )
    instr = defaultdict(dict)  # (dialect, bytes) -> family -> per pair
    for line in (work / "instructions.tsv").read_text().splitlines():
        dialect, size, family, value = line.split()
        instr[(dialect, int(size))][family] = float(value)
    repetitions = context.get("repetitions") or machine.get("repetitions", "?")

    def pair(family, size, threads=1):
        key = f"pair/{family}/{size}" + (f"@{threads}" if threads > 1 else "")
        return ns.get(key)

    # ---- pairs: time
    time_rows = []
    for size in SIZES:
        row = [size_label(size)]
        row += [fmt(pair(f, size)) for f in FAMILY_LABELS]
        row += [pct(pair("mmgr", size), pair("raw", size)), pct(pair("mmgr", size), pair("floor", size))]
        time_rows.append(row)
    time_table = table(
        ["block"] + list(FAMILY_LABELS.values()) + ["mmgr vs raw", "mmgr vs floor"], time_rows
    )

    # ---- pairs: instructions
    instr_rows = []
    for size in SIZES:
        f = instr[("gnu2", size)]
        instr_rows.append(
            [size_label(size)]
            + [fmt(f.get(k), 0) for k in ("raw", "floor", "mmgr", "new")]
            + [
                fmt(f["mmgr"] - f["raw"], 0),
                fmt(f["new"] - f["raw"], 0),
                pct(f["mmgr"], f["floor"]),
                pct(f["new"], f["floor"]),
            ]
        )
    instr_table = table(
        ["block", "malloc/free", "floor", "mmgr_malloc/free", "new/delete", "mmgr − raw",
         "new − raw", "mmgr vs floor", "new vs floor"],
        instr_rows,
    )

    # ---- TLS dialect
    tls_rows = []
    for family in ("raw", "floor", "mmgr", "new"):
        g, t = instr[("gnu2", 64)].get(family), instr[("traditional", 64)].get(family)
        tls_rows.append(
            [FAMILY_LABELS[family], fmt(g, 0), fmt(t, 0), fmt(ns.get(f"pair/{family}/64")),
             fmt(ns_trad.get(f"pair/{family}/64"))]
        )
    tls_table = table(
        ["64 B pair", "instructions, descriptors (gnu2)", "instructions, __tls_get_addr",
         "ns, descriptors", "ns, __tls_get_addr"],
        tls_rows,
    )

    # ---- batches (time per batch of 1,000 -> per pair)
    batch_rows = []
    for size in (64, 4096):
        for order in ("in-order", "reverse", "shuffled"):
            vals = {f: ns.get(f"batch/{f}/{order}/{size}") for f in ("raw", "mmgr", "new", "floor")}
            batch_rows.append(
                [size_label(size), order]
                + [fmt(None if v is None else v / 1000.0) for v in vals.values()]
                + [pct(vals["mmgr"], vals["raw"])]
            )
    batch_table = table(
        ["block", "release order", "malloc/free", "mmgr_malloc/free", "new/delete", "floor",
         "mmgr vs raw"],
        batch_rows,
    )

    # ---- resize and strings
    other_rows = []
    for what, raw_key, lib_key, label in (
        ("realloc grow 64 B → 4 KiB", "realloc/raw/grow", "realloc/mmgr/grow", "mmgr_realloc"),
        ("realloc shrink 4 KiB → 64 B", "realloc/raw/shrink", "realloc/mmgr/shrink", "mmgr_realloc"),
        ("strdup, 15 characters", "strdup/raw/15", "strdup/mmgr/15", "FF_strdup"),
        ("strdup, 255 characters", "strdup/raw/255", "strdup/mmgr/255", "FF_strdup"),
        ("new/delete, 64 B", "pair/raw/64", "pair/new/64", "operator new"),
        ("new/delete, 64 B aligned to 64", "pair/raw-aligned/64", "pair/new-aligned/64",
         "operator new(align_val_t)"),
    ):
        r, m = ns.get(raw_key), ns.get(lib_key)
        other_rows.append([what, label, fmt(r), fmt(m), pct(m, r)])
    other_table = table(["operation (allocate, resize or copy, release)", "library entry point",
                         "system, ns", "library, ns", "overhead"], other_rows)

    # ---- two threads. CPU time per iteration is per thread (Google Benchmark adds up both
    # threads' CPU time and both threads' iterations); the wall time per iteration is over
    # both threads together, so a handed-off block takes twice that.
    thread_rows = []
    for size in (64, 4096):
        for family in ("raw", "mmgr", "new", "floor"):
            one = pair(family, size)
            both = ns.get(f"pair/{family}/{size}@2:cpu")
            handoff = ns.get(f"handoff/{family}/{size}@2")
            thread_rows.append(
                [size_label(size), FAMILY_LABELS[family], fmt(one),
                 fmt(both), fmt(None if handoff is None else handoff * 2)]
            )
    thread_table = table(
        ["block", "family", "1 thread, CPU ns per pair", "2 threads at once, CPU ns per pair on each",
         "released by the other thread, wall ns per block"],
        thread_rows,
    )

    over_rows = [
        ["within the limit (for comparison)", fmt(pair("mmgr", 64))],
        ["over a zero limit, no hook", fmt(ns.get("overlimit/no-hook/64"))],
        ["over a zero limit, hook that frees nothing", fmt(ns.get("overlimit/no-op-hook/64"))],
    ]
    over_table = table(["64 B mmgr_malloc+mmgr_free", "ns per pair"], over_rows)

    stats_rows = [[f"`{k.split('/', 1)[1]}`", fmt(v)] for k, v in sorted(ns.items())
                  if k.startswith("stats/") and not k.endswith(":cpu")]
    stats_table = table(["query", "ns per call"], stats_rows)

    # ---- chart data: overhead over raw by block size
    with open(docs / "performance_overhead.dat", "w") as dat:
        dat.write("# bytes  ns(mmgr new builtin floor) - raw   instructions(mmgr new floor) - raw\n")
        for size in SIZES:
            raw = pair("raw", size)
            f = instr[("gnu2", size)]
            cols = [pair(k, size) - raw for k in ("mmgr", "new", "builtin", "floor")]
            cols += [f[k] - f["raw"] for k in ("mmgr", "new", "floor")]
            dat.write(f"{size} " + " ".join(f"{c:.2f}" for c in cols) + "\n")

    arm64 = dict(
        line.split(": ", 1) for line in (work / "arm64.txt").read_text().splitlines() if ": " in line
    )

    template = (Path(__file__).with_name("performance.md.in")).read_text()
    text = template.format(
        cpu=machine.get("cpu", "?"),
        cores=machine.get("cores", "?"),
        glibc=machine.get("glibc", "?"),
        compiler=machine.get("compiler", "?"),
        kernel=machine.get("kernel", "?"),
        benchmark=machine.get("benchmark", "?"),
        date=machine.get("date", "?"),
        repetitions=repetitions,
        pairs=machine.get("pairs", "?"),
        time_table=time_table,
        instr_table=instr_table,
        tls_table=tls_table,
        batch_table=batch_table,
        other_table=other_table,
        thread_table=thread_table,
        over_table=over_table,
        stats_table=stats_table,
        arm64_table=arm64_table(work),
        arm64_qemu=arm64.get("qemu", "?"),
        arm64_glibc=arm64.get("glibc", "?"),
        arm64_gcc=arm64.get("gcc", "?"),
        arm64_clang=arm64.get("clang", "?"),
        arm64_date=arm64.get("date", "?"),
    )
    (docs / "performance.md").write_text(text)


if __name__ == "__main__":
    main()
