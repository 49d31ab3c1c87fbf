#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times Tilemaven's command line and its window against the tools a user might pick instead.

Usage: bench/run.py BUILD_DIR

For each picture and grid size, every tool runs once to warm the caches and then a number of times
(RUNS, fewer for the later and larger pictures: the header says how many), the tools taking turns
so that a busy moment of the machine falls on all of them alike. The table gives each tool's median
wall time and its peak resident memory (from /usr/bin/time, in the first round), and Tilemaven's
ratio to each. The floor is what libjpeg-turbo needs to decode the picture once (djpeg) plus what
it needs to encode its pixels once at quality 75 (cjpeg on a PPM decoded beforehand), each timed
alone.

Outputs go to a RAM-backed folder when there is one (BENCH_OUT overrides), so that the disk's
mood does not decide the race: the floor writes to /dev/null. Tilemaven's staged writes sync each
file before moving it into place, which on a disk costs more than the slicing, so every case has a
second Tilemaven line, "on disk", with the folder on the build folder's disk: what a user sees.

The 12 MP PNG, WebP, HEIC and AVIF are the 12 MP JPEG's photo (4032x3024, as a phone takes it)
written by the formats' own encoders (ImageMagick for PNG, cwebp, heif-enc with x265 and aom), at
their default settings; their floor encodes the JPEG's pixels, since no djpeg reads them.

For a picture that asks to be turned (EXIF orientation), ImageMagick and libvips are told to turn
it too (-auto-orient, autorotate), so that all do the same work; the floor does not turn.

The "window" lines run bench/windowbench.cpp: the real main window on Qt's offscreen platform,
scripted dialogs, one click on the size button. Its time runs from the folder dialog's answer to
"Done"; the ratio is to the command line's whole run, process start included. Before timing, the
folders both write are compared byte for byte.

