"""Turns bench/run's measurements into the table of docs/performance.md and
the data of its plot.

The sizes and their order come from bench/run, through memory.tsv. Only the
part of the page between the table markers is rewritten; the reading of the
figures around it is kept as written.
"""
import json
import os
import platform
import statistics
import sys

out, doc, plot = sys.argv[1:4]
data = open(os.path.join(out, "data-folder")).read().strip()

# Every timed run: the size's name and bytes, the command, seconds, peak KiB.
sizes = {}  # name -> bytes, in the order measured
runs = {}  # (name, command) -> [seconds], [KiB]
with open(os.path.join(out, "times.tsv")) as f:
    for line in f:
        name, size, command, seconds, kib = line.split("\t")
        sizes[name] = int(size)
        seconds_and_kib = runs.setdefault((name, command), ([], []))
        seconds_and_kib[0].append(float(seconds))
        seconds_and_kib[1].append(int(kib))
names = list(sizes)

times = {}
memory = {}
for (name, command), (seconds, kib) in runs.items():
    times.setdefault(name, {})[command] = statistics.median(seconds)
    memory[(name, command)] = max(kib)
for name in names:
    # As hyperfine does, the pipeline is timed less its shell's own start.
    times[name]["pipeline"] -= times[name]["shell"]
startup = times[names[0]]["start-up"]

def ms(seconds):
    return f"{seconds * 1000:.2f}" if seconds < 1 else f"{seconds * 1000:.0f}"

def mib(kib):
    return f"{kib / 1024:.1f}"

rows = []
versus_startup = f"{times[names[0]]['textcopy'] / startup:.3f}"
for name in names:
    t = times[name]
    rows.append(
        f"| {name} | {ms(t['textcopy'])} | {ms(t['huge-page-floor'])} | {ms(t['floor'])} | {ms(t['pipeline'])} "
        f"| {t['textcopy'] / t['pipeline']:.3f} | {t['textcopy'] / t['huge-page-floor']:.3f} "
        f"| {versus_startup if name == names[0] else '-'} "
        f"| {mib(memory[(name, 'textcopy')])} | {mib(sizes[name] / 1024 + 4096)} | {mib(memory[(name, 'pipeline')])} |")

# Each target is measured for textcopy and, beside it, for the huge-page
# floor: where the floor misses a target too, the design cannot meet it.
def ratio(name, command, reference):
    return times[name][command] / times[name][reference]

def growth(command):
    return times[names[-1]][command] / times[names[-2]][command]

first = names[0]
expected_growth = sizes[names[-1]] / sizes[names[-2]]
checks = [
    ("at 256 MiB, at most 1.10 times the pipeline", ratio("256MiB", "textcopy", "pipeline") <= 1.10,
     f"{ratio('256MiB', 'textcopy', 'pipeline'):.3f}; huge-page floor {ratio('256MiB', 'huge-page-floor', 'pipeline'):.3f}"),
    ("at 1 MiB, at most 0.25 times the pipeline", ratio("1MiB", "textcopy", "pipeline") <= 0.25,
     f"{ratio('1MiB', 'textcopy', 'pipeline'):.3f}; huge-page floor {ratio('1MiB', 'huge-page-floor', 'pipeline'):.3f}"),
    (f"at {first}, at most 1.15 times the start-up floor", times[first]["textcopy"] / startup <= 1.15,
     f"{times[first]['textcopy'] / startup:.3f}; huge-page floor {times[first]['huge-page-floor'] / startup:.3f}"),
    ("peak memory at most the source plus 4 MiB, at every size",
     all(memory[(n, "textcopy")] <= sizes[n] / 1024 + 4096 for n in names),
     ", ".join(f"{n}: {memory[(n, 'textcopy')] - sizes[n] // 1024} KiB over" for n in names)),
    (f"time linear in size: {names[-1]} within 0.8 to 1.25 times {expected_growth:.0f} times {names[-2]}",
     0.8 * expected_growth <= growth("textcopy") <= 1.25 * expected_growth,
     f"{growth('textcopy'):.2f}; huge-page floor {growth('huge-page-floor'):.2f}"),
]

def cpu():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()

with open("/proc/meminfo") as f:
    total = int(f.readline().split()[1]) // (1024 * 1024)
with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
    huge_pages = f.read().split("[")[1].split("]")[0]
table = [
    "<!-- table: written by bench/run -->",
    f"Measured on {cpu()}, {os.cpu_count()} cores, {total} GiB, Linux {platform.release()}, transparent huge "
    f"pages in {huge_pages} mode; sources and destination in {data}; standard output to /dev/null. "
    f"The start-up floor, {ms(startup)} ms, is the same at every size.",
    "Every run times each command once, in an order shuffled afresh; the times are the medians of all runs in "
    "milliseconds, the peaks the largest resident sizes in MiB.",
    "",
    "| source | textcopy | huge-page floor | floor | pipeline | textcopy / pipeline "
    "| textcopy / huge-page floor | textcopy / start-up floor | textcopy peak | source + 4 MiB | pipeline peak |",
    "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    *rows,
    "",
    "| target | met | measured |",
    "|---|---|---|",
    *[f"| {what} | {'yes' if ok else 'no'} | {value} |" for what, ok, value in checks],
    "<!-- end of table -->",
]

text = open(doc).read()
start = text.index("<!-- table: written by bench/run -->")
end = text.index("<!-- end of table -->") + len("<!-- end of table -->")
with open(doc, "w") as f:
    f.write(text[:start] + "\n".join(table) + text[end:])

# The plot takes its series in the order of these columns, each titled by
# its header.
series = ["textcopy", "huge-page-floor", "floor", "pipeline"]
with open(plot, "w") as f:
    f.write(" ".join(["size", *series, "start-up-floor"]) + "\n")
    for name in names:
        f.write(" ".join([str(sizes[name]), *(str(times[name][s]) for s in series), str(startup)]) + "\n")
