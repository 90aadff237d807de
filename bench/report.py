"""Turns bench/run's measurements into the table of docs/performance.md and
the data of its plot.

The sizes and their order come from bench/run, through memory.tsv. Only the
part of the page between the table markers is rewritten; the reading of the
figures around it is kept as written.
"""
import glob
import json
import os
import platform
import statistics
import sys

out, doc, plot = sys.argv[1:4]
data = open(os.path.join(out, "data-folder")).read().strip()

sizes = {}  # name -> bytes, in the order measured
memory = {}
with open(os.path.join(out, "memory.tsv")) as f:
    for line in f:
        name, size, command, kib = line.split()
        sizes[name] = int(size)
        memory[(name, command)] = int(kib)
names = list(sizes)

# The median of every run of each command, over all the rounds.
times = {}
for name in names:
    runs = {}
    for path in glob.glob(os.path.join(out, f"*-{name}-*.json")):
        with open(path) as f:
            for result in json.load(f)["results"]:
                runs.setdefault(result["command"], []).extend(result["times"])
    times[name] = {command: statistics.median(all_runs) for command, all_runs in runs.items()}
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

def versus_pipeline(name):
    return times[name]["textcopy"] / times[name]["pipeline"]

first, largest = names[0], names[-1]
growth = times[largest]["textcopy"] / times[names[-2]]["textcopy"]
expected_growth = sizes[largest] / sizes[names[-2]]
checks = [
    ("at 256 MiB, at most 1.10 times the pipeline", versus_pipeline("256MiB") <= 1.10,
     f"{versus_pipeline('256MiB'):.3f}"),
    ("at 1 MiB, at most 0.25 times the pipeline", versus_pipeline("1MiB") <= 0.25, f"{versus_pipeline('1MiB'):.3f}"),
    (f"at {first}, at most 1.15 times the start-up floor", times[first]["textcopy"] / startup <= 1.15,
     f"{times[first]['textcopy'] / startup:.3f}"),
    ("peak memory at most the source plus 4 MiB, at every size",
     all(memory[(n, "textcopy")] <= sizes[n] / 1024 + 4096 for n in names),
     ", ".join(f"{n}: {memory[(n, 'textcopy')] - sizes[n] // 1024} KiB over" for n in names)),
    (f"time linear in size: {largest} within 0.8 to 1.25 times {expected_growth:.0f} times {names[-2]}",
     0.8 * expected_growth <= growth <= 1.25 * expected_growth, f"{growth:.2f}"),
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
    "Times are hyperfine's medians in milliseconds; peaks are maximum resident sizes in MiB. "
    f"The start-up floor, {ms(startup)} ms, is the same at every size.",
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