Targets are judged only when the load average at the start is at most 1; above that they are
printed with their ratios but "not judged".
"""

import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("BENCH_RUNS", "7"))
# The pictures added for single targets run at 9x9 only, and the 100 MP one fewer times, to keep
# the whole run within a few minutes on two busy cores.
FEW_RUNS = int(os.environ.get("BENCH_FEW_RUNS", str(RUNS)))
LARGE_RUNS = int(os.environ.get("BENCH_LARGE_RUNS", str(max(3, RUNS - 2))))
BOTH_GRIDS, NINE, THREE = (3, 9), (9,), (3,)


class Picture:
    def __init__(self, name, width, height, file, kind, grids, runs, options=(), turned=False,
                 encoder=None):
        self.name, self.width, self.height, self.file = name, width, height, file
        self.kind = kind  # "baseline", "progressive", "gif", "png", "webp", "heic" or "avif"
        self.grids, self.runs = grids, runs
        self.options = options  # for the generator
        self.turned = turned  # EXIF orientation 6: shown HEIGHT wide
        self.encoder = encoder  # the picture it is encoded from, by encode()
        self.path = None

    def shown_width(self):
        return self.height if self.turned else self.width


PICTURES = (
    Picture("12 MP JPEG", 4032, 3024, "photo-12mp.jpg", "baseline", BOTH_GRIDS, RUNS),
    Picture("24 MP JPEG", 6000, 4000, "photo-24mp.jpg", "baseline", BOTH_GRIDS, RUNS),
    # The same photo, rows and all, with the marker a phone writes when held upright.
    Picture("24 MP portrait", 6000, 4000, "portrait-24mp.jpg", "baseline", BOTH_GRIDS, RUNS,
            ("--orientation", "6"), turned=True),
    Picture("24 MP 4:4:4", 6000, 4000, "photo-24mp-444.jpg", "baseline", NINE, FEW_RUNS,
            ("--444",)),
    Picture("24 MP progr.", 6000, 4000, "photo-24mp-progressive.jpg", "progressive", NINE,
            FEW_RUNS, ("--progressive",)),
    Picture("24 MP CMYK", 6000, 4000, "photo-24mp-cmyk.jpg", "baseline", NINE, FEW_RUNS,
            ("--cmyk",)),
    # Turned at 3x3, where a row of cells is largest: chroma stored at full size, and CMYK,
    # which comes as RGB rows.
    Picture("24 MP 4:4:4 p.", 6000, 4000, "portrait-24mp-444.jpg", "baseline", THREE, FEW_RUNS,
            ("--444", "--orientation", "6"), turned=True),
    Picture("24 MP CMYK p.", 6000, 4000, "portrait-24mp-cmyk.jpg", "baseline", THREE, FEW_RUNS,
            ("--cmyk", "--orientation", "6"), turned=True),
    Picture("48 MP JPEG", 8000, 6000, "photo-48mp.jpg", "baseline", NINE, FEW_RUNS),
    # At 3x3 as well: a turned picture holds a whole row of its cells, so its largest cells are
    # the worst case for memory.
    Picture("100 MP portr.", 11648, 8736, "portrait-100mp.jpg", "baseline", BOTH_GRIDS,
            LARGE_RUNS, ("--orientation", "6"), turned=True),
    Picture("12 MP GIF", 4000, 3000, "photo-12mp.gif", "gif", BOTH_GRIDS, RUNS),
    Picture("12 MP PNG", 4032, 3024, "photo-12mp.png", "png", NINE, FEW_RUNS,
            encoder="12 MP JPEG"),
    Picture("12 MP WebP", 4032, 3024, "photo-12mp.webp", "webp", NINE, FEW_RUNS,
            encoder="12 MP JPEG"),
    Picture("12 MP HEIC", 4032, 3024, "photo-12mp.heic", "heic", NINE, FEW_RUNS,
            encoder="12 MP JPEG"),
    Picture("12 MP AVIF", 4032, 3024, "photo-12mp.avif", "avif", NINE, FEW_RUNS,
            encoder="12 MP JPEG"),
)
# Read through Debian's libraries, as libvips reads them: each against libvips at 9x9.
LIBRARY_KINDS = ("png", "webp", "heic", "avif")
LIBRARY_TIME, LIBRARY_FROM = 0.8, "12 MP JPEG"
WINDOW_CASES = {("24 MP JPEG", 3), ("24 MP JPEG", 9), ("24 MP portrait", 3), ("24 MP portrait", 9)}
JUDGED_LOAD = 1.0
MB = 1024 * 1024
# --fit against the same run without it: at most this share of its time.
FIT_PICTURE, FIT_GRID, FIT_BOX, FIT_LIMIT = "24 MP JPEG", 4, "1600x1200", 0.5


def find_tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    sys.exit("bench: none of %s is installed (make bench installs them)" % ", ".join(names))


def measure(command, before=None, peak=False):
    """Runs `command` once: (wall seconds, peak resident MB or None, its stdout).

    The time is that of the process as this script's own child, from its start to its reaping.
    Timed through GNU time instead, as a grandchild, Tilemaven at 9x9 took 10-20 ms more than at
    3x3, which it takes neither from Python nor from an interactive shell. The peak, when asked
    for, does come from GNU time: a child of this script starts as a copy of it, and the kernel
    keeps that copy's size as the child's peak, which would hide any peak below Python's own.
    """
    if before:
        before()
    with tempfile.TemporaryFile() as errors, tempfile.NamedTemporaryFile() as report:
        if peak:
            command = [TIME, "-f", "%M", "-o", report.name] + command
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors)
        output = process.stdout.read()
        _, status, _ = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.stdout.close()
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        text = errors.read().decode(errors="replace")
        peak_mb = int(report.read().split()[-1]) / 1024.0 if peak else None
    if process.returncode != 0:
        sys.exit("bench: failed (%d): %s\n%s" % (process.returncode, " ".join(command),
                                                  text[-2000:]))
    return wall, peak_mb, output.decode(errors="replace")


def clear(path):
    def run():
        for entry in (path, path + ".dzi", path + "_files"):
            if os.path.isdir(entry):
                shutil.rmtree(entry)
            elif os.path.exists(entry):
                os.remove(entry)
        os.makedirs(path)

    return run


def encode(kind, source, out):
    """The command that writes `source` as a picture of `kind` into `out`, at default settings."""
    heif_enc = find_tool("heif-enc")
    return {"png": [CONVERT, source, out],
            "webp": [find_tool("cwebp"), "-quiet", source, "-o", out],
            "heic": [heif_enc, source, "-o", out],
            "avif": [heif_enc, "-A", source, "-o", out]}[kind]


def make_pictures(build, folder):
    generator = os.path.join(build, "bench", "tilemaven_makepicture")
    if not os.access(generator, os.X_OK):
        sys.exit("bench: %s is missing; configure with -DTILEMAVEN_BENCH=ON" % generator)
    os.makedirs(folder, exist_ok=True)
    made = {}
    for picture in PICTURES:
        picture.path = os.path.join(folder, picture.file)
        picture.ppm = picture.path + ".ppm"
        if picture.encoder:
            source = made[picture.encoder]
            picture.ppm = source.ppm  # the same photo's pixels, for the encoding floor
        made[picture.name] = picture
        if not os.path.exists(picture.path):
            print("making %s (%dx%d)" % (picture.file, picture.width, picture.height), flush=True)
            part = os.path.join(folder, "part-" + picture.file)  # the generator goes by the end
            if picture.encoder:
                subprocess.run(encode(picture.kind, source.path, part), check=True,
                               stdout=subprocess.DEVNULL)
            else:
                subprocess.run([generator, *picture.options, str(picture.width),
                                str(picture.height), part], check=True)
            os.replace(part, picture.path)
        if not os.path.exists(picture.ppm):
            if picture.kind != "gif":
                subprocess.run([DJPEG, "-outfile", picture.ppm + ".part", picture.path], check=True)
            else:
                subprocess.run([CONVERT, picture.path + "[0]", "ppm:" + picture.ppm + ".part"],
                               check=True)
            os.replace(picture.ppm + ".part", picture.ppm)


def window_seconds(stdout):
    """The driver's two times: (from the folder's answer, from the click)."""
    times = dict(line.split() for line in stdout.splitlines() if line.strip())
    return float(times["folder-to-done"]), float(times["click-to-done"])


def same_folders(a, b):
    """Differences between two folders, file by file and byte for byte; empty when none."""
    names_a, names_b = sorted(os.listdir(a)), sorted(os.listdir(b))
    if names_a != names_b:
        return ["names differ: %s against %s" % (names_a, names_b)]
    _, mismatch, errors = filecmp.cmpfiles(a, b, names_a, shallow=False)
    return ["%s differs" % name for name in mismatch] + ["%s unreadable" % e for e in errors]


def bench_case(build, picture, n, out, disk):
    path = picture.path
    pw = picture.shown_width() // n
    folder = {name: os.path.join(out, name) for name in ("tilemaven", "window", "imagemagick",
                                                         "libvips")}
    folder["on disk"] = os.path.join(disk, "puzzle")
    tilemaven = os.path.join(build, "app", "tilemaven")
    turn_im = ["-auto-orient", "+repage"] if picture.turned else []
    vips_in = path + "[autorotate=true]" if picture.turned else path
    tools = {
        "tilemaven": ([tilemaven, "--grid", str(n), path, folder["tilemaven"]],
                      clear(folder["tilemaven"])),
        "on disk": ([tilemaven, "--grid", str(n), path, folder["on disk"]],
                    clear(folder["on disk"])),
        "imagemagick": ([CONVERT, path] + turn_im + ["-crop", "%dx%d@" % (n, n), "+repage",
                        "+adjoin", os.path.join(folder["imagemagick"], "Image%d.jpg")],
                        clear(folder["imagemagick"])),
        "libvips": ([VIPS, "dzsave", vips_in, folder["libvips"], "--tile-size", str(pw),
                     "--overlap", "0", "--depth", "one", "--suffix", ".jpg"],
                    clear(folder["libvips"])),
        "cjpeg": ([CJPEG, "-quality", "75", "-outfile", os.devnull, picture.ppm], None),
    }
    if (picture.name, n) in WINDOW_CASES:
        driver = os.path.join(build, "bench", "tilemaven_windowbench")
        tools["window"] = ([driver, "--grid", str(n), path, folder["window"]],
                           clear(folder["window"]))
    if picture.kind in ("baseline", "progressive"):
        tools["djpeg"] = ([DJPEG, "-outfile", os.devnull, path], None)
    # The first round warms the caches and gives the peaks; the others give the times.
    samples = {name: [] for name in tools}
    peaks = {}
    for run in range(picture.runs + 1):
        for name, (command, before) in tools.items():
            result = measure(command, before, peak=run == 0)
            if run == 0:
                peaks[name] = result[1]
            else:
                samples[name].append(result)
        if run == 0 and "window" in tools:
            differences = same_folders(folder["tilemaven"], folder["window"])
            if differences:
                sys.exit("bench: the window and the command line wrote different folders for %s "
                         "at %dx%d:\n  %s" % (picture.name, n, n, "\n  ".join(differences)))
    result = {}
    for name, runs in samples.items():
        result[name] = (statistics.median(r[0] for r in runs), peaks[name])
    if "window" in samples:
        runs = [window_seconds(r[2]) for r in samples["window"]]
        result["window"] = (statistics.median(r[0] for r in runs), result["window"][1])
        result["window click"] = statistics.median(r[1] for r in runs)
    if "djpeg" in result:
        result["floor"] = (result["djpeg"][0] + result["cjpeg"][0],
                           max(result["djpeg"][1], result["cjpeg"][1]))
    else:
        result["floor"] = result["cjpeg"] + ("encode only",)
    for entry in folder.values():
        clear(entry)()
        os.rmdir(entry)
    result["load"] = os.getloadavg()[0]
    result["runs"] = picture.runs
    return result


def bench_fit(build, picture, out):
    """Tilemaven on the same picture and grid with and without --fit, taking turns."""
    target = os.path.join(out, "puzzle")
    program = os.path.join(build, "app", "tilemaven")
    commands = {
        "plain": [program, "--grid", str(FIT_GRID), picture.path, target],
        "fit": [program, "--grid", str(FIT_GRID), "--fit", FIT_BOX, picture.path, target],
    }
    samples = {name: [] for name in commands}
    peaks = {}
    for run in range(RUNS + 1):
        for name, command in commands.items():
            result = measure(command, clear(target), peak=run == 0)
            if run == 0:
                peaks[name] = result[1]
            else:
                samples[name].append(result)
    clear(target)()
    return {name: (statistics.median(r[0] for r in runs), peaks[name])
            for name, runs in samples.items()}


def print_fit(result, judged):
    fit, plain = result["fit"], result["plain"]
    ratio = fit[0] / plain[0]
    verdict = ("holds" if ratio <= FIT_LIMIT else "MISSED") if judged else "not judged"
    print("  --fit %s, %s at %dx%d: %.3f s (%.1f MB) against %.3f s (%.1f MB) without it: "
          "%.2f <= %.2f  %s" % (FIT_BOX, FIT_PICTURE, FIT_GRID, FIT_GRID, fit[0], fit[1], plain[0],
                                plain[1], ratio, FIT_LIMIT, verdict))


def print_codec_cost(results):
    """What the HEIC's codec costs: the same photo as a JPEG, beside it (no target)."""
    heic = next(p for p in PICTURES if p.kind == "heic")
    ours, jpeg = results[(heic.name, 9)]["tilemaven"], results[(LIBRARY_FROM, 9)]["tilemaven"]
    print("  %s at 9x9: %.3f s (%.1f MB) against %.3f s (%.1f MB) for the same photo as a JPEG: "
          "%.2f x the time" % (heic.name, ours[0], ours[1], jpeg[0], jpeg[1], ours[0] / jpeg[0]))


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
    disk = tempfile.mkdtemp(prefix="bench-disk-", dir=build)
    try:
        started = time.time()
        load_start = os.getloadavg()[0]
        print("Runs after a warm-up, tools in turn: %d; %d for the 9x9-only pictures; %d for the "
              "100 MP one." % (RUNS, FEW_RUNS, LARGE_RUNS))
        print("Outputs in %s (\"on disk\": the build folder's disk); %d CPUs; load average at the "
              "start %.2f" % ("RAM" if base == "/dev/shm" else base, os.cpu_count(), load_start),
              flush=True)
        results = {}
        for picture in PICTURES:
            for n in picture.grids:
                results[(picture.name, n)] = bench_case(build, picture, n, out, disk)
                print("  %s at %dx%d done" % (picture.name, n, n), flush=True)
        fit = bench_fit(build, next(p for p in PICTURES if p.name == FIT_PICTURE), out)
        print_table(results)
        print_targets(results, load_start)
        print_fit(fit, load_start <= JUDGED_LOAD)
        print_codec_cost(results)
        load_end = os.getloadavg()[0]
        print("(%.0f s in all; load average at the start %.2f, at the end %.2f)" % (
            time.time() - started, load_start, load_end))
        # The bench keeps about one core busy itself; more than that was someone else's work.
        if load_start <= JUDGED_LOAD < load_end - 1:
            print("Warning: the load average rose to %.2f during the run; other work shared the "
                  "CPUs, so the later cases' times may be inflated. Repeat when the machine is "
                  "quiet." % load_end)
    finally:
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)


