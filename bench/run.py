#!/usr/bin/env python3
"""Times Tilemaven's command line against the tools a user might pick instead.

Usage: bench/run.py BUILD_DIR

For each picture and grid size, every tool runs once to warm the caches and then RUNS times, the
tools taking turns so that a busy moment of the machine falls on all of them alike. The table gives
each tool's median wall time and its peak resident memory (from /usr/bin/time -v), and Tilemaven's
ratio to each. The floor is what libjpeg-turbo needs to decode the picture once (djpeg) plus what
it needs to encode its pixels once at quality 75 (cjpeg on a PPM decoded beforehand), each timed
alone.

Outputs go to a RAM-backed folder when there is one (BENCH_OUT overrides), so that the disk's
mood does not decide the race: the floor writes to /dev/null, and Tilemaven's staged writes sync
each file to disk before moving it into place, which on a disk costs more than the slicing. The
note below the table gives that cost once, measured on the build folder's disk.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("BENCH_RUNS", "7"))
GRIDS = (3, 9)
PICTURES = (  # name, width, height, file
    ("12 MP JPEG", 4032, 3024, "photo-12mp.jpg"),
    ("24 MP JPEG", 6000, 4000, "photo-24mp.jpg"),
    ("48 MP JPEG", 8000, 6000, "photo-48mp.jpg"),
    ("12 MP GIF", 4000, 3000, "photo-12mp.gif"),
)
TARGET_PICTURE, TARGET_GRID = "24 MP JPEG", 9
TARGET_MEMORY_MB = 64
# --fit against the same run without it: at most this share of its time.
FIT_PICTURE, FIT_GRID, FIT_BOX, FIT_LIMIT = "24 MP JPEG", 4, "1600x1200", 0.5


def find_tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    sys.exit("bench: none of %s is installed (make bench installs them)" % ", ".join(names))


def measure(command, before=None):
    """Runs `command` once: (wall seconds, peak resident MB)."""
    if before:
        before()
    with tempfile.TemporaryFile() as report:
        start = time.perf_counter()
        done = subprocess.run([TIME, "-v"] + command, stdout=subprocess.DEVNULL, stderr=report)
        wall = time.perf_counter() - start
        report.seek(0)
        text = report.read().decode(errors="replace")
    if done.returncode != 0:
        sys.exit("bench: failed (%d): %s\n%s" % (done.returncode, " ".join(command), text[-2000:]))
    peak_kb = 0
    for line in text.splitlines():
        if "Maximum resident set size" in line:
            peak_kb = int(line.rsplit(":", 1)[1])
    return wall, peak_kb / 1024.0


def clear(path):
    def run():
        for entry in (path, path + ".dzi", path + "_files"):
            if os.path.isdir(entry):
                shutil.rmtree(entry)
            elif os.path.exists(entry):
                os.remove(entry)
        os.makedirs(path)

    return run


def make_pictures(build, folder):
    generator = os.path.join(build, "bench", "tilemaven_makepicture")
    if not os.access(generator, os.X_OK):
        sys.exit("bench: %s is missing; configure with -DTILEMAVEN_BENCH=ON" % generator)
    os.makedirs(folder, exist_ok=True)
    for _, width, height, name in PICTURES:
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            print("making %s (%dx%d)" % (name, width, height), flush=True)
            part = os.path.join(folder, "part-" + name)  # the generator goes by the extension
            subprocess.run([generator, str(width), str(height), part], check=True)
            os.replace(part, path)
        ppm = path + ".ppm"
        if not os.path.exists(ppm):
            if name.endswith(".jpg"):
                subprocess.run([DJPEG, "-outfile", ppm + ".part", path], check=True)
            else:
                subprocess.run([CONVERT, path + "[0]", "ppm:" + ppm + ".part"], check=True)
            os.replace(ppm + ".part", ppm)


def bench_case(build, picture, n, out):
    width, height, path = picture[1], picture[2], picture[4]
    pw = width // n
    target = os.path.join(out, "puzzle")
    tools = {
        "tilemaven": ([os.path.join(build, "app", "tilemaven"), "--grid", str(n), path, target],
                      clear(target)),
        "imagemagick": ([CONVERT, path, "-crop", "%dx%d@" % (n, n), "+repage", "+adjoin",
                         os.path.join(target, "Image%d.jpg")], clear(target)),
        "libvips": ([VIPS, "dzsave", path, target, "--tile-size", str(pw), "--overlap", "0",
                     "--depth", "one", "--suffix", ".jpg"], clear(target)),
        "cjpeg": ([CJPEG, "-quality", "75", "-outfile", os.devnull, path + ".ppm"], None),
    }
    if path.endswith(".jpg"):
        tools["djpeg"] = ([DJPEG, "-outfile", os.devnull, path], None)
    samples = {name: [] for name in tools}
    for run in range(RUNS + 1):
        for name, (command, before) in tools.items():
            result = measure(command, before)
            if run > 0:
                samples[name].append(result)
    result = {}
    for name, runs in samples.items():
        result[name] = (statistics.median(r[0] for r in runs), max(r[1] for r in runs))
    if "djpeg" in result:
        result["floor"] = (result["djpeg"][0] + result["cjpeg"][0],
                           max(result["djpeg"][1], result["cjpeg"][1]))
    else:
        result["floor"] = result["cjpeg"] + ("encode only",)
    clear(target)()
    result["load"] = os.getloadavg()[0]
    return result


def bench_fit(build, picture, out):
    """Tilemaven on the same picture and grid with and without --fit, taking turns."""
    target = os.path.join(out, "puzzle")
    program = os.path.join(build, "app", "tilemaven")
    commands = {
        "plain": [program, "--grid", str(FIT_GRID), picture[4], target],
        "fit": [program, "--grid", str(FIT_GRID), "--fit", FIT_BOX, picture[4], target],
    }
    samples = {name: [] for name in commands}
    for run in range(RUNS + 1):
        for name, command in commands.items():
            result = measure(command, clear(target))
            if run > 0:
                samples[name].append(result)
    clear(target)()
    return {name: (statistics.median(r[0] for r in runs), max(r[1] for r in runs))
            for name, runs in samples.items()}


def print_fit(result):
    fit, plain = result["fit"], result["plain"]
    ratio = fit[0] / plain[0]
    print("  --fit %s, %s at %dx%d: %.3f s (%.1f MB) against %.3f s (%.1f MB) without it: "
          "%.2f <= %.2f  %s" % (FIT_BOX, FIT_PICTURE, FIT_GRID, FIT_GRID, fit[0], fit[1], plain[0],
                                plain[1], ratio, FIT_LIMIT,
                                "holds" if ratio <= FIT_LIMIT else "MISSED"))


def disk_note(build, picture, n, folder):
    """Tilemaven once more on the disk of the build folder, where every file is synced."""
    target = os.path.join(folder, "disk-puzzle")
    command = [os.path.join(build, "app", "tilemaven"), "--grid", str(n), picture[4], target]
    runs = sorted(measure(command, clear(target))[0] for _ in range(3))
    clear(target)()
    os.rmdir(target)
    return runs[1]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    folder = os.path.join(build, "bench-pictures")
    make_pictures(build, folder)

    base = os.environ.get("BENCH_OUT")
    if not base:
        base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else build
    out = tempfile.mkdtemp(prefix="tilemaven-bench-", dir=base)
    try:
        started = time.time()
        print("%d runs after a warm-up, tools in turn; outputs in %s; %d CPUs; load %.2f" %
              (RUNS, "RAM" if base == "/dev/shm" else base, os.cpu_count(), os.getloadavg()[0]),
              flush=True)
        results = {}
        for picture in PICTURES:
            picture = picture + (os.path.join(folder, picture[3]),)
            for n in GRIDS:
                results[(picture[0], n)] = bench_case(build, picture, n, out)
                print("  %s at %dx%d done" % (picture[0], n, n), flush=True)
        target_picture = next(p for p in PICTURES if p[0] == TARGET_PICTURE)
        target_path = target_picture + (os.path.join(folder, target_picture[3]),)
        fit_picture = next(p for p in PICTURES if p[0] == FIT_PICTURE)
        fit = bench_fit(build, fit_picture + (os.path.join(folder, fit_picture[3]),), out)
        disk = disk_note(build, target_path, TARGET_GRID, build)
        print_table(results)
        print_targets(results, disk)
        print_fit(fit)
        print("(%.0f s in all; load average at the end %.2f)" % (time.time() - started,
                                                                os.getloadavg()[0]))
    finally:
        shutil.rmtree(out, ignore_errors=True)


def print_table(results):
    print()
    print("%-11s %-3s %-12s %9s %9s   %s" % ("picture", "N", "tool", "time s", "peak MB",
                                           "Tilemaven / tool: time, memory"))
    for (picture, n), result in results.items():
        tm_time, tm_memory = result["tilemaven"][:2]
        first = True
        for name in ("tilemaven", "imagemagick", "libvips", "floor"):
            t, memory = result[name][:2]
            note = ""
            if name == "floor" and len(result[name]) > 2:
                note = " (" + result[name][2] + ")"
            if name == "tilemaven":
                ratio = "(load average %.2f after the case)" % result["load"]
            else:
                ratio = "%5.2f  %5.2f" % (tm_time / t, tm_memory / memory)
            print("%-11s %-3s %-12s %9.3f %9.1f   %s%s" % (
                picture if first else "", "%d" % n if first else "", name, t, memory, ratio, note))
            first = False


def print_targets(results, disk):
    result = results[(TARGET_PICTURE, TARGET_GRID)]
    tm = result["tilemaven"][0]
    print()
    print("Targets, %s at %dx%d:" % (TARGET_PICTURE, TARGET_GRID, TARGET_GRID))
    for name, limit in (("libvips", 0.5), ("imagemagick", 0.15), ("floor", 1.0)):
        ratio = tm / result[name][0]
        print("  time <= %.2f x %-11s %5.2f  %s" % (limit, name, ratio,
                                                  "holds" if ratio <= limit else "MISSED"))
    peaks = [(p, n, r["tilemaven"][1]) for (p, n), r in results.items() if p.endswith("JPEG")]
    worst = max(peaks, key=lambda x: x[2])
    print("  peak memory <= %d MB for every JPEG: worst %.1f MB (%s at %dx%d)  %s" % (
        TARGET_MEMORY_MB, worst[2], worst[0], worst[1], worst[1],
        "holds" if worst[2] <= TARGET_MEMORY_MB else "MISSED"))
    print("Note: on the build folder's disk, where each staged file is synced before it moves into"
          " place, Tilemaven takes %.3f s for the same case." % disk)


TIME = "/usr/bin/time"
if not os.access(TIME, os.X_OK):
    sys.exit("bench: GNU time is missing (make bench installs it)")
# ImageMagick's own binary, not any wrapper that may stand in front of it on the PATH.
CONVERT = find_tool("convert-im6.q16", "convert-im6", "convert")
VIPS = find_tool("vips")
DJPEG = find_tool("djpeg")
CJPEG = find_tool("cjpeg")

if __name__ == "__main__":
    main()
