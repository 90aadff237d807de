"""Turns bench/run's measurements into the table of docs/performance.md.

Only the part between the table markers is rewritten; the reading of the
figures around it is kept as written.
"""
import json
import os
import platform
import sys

out, doc, plot = sys.argv[1:4]
data = open(os.path.join(out, "data-folder")).read().strip()
names = ["4KiB", "1MiB", "64MiB", "256MiB", "1GiB"]

def medians(name):
    result = {}
    for kind in ("direct", "pipeline"):
        with open(os.path.join(out, f"{kind}-{name}.json")) as f:
            for r in json.load(f)["results"]:
                result[r["command"]] = r["median"]
    return result

memory = {}
sizes = {}
with open(os.path.join(out, "memory.tsv")) as f:
    for line in f:
        name, size, cmd, kib = line.split()
        memory[(name, cmd)] = int(kib)
        sizes[name] = int(size)

def cpu():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()

def ms(seconds):
    return f"{seconds * 1000:.2f}" if seconds < 1 else f"{seconds * 1000:.0f}"

rows = []
times = {}
for name in names:
    m = medians(name)
    times[name] = m
    size = sizes[name]
    mib = lambda kib: f"{kib / 1024:.1f}"
    rows.append(
        f"| {name} | {ms(m['textcopy'])} | {ms(m['floor'])} | {ms(m['floor+scan'])} | {ms(m['pipeline'])} "
        f"| {m['textcopy'] / m['floor']:.3f} | {m['textcopy'] / m['floor+scan']:.3f} "
        f"| {m['textcopy'] / m['pipeline']:.3f} "
        f"| {mib(memory[(name, 'textcopy')])} | {mib(size / 1024 + 4096)} "
        f"| {mib(memory[(name, 'floor')])} | {mib(memory[(name, 'pipeline')])} |")

growth = times["1GiB"]["textcopy"] / times["256MiB"]["textcopy"]
checks = [
    ("at 256 MiB, at most 1.10 times the floor", times["256MiB"]["textcopy"] / times["256MiB"]["floor"] <= 1.10,
     f"{times['256MiB']['textcopy'] / times['256MiB']['floor']:.3f}"),
    ("at 4 KiB, at most half the pipeline", times["4KiB"]["textcopy"] / times["4KiB"]["pipeline"] <= 0.5,
     f"{times['4KiB']['textcopy'] / times['4KiB']['pipeline']:.3f}"),
    ("peak memory at most the source plus 4 MiB, at every size",
     all(memory[(n, "textcopy")] <= sizes[n] / 1024 + 4096 for n in names),
     ", ".join(f"{n}: {memory[(n, 'textcopy')] - sizes[n] // 1024} KiB over" for n in names)),
    ("1 GiB within 4 to 5 times 256 MiB", 4 <= growth <= 5, f"{growth:.2f}"),
]

with open("/proc/meminfo") as f:
    total = int(f.readline().split()[1]) // (1024 * 1024)
table = [
    "<!-- table: written by bench/run -->",
    f"Measured on {cpu()}, {os.cpu_count()} cores, {total} GiB, Linux {platform.release()}; "
    f"sources and destination in {data}; standard output to /dev/null. "
    "Times are hyperfine's medians in milliseconds; peaks are maximum resident sizes in MiB.",
    "",
    "| source | textcopy | floor | floor + scan | pipeline | textcopy / floor | textcopy / (floor + scan) "
    "| textcopy / pipeline | textcopy peak | source + 4 MiB | floor peak | pipeline peak |",
    "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    *rows,
    "",
    "| target | met | measured |",
    "|---|---|---|",
    *[f"| {what} | {'yes' if ok else 'no'} | {value} |" for what, ok, value in checks],
    "<!-- end of table -->",
]

text = open(doc).read() if os.path.exists(doc) else "# Performance\n\n<!-- table: written by bench/run -->\n<!-- end of table -->\n"
start = text.index("<!-- table: written by bench/run -->")
end = text.index("<!-- end of table -->") + len("<!-- end of table -->")
with open(doc, "w") as f:
    f.write(text[:start] + "\n".join(table) + text[end:])

with open(plot, "w") as f:
    for name in names:
        m = times[name]
        f.write(f"{sizes[name]} {m['textcopy']} {m['floor']} {m['pipeline']} {m['floor+scan']}\n")