def print_table(results):
    print()
    print("%-14s %-3s %-12s %9s %9s   %s" % ("picture", "N", "tool", "time s", "peak MB",
                                           "Tilemaven / tool: time, memory"))
    for (picture, n), result in results.items():
        tm_time, tm_memory = result["tilemaven"][:2]
        first = True
        for name in ("tilemaven", "on disk", "window", "imagemagick", "libvips", "floor"):
            if name not in result:
                continue
            t, memory = result[name][:2]
            if name == "tilemaven":
                ratio = "(%d runs; load average %.2f after the case)" % (result["runs"],
                                                                         result["load"])
            elif name == "on disk":
                ratio = "%5.2f x the time in RAM" % (t / tm_time)
            elif name == "window":
                ratio = "window / command line %.2f; from the click %.3f s" % (
                    t / tm_time, result["window click"])
            else:
                ratio = "%5.2f  %5.2f" % (tm_time / t, tm_memory / memory)
                if len(result[name]) > 2:
                    ratio += " (" + result[name][2] + ")"
            print("%-14s %-3s %-12s %9.3f %9.1f   %s" % (
                picture if first else "", "%d" % n if first else "", name, t, memory, ratio))
            first = False


def print_targets(results, load_start):
    judged = load_start <= JUDGED_LOAD

    def verdict(value, limit):
        if not judged:
            return "not judged: load %.2f at the start" % load_start
        return "holds" if value <= limit else "MISSED"

    def line(text, value, limit, shown):
        print("  %-64s %9s  %s" % (text, shown, verdict(value, limit)))

    def tm(picture, n=9):
        return results[(picture, n)]["tilemaven"]

    print()
    print("Targets (Tilemaven's command line unless it says window; ratio or value, verdict):")
    plain = results[("24 MP JPEG", 9)]
    for name, limit in (("floor", 0.6), ("libvips", 0.3), ("imagemagick", 0.08)):
        ratio = plain["tilemaven"][0] / plain[name][0]
        line("24 MP JPEG (4:2:0) at 9x9: time <= %.2f x %s" % (limit, name), ratio, limit,
             "%.2f" % ratio)
    full = results[("24 MP 4:4:4", 9)]
    ratio = full["tilemaven"][0] / full["floor"][0]
    line("24 MP 4:4:4 at 9x9: time <= 0.70 x floor", ratio, 0.7, "%.2f" % ratio)
    ratio = tm("24 MP portrait")[0] / plain["tilemaven"][0]
    line("24 MP portrait at 9x9: time <= 1.10 x the same photo unturned", ratio, 1.1,
         "%.2f" % ratio)
    line("24 MP portrait at 9x9: peak memory <= 48 MB", tm("24 MP portrait")[1], 48,
         "%.1f MB" % tm("24 MP portrait")[1])
    progressive = results[("24 MP progr.", 9)]
    ratio = progressive["tilemaven"][0] / progressive["floor"][0]
    line("24 MP progressive at 9x9: time <= 0.90 x floor", ratio, 0.9, "%.2f" % ratio)
    djpeg_peak = progressive["djpeg"][1]
    line("24 MP progressive: peak memory <= djpeg's %.1f MB + 16 MB" % djpeg_peak,
         progressive["tilemaven"][1], djpeg_peak + 16, "%.1f MB" % progressive["tilemaven"][1])
    kinds = {p.name: p for p in PICTURES}
    baseline = [(r["tilemaven"][1], p, n) for (p, n), r in results.items()
                if kinds[p].kind == "baseline"]
    worst = max(baseline)
    line("every baseline JPEG: peak memory <= 48 MB (worst: %s, %dx%d)" % (worst[1:] + worst[2:]),
         worst[0], 48, "%.1f MB" % worst[0])
    for picture in (p for p in PICTURES if p.kind == "gif"):
        limit = 1.5 * picture.width * picture.height / MB + 32
        peak = max(results[(picture.name, n)]["tilemaven"][1] for n in picture.grids)
        line("%s: peak memory <= 1.5 bytes a pixel + 32 MB = %.1f MB" % (picture.name, limit),
             peak, limit, "%.1f MB" % peak)
    for picture in (p for p in PICTURES if p.kind in LIBRARY_KINDS):
        result = results[(picture.name, 9)]
        ratio = result["tilemaven"][0] / result["libvips"][0]
        line("%s at 9x9: time <= %.2f x libvips" % (picture.name, LIBRARY_TIME), ratio,
             LIBRARY_TIME, "%.2f" % ratio)
        peak, vips_peak = result["tilemaven"][1], result["libvips"][1]
        line("%s at 9x9: peak memory <= libvips's %.1f MB" % (picture.name, vips_peak), peak,
             vips_peak, "%.1f MB" % peak)
    for picture, n in sorted(WINDOW_CASES):
        result = results[(picture, n)]
        ratio = result["window"][0] / result["tilemaven"][0]
        line("window, %s at %dx%d: time <= 1.20 x command line" % (picture, n, n), ratio, 1.2,
             "%.2f" % ratio)


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
