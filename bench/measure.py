#!/usr/bin/env python3
"""The benchmark's measuring half: converts the signature table for ClamAV and YARA, checks that
every scanner detects exactly the corpus's specimens, times K runs of each scanner on the warm
corpus (and, with --cold, with the page cache dropped before each run), sweeps the thread count
of vexpurge-scan and of the baseline, checks that vexpurge-scan's output is the same at every
thread count, measures how files/s and peak memory go with the corpus's size, times the scan of
the corpus copied into an NTFS image against the folder, writes the results table and plots it.
bench/run.sh prepares everything it takes.

    measure.py --out BUILD/bench --corpus DIR --manifest FILE --rows DIR --table CSV
               --odd-layouts DIR --one-folder DIR --vexpurge BIN --baseline BIN --runs K
               [--cold] [--threads 1,2,4,...] [--scale N:DIR:MANIFEST ...] [--wide DIR]
               [--image FILE | --image-skipped REASON]
"""
import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# No __pycache__ beside the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_signatures  # noqa: E402

# clamscan: only our database, and every scanner ClamAV would otherwise run on a file turned off
# except the PE parser, which the EP-relative signatures need. The cache of clean-file hashes is
# of no use in one pass over distinct files, and its temporary folders (one per file) go to
# memory, not disk.
CLAMSCAN_FLAGS = [
    "--no-summary", "--infected", "--recursive", "--disable-cache",
    "--follow-dir-symlinks=0", "--follow-file-symlinks=0",
    "--bytecode=no", "--heuristic-alerts=no", "--normalize=no",
    "--phishing-sigs=no", "--phishing-scan-urls=no", "--nocerts",
    "--scan-archive=no", "--scan-mail=no", "--scan-ole2=no", "--scan-pdf=no", "--scan-swf=no",
    "--scan-html=no", "--scan-xmldocs=no", "--scan-hwp3=no", "--scan-onenote=no",
    "--scan-elf=no", "--scan-image=no", "--scan-image-fuzzy-hash=no",
]


def drop_caches():
    """Empties the page cache (root only): the next run reads everything from the disk."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as handle:
        handle.write("3\n")


def warm_up(*folders):
    """Reads every file once, so that the next runs find them in the page cache."""
    for folder in folders:
        subprocess.run(["find", folder, "-type", "f", "-exec", "cat", "{}", "+"],
                       stdout=subprocess.DEVNULL, check=True)


def timed(argv, runs, cold, codes=(0, 1)):
    """Median wall and cpu seconds and the largest peak (MB) of runs runs; cold drops the page
    cache before each."""
    samples = []
    for _ in range(runs):
        if cold:
            drop_caches()
        wall, cpu, rss, code, _, errors = run(argv)
        if code not in codes:
            raise SystemExit("%s failed with status %d:\n%s" % (" ".join(argv), code,
                                                                errors[-2000:]))
        samples.append((wall, cpu, rss))
    return (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples),
            max(s[2] for s in samples) / 1024.0)


def largest_folder(manifest):
    counts = {}
    for path in manifest:
        folder = os.path.dirname(path)
        counts[folder] = counts.get(folder, 0) + 1
    return max(counts.values()) if counts else 0


def read_manifest(path):
    files = {}
    with open(path) as handle:
        next(handle)
        for line in handle:
            relative, kind, row, detail, size = line.rstrip("\n").split("\t")
            files[relative] = (kind, int(row), detail, int(size))
    return files


def run(argv, stdout=subprocess.DEVNULL, env=None):
    """Runs one scanner; returns (wall seconds, cpu seconds, max RSS in KiB, exit code, output,
    error output). Output is read only when stdout is subprocess.PIPE; otherwise it is thrown
    away, as a user would redirect it.

    The peak memory comes from GNU time: a child started straight from this interpreter would
    report the interpreter's own resident size as its peak (the maximum includes the memory the
    child had before it executed the scanner), while time is a small program."""
    with tempfile.TemporaryFile() as errors, tempfile.NamedTemporaryFile("r") as peak:
        if stdout is subprocess.PIPE:
            read_end, out = os.pipe()
        else:
            read_end, out = None, os.open(os.devnull, os.O_WRONLY)
        start = time.perf_counter()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + argv,
                                   stdout=out, stderr=errors, close_fds=True,
                                   env=None if env is None else dict(os.environ, **env))
        os.close(out)
        output = b""
        if read_end is not None:
            with os.fdopen(read_end, "rb") as pipe:
                output = pipe.read()
        # The resource use of time includes that of the scanner it waited for.
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        error_text = errors.read().decode("utf-8", "replace")
        # time writes "Command exited with non-zero status N" before the figure.
        figures = [line for line in peak.read().split() if line.isdigit()]
        max_rss = int(figures[-1]) if figures else 0
    return (wall, usage.ru_utime + usage.ru_stime, max_rss, process.returncode,
            output.decode("utf-8", "replace"), error_text)


# --- Reading each scanner's detections -----------------------------------------------------------

def relative_to(path, corpus):
    prefix = corpus.rstrip("/") + "/"
    return path[len(prefix):] if path.startswith(prefix) else path


def vexpurge_detections(output, corpus):
    # A finding is one line: the path, spaces, the detection name and the action. The path is
    # the Windows one ("C:\\...", the folder scanned taken as C:) or the host one as given.
    found = set()
    for line in output.splitlines():
        match = re.match(r"^C:\\(\S+)\s", line)
        if match:
            found.add(match.group(1).replace("\\", "/"))
            continue
        match = re.match(r"^(\S+)\s+\S+", line)
        if match and match.group(1).startswith(corpus.rstrip("/") + "/"):
            found.add(relative_to(match.group(1), corpus))
    return found


def image_detections(output, image):
    # The path inside the image follows the image's name, a colon and a backslash (a bare file
    # system); the detection name follows five blanks.
    prefix = image + ":\\"
    found = set()
    for line in output.splitlines():
        path, blanks, _ = line.partition("     ")
        if blanks and path.startswith(prefix):
            found.add(path[len(prefix):].replace("\\", "/"))
    return found


def clamscan_detections(output, corpus):
    found = set()
    for line in output.splitlines():
        match = re.match(r"^(.*): (\S+) FOUND$", line)
        if match:
            found.add(relative_to(match.group(1), corpus))
    return found


def yara_detections(output, corpus):
    found = set()
    for line in output.splitlines():
        parts = line.split(" ", 1)
        if len(parts) == 2 and not line.startswith("error"):
            found.add(relative_to(parts[1], corpus))
    return found


def compare(found, manifest):
    specimens = {path for path, entry in manifest.items() if entry[0] == "specimen"}
    missed = sorted(specimens - found)
    extra = sorted(found - specimens)
    return specimens, missed, extra


def describe_difference(missed, extra, manifest):
    parts = []
    if missed:
        parts.append("missed %d specimens" % len(missed))
    if extra:
        kinds = {}
        for path in extra:
            entry = manifest.get(path, ("?", 0, "", 0))
            key = entry[0] + (" " + entry[2] if entry[2] else "")
            kinds[key] = kinds.get(key, 0) + 1
        parts.append("%d extra (%s)" % (len(extra), ", ".join(
            "%d %s" % (n, k) for k, n in sorted(kinds.items()))))
    return "; ".join(parts) if parts else "exact"


# --- Signatures ------------------------------------------------------------------------------

def convert(table, sigdir, anywhere_rows):
    argv = [table, sigdir]
    if anywhere_rows:
        argv += ["--clamav-anywhere", ",".join(str(r) for r in sorted(anywhere_rows))]
    if convert_signatures.main(["convert_signatures.py"] + argv) != 0:
        raise SystemExit("signature conversion failed")


def rows_clamav_misses(rows_dir, database):
    """Rows whose maker-made specimen the EP-relative database does not detect."""
    _, _, _, code, output, errors = run(["clamscan"] + CLAMSCAN_FLAGS +
                                        ["--database=" + database, rows_dir],
                                        stdout=subprocess.PIPE)
    if code not in (0, 1):
        raise SystemExit("clamscan failed on the row specimens (%d): %s" % (code, errors))
    found = set()
    for line in output.splitlines():
        match = re.match(r"^.*/row(\d+)\.exe: \S+_row(\d+)\.UNOFFICIAL FOUND$", line)
        if match and match.group(1) == match.group(2):
            found.add(int(match.group(1)))
    present = {int(name[3:6]) for name in os.listdir(rows_dir) if name.startswith("row")}
    return sorted(present - found), len(present)


def main():
    parser = argparse.ArgumentParser()
    for name in ("out", "corpus", "manifest", "rows", "odd-layouts", "one-folder", "table",
                 "vexpurge", "baseline"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--cold", action="store_true",
                        help="also time runs with the page cache dropped before each (root)")
    parser.add_argument("--threads", default="1,2,4,8,16,32",
                        help="thread counts swept for vexpurge-scan and the baseline")
    parser.add_argument("--scale", action="append", default=[],
                        help="N:DIR:MANIFEST, another corpus of N files for the scaling check")
    parser.add_argument("--wide", help="one folder of many files for the scaling check")
    parser.add_argument("--cold-skipped", default="",
                        help="why there is no cold mode, for the notes")
    parser.add_argument("--image", help="the corpus in a bare NTFS file system (raw image)")
    parser.add_argument("--image-skipped", default="",
                        help="why there is no image, for the notes")
    args = parser.parse_args()
    thread_counts = sorted({int(t) for t in args.threads.split(",")} | {1})
    corpus = os.path.abspath(args.corpus)
    manifest = read_manifest(args.manifest)
    file_count = len(manifest)
    corpus_bytes = sum(entry[3] for entry in manifest.values())
    sigdir = os.path.join(args.out, "signatures")
    notes = []

    # Signatures: first everything EP-relative; the rows whose specimens ClamAV then misses get
    # the fallback form.
    convert(args.table, sigdir, [])
    ep_database = os.path.join(sigdir, "vexpurge-ep.ldb")
    missed_rows, row_total = rows_clamav_misses(args.rows, ep_database)
    convert(args.table, sigdir, missed_rows)
    database = os.path.join(sigdir, "vexpurge.ldb")
    rules = os.path.join(sigdir, "vexpurge.yar")
    compiled = os.path.join(sigdir, "vexpurge.yarc")
    subprocess.run(["yarac", rules, compiled], check=True)
    still_missed, _ = rows_clamav_misses(args.rows, database)
    notes.append("ClamAV database: %d of %d rows EP-relative (EP+n/EP-n, NumberOfSections 0-20); "
                 "%d rows in the fallback form, because ClamAV gives their specimens no entry-point "
                 "offset; row specimens still missed afterwards: %s" % (
                     row_total - len(missed_rows), row_total, len(missed_rows),
                     ",".join(map(str, still_missed)) or "none"))

    clam_tmp = "/dev/shm" if os.path.isdir("/dev/shm") else args.out
    clam_tmp = os.path.join(clam_tmp, "vexpurge-bench-clamtmp")
    os.makedirs(clam_tmp, exist_ok=True)

    # Does the scanner take --quiet yet? It prints detections only when it does.
    probe = subprocess.run([args.vexpurge, "--quiet", "--list-signatures"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    quiet = probe.returncode == 0
    vexpurge_argv = [args.vexpurge] + (["--quiet"] if quiet else []) + [corpus]
    if not quiet:
        notes.append("vexpurge-scan has no --quiet yet: run without it (it prints the detections, "
                     "six statistics lines and the final status)")

    scanners = [
        # label, argv, detections parser (None: detects nothing), accepted exit codes
        ("baseline (C, I/O only)", [args.baseline, corpus], None, (0,)),
        ("vexpurge-scan" + (" --quiet" if quiet else ""), vexpurge_argv, vexpurge_detections,
         (0, 1)),
        ("vexpurge-scan --threads 1", vexpurge_argv[:-1] + ["--threads", "1", corpus],
         vexpurge_detections, (0, 1)),
        ("clamscan", ["clamscan"] + CLAMSCAN_FLAGS + ["--tempdir=" + clam_tmp,
                                                      "--database=" + database, corpus],
         clamscan_detections, (0, 1)),
        ("yara -p 1", ["yara", "-C", "-r", "-N", "-p", "1", compiled, corpus], yara_detections,
         (0,)),
        ("yara (default threads)", ["yara", "-C", "-r", "-N", compiled, corpus], yara_detections,
         (0,)),
    ]

    load_before = os.getloadavg()
    # Warm-up: one run each, which also reads the detections.
    verdicts = {}
    for label, argv, parse, codes in scanners:
        _, _, _, code, output, errors = run(argv, stdout=subprocess.PIPE)
        if code not in codes:
            raise SystemExit("%s failed with status %d:\n%s" % (label, code, errors[-2000:]))
        if parse is None:
            verdicts[label] = ("n/a", None)
            continue
        _, missed, extra = compare(parse(output, corpus), manifest)
        verdicts[label] = ("yes" if not missed and not extra else "NO",
                           describe_difference(missed, extra, manifest))
        for path in (missed + extra)[:20]:
            notes.append("%s: %s %s" % (label, "missed" if path in missed else "extra", path))

    # The same detections check for the conversions that are not timed, to show why the timed
    # ones take the form they do.
    for label, argv, parse in [
            ("clamscan, EP-relative form only", ["clamscan"] + CLAMSCAN_FLAGS + [
                "--tempdir=" + clam_tmp, "--database=" + ep_database, corpus], clamscan_detections),
            ("yara through the pe module (pe.entry_point + n)",
             ["yara", "-r", "-N", os.path.join(sigdir, "vexpurge-pe.yar"), corpus],
             yara_detections)]:
        wall, _, _, code, output, _ = run(argv, stdout=subprocess.PIPE)
        if code not in (0, 1):
            notes.append("%s: failed with status %d" % (label, code))
            continue
        _, missed, extra = compare(parse(output, corpus), manifest)
        notes.append("%s: %s (one run, %.2f s)" % (label, describe_difference(missed, extra,
                                                                               manifest), wall))

    # The converted signatures on files of random layouts whose probes the specimen library
    # placed by the matcher's rules: how far each conversion follows the matcher beyond the one
    # layout the specimen maker uses.
    odd = os.path.abspath(args.odd_layouts)
    odd_names = sorted(os.listdir(odd))
    odd_hits = {name for name in odd_names if name.startswith("hit")}
    odd_manifest = {name: ("specimen" if name in odd_hits else "near-miss", 0, "one pattern", 0)
                    for name in odd_names}
    for label, argv, parse in [
            ("vexpurge-scan", [args.vexpurge] + (["--quiet"] if quiet else []) + [odd],
             vexpurge_detections),
            ("clamscan", ["clamscan"] + CLAMSCAN_FLAGS + ["--tempdir=" + clam_tmp,
                                                          "--database=" + database, odd],
             clamscan_detections),
            ("yara", ["yara", "-C", "-r", "-N", compiled, odd], yara_detections)]:
        _, _, _, code, output, errors = run(argv, stdout=subprocess.PIPE)
        if code not in (0, 1):
            notes.append("odd layouts, %s: failed with status %d" % (label, code))
            continue
        found = parse(output, odd)
        _, missed, extra = compare(found, odd_manifest)
        notes.append("odd layouts (%d files, %d with both patterns where the matcher reads them), "
                     "%s: found %d; %s" % (len(odd_names), len(odd_hits), label, len(found),
                                           describe_difference(missed, extra, odd_manifest)))

    # One wide folder: the nested corpus has at most a few hundred files a folder, which hides
    # any cost that grows with the size of one folder.
    wide = os.path.abspath(args.one_folder)
    wide_count = len(os.listdir(wide))
    wide_peak = {}
    for label, argv in [("baseline", [args.baseline, wide]),
                        ("vexpurge-scan", [args.vexpurge] + (["--quiet"] if quiet else []) + [wide])]:
        best = None
        for _ in range(3):
            wall, _, rss, code, _, _ = run(argv)
            best = (wall, rss) if best is None or wall < best[0] else best
        wide_peak[label] = best[1] / 1024.0
        notes.append("one folder of %d small files, %s: %.3f s (best of 3), peak %.1f MB" % (
            wide_count, label, best[0], best[1] / 1024.0))

    # K timed runs, round-robin so that a burst of other load on the machine spreads over all
    # scanners instead of landing on one.
    samples = {label: [] for label, _, _, _ in scanners}
    for k in range(args.runs):
        order = scanners[k % len(scanners):] + scanners[:k % len(scanners)]
        for label, argv, _, codes in order:
            wall, cpu, rss, code, _, errors = run(argv)
            if code not in codes:
                raise SystemExit("%s failed with status %d:\n%s" % (label, code, errors[-2000:]))
            samples[label].append((wall, cpu, rss))

    # The same with the page cache dropped before each run: what the disk allows.
    cold_runs = min(args.runs, 3)
    cold = {}
    if args.cold:
        for label, argv, _, codes in scanners:
            cold[label] = timed(argv, cold_runs, True, codes)
    else:
        notes.append("cold mode skipped: %s" % (args.cold_skipped or "not asked for"))

    # Thread counts, warm and cold, for vexpurge-scan and the baseline (3 runs each, median).
    sweep = {}
    modes = ["warm"] + (["cold"] if args.cold else [])
    for mode in modes:
        if mode == "warm":
            warm_up(corpus)
        for threads in thread_counts:
            for label, argv in [
                    ("vexpurge-scan", [args.vexpurge, "--quiet", "--threads", str(threads), corpus]),
                    ("baseline", [args.baseline, "--threads", str(threads), corpus])]:
                wall, cpu, peak = timed(argv, 3, mode == "cold")
                sweep.setdefault((label, mode), []).append((threads, file_count / wall, wall, cpu,
                                                            peak))

    # Reading ahead must change nothing the user sees: the whole output and the exit status at
    # every thread count, on the corpus, the odd layouts and the wide folder. From the page cache
    # the readers would rest (they start when the scan waits for the disk): they are made to read
    # ahead from the start here.
    warm_up(corpus)
    differing = []
    for folder in (corpus, os.path.abspath(args.odd_layouts), os.path.abspath(args.one_folder)):
        reference = None
        for threads in thread_counts:
            _, _, _, code, output, errors = run([args.vexpurge, "--threads", str(threads), folder],
                                                stdout=subprocess.PIPE,
                                                env={"VEXPURGE_READ_AHEAD": "always"})
            if reference is None:
                reference = (code, output, errors)
            elif (code, output, errors) != reference:
                differing.append("%s with %d threads" % (os.path.basename(folder), threads))

    # Corpus size: files/s should stay flat or grow, peak memory follow the widest folder only.
    scale = []
    sizes = [(file_count, corpus, largest_folder(manifest))]
    for spec in args.scale:
        count, folder, scale_manifest = spec.split(":", 2)
        sizes.append((int(count), folder, largest_folder(read_manifest(scale_manifest))))
    if args.wide:
        sizes.append((len(os.listdir(args.wide)), args.wide, len(os.listdir(args.wide))))
    sizes.sort(key=lambda entry: (entry[1] == args.wide, entry[0]))
    for count, folder, widest in sizes:
        for mode in modes:
            if mode == "warm":
                warm_up(folder)
            for label, argv in [
                    ("vexpurge-scan", [args.vexpurge, "--quiet", folder]),
                    ("baseline", [args.baseline, folder])]:
                wall, cpu, peak = timed(argv, 3, mode == "cold")
                scale.append((count, folder == args.wide, widest, label, mode, count / wall, wall,
                              peak))

    # The corpus read out of an NTFS image against the same files as a folder, with the default
    # threads: the detections must be the manifest's, then K runs each warm (round-robin) and, as
    # root, 3 cold.
    image_rows = []
    image_verdict = None
    if args.image:
        image = os.path.abspath(args.image)
        image_argv = [args.vexpurge, "--quiet", "--image", image]
        folder_argv = [args.vexpurge, "--quiet", corpus]
        _, _, _, code, output, errors = run(image_argv, stdout=subprocess.PIPE)
        if code not in (0, 1):
            # Said in the notes; the rest of the results stand.
            notes.append("image part: vexpurge-scan --image failed with status %d: %s" % (
                code, " / ".join(errors.strip().splitlines()[:3])))
            args.image = None
    if args.image:
        _, missed, extra = compare(image_detections(output, image), manifest)
        image_verdict = describe_difference(missed, extra, manifest)
        for path in (missed + extra)[:20]:
            notes.append("vexpurge-scan --image: %s %s" % (
                "missed" if path in missed else "extra", path))
        warm_up(corpus, image)
        pairs = [("folder", folder_argv), ("NTFS image", image_argv)]
        image_samples = {label: [] for label, _ in pairs}
        for k in range(args.runs):
            for label, argv in pairs[k % 2:] + pairs[:k % 2]:
                image_samples[label].append(timed(argv, 1, False))
        for label, _ in pairs:
            walls = [sample[0] for sample in image_samples[label]]
            image_rows.append((label, "warm", statistics.median(walls),
                               statistics.median(sample[1] for sample in image_samples[label]),
                               max(sample[2] for sample in image_samples[label])))
        if args.cold:
            for label, argv in pairs:
                image_rows.append((label, "cold") + timed(argv, cold_runs, True))
    elif args.image_skipped:
        notes.append("image part skipped: %s" % args.image_skipped)
    load_after = os.getloadavg()

    baseline_label = scanners[0][0]
    baseline_wall = statistics.median(s[0] for s in samples[baseline_label])
    rows = []
    for label, _, _, _ in scanners:
        walls = [s[0] for s in samples[label]]
        wall = statistics.median(walls)
        cpu = statistics.median(s[1] for s in samples[label])
        peak = max(s[2] for s in samples[label]) / 1024.0
        rows.append((label, file_count / wall, wall, min(walls), max(walls), cpu, peak,
                     baseline_wall / wall, verdicts[label][0], verdicts[label][1]))

    lines = []
    lines.append("Vexpurge benchmark: %d files (%d specimens), %.1f MiB, %d runs each (median), "
                 "warm cache" % (file_count, sum(1 for e in manifest.values() if e[0] == "specimen"),
                                 corpus_bytes / 1048576.0, args.runs))
    lines.append("machine: %d cores, %s; load average %.2f before, %.2f after" % (
        os.cpu_count(), platform.platform(), load_before[0], load_after[0]))
    versions = []
    for argv in (["clamscan", "--version"], ["yara", "--version"]):
        versions.append(subprocess.run(argv, capture_output=True, text=True).stdout.strip())
    lines.append("versions: ClamAV %s; yara %s" % (versions[0].replace("ClamAV ", ""), versions[1]))
    lines.append("")
    header = "%-26s %10s %8s %17s %8s %8s %8s  %s" % (
        "scanner", "files/s", "wall s", "min-max s", "cpu s", "peak MB", "vs base", "detections")
    lines.append(header)
    lines.append("-" * len(header))
    for label, rate, wall, low, high, cpu, peak, ratio, verdict, detail in rows:
        lines.append("%-26s %10.0f %8.3f %8.3f-%-8.3f %8.3f %8.1f %7.0f%%  %s%s" % (
            label, rate, wall, low, high, cpu, peak, 100 * ratio, verdict,
            "" if detail in (None, "exact") else " (%s)" % detail))
    lines.append("")
    lines.append("files/s: files in the corpus / median wall time; cpu s: median user+system time; "
                 "peak MB: largest max RSS of the timed runs; vs base: files/s relative to the "
                 "single-threaded baseline; detections: files reported equal the manifest's "
                 "specimens.")
    cold_rows = {}
    if cold:
        base_cold = cold[baseline_label][0]
        lines.append("")
        lines.append("cold: the page cache dropped before each run, %d runs each (median)" %
                     cold_runs)
        header_cold = "%-26s %10s %8s %8s %8s %8s" % ("scanner", "files/s", "wall s", "cpu s",
                                                      "peak MB", "vs base")
        lines.append(header_cold)
        lines.append("-" * len(header_cold))
        for label, _, _, _ in scanners:
            wall, cpu, peak = cold[label]
            cold_rows[label] = (file_count / wall, base_cold / wall, peak)
            lines.append("%-26s %10.0f %8.3f %8.3f %8.1f %7.0f%%" % (
                label, file_count / wall, wall, cpu, peak, 100 * base_cold / wall))

    lines.append("")
    lines.append("threads (3 runs each, median files/s; vs base: against the single-threaded "
                 "baseline of the same mode):")
    header_sweep = "%-8s" % "threads" + "".join(
        " %22s" % ("%s %s" % (label.split(" ")[0].replace("vexpurge-scan", "vexpurge"), mode))
        for label, mode in sorted(sweep))
    lines.append(header_sweep)
    for i, threads in enumerate(thread_counts):
        cells = []
        for key in sorted(sweep):
            base = sweep[("baseline", key[1])][0][1]
            _, rate, _, _, peak = sweep[key][i]
            cells.append(" %9.0f %5.2fx %4.1fMB" % (rate, rate / base, peak))
        lines.append("%-8d" % threads + "".join(cells))
    lines.append("vexpurge-scan output (lines, statistics, status) at every thread count: %s" % (
        "identical" if not differing else "DIFFERS: " + ", ".join(differing)))

    lines.append("")
    lines.append("corpus size (vexpurge-scan with its default threads, the baseline with one; 3 "
                 "runs each, median):")
    header_scale = "%-22s %8s %-14s %-5s %10s %8s %8s" % (
        "corpus", "widest", "scanner", "mode", "files/s", "wall s", "peak MB")
    lines.append(header_scale)
    lines.append("-" * len(header_scale))
    for count, wide, widest, label, mode, rate, wall, peak in scale:
        lines.append("%-22s %8d %-14s %-5s %10.0f %8.3f %8.1f" % (
            ("%d files, one folder" if wide else "%d files") % count, widest, label, mode, rate,
            wall, peak))

    if image_rows:
        lines.append("")
        lines.append("the corpus in an NTFS image (raw, %.1f MiB) against the same files as a folder "
                     "(vexpurge-scan --quiet, default threads; warm %d runs, cold %d, median); "
                     "detections from the image: %s" % (
                         os.path.getsize(args.image) / 1048576.0, args.runs,
                         cold_runs if args.cold else 0, image_verdict))
        header_image = "%-12s %-5s %10s %8s %8s %8s %10s" % (
            "source", "mode", "files/s", "wall s", "cpu s", "peak MB", "vs folder")
        lines.append(header_image)
        lines.append("-" * len(header_image))
        folder_wall = {mode: wall for label, mode, wall, _, _ in image_rows if label == "folder"}
        for label, mode, wall, cpu, peak in image_rows:
            lines.append("%-12s %-5s %10.0f %8.3f %8.3f %8.1f %9.0f%%" % (
                label, mode, file_count / wall, wall, cpu, peak, 100 * folder_wall[mode] / wall))

    # The targets.
    by_label = {row[0]: row for row in rows}
    vex = rows[1]
    clam = by_label["clamscan"]
    yara1 = by_label["yara -p 1"]
    lines.append("")
    lines.append("targets for vexpurge-scan:")
    lines.append("  warm: >= 1.2x the single-threaded baseline's files/s: %s (%.2fx)" % (
        "met" if vex[7] >= 1.2 else "NOT met", vex[7]))
    if cold_rows:
        ratio = cold_rows[vex[0]][1]
        lines.append("  cold: >= 1.6x the single-threaded baseline's files/s: %s (%.2fx)" % (
            "met" if ratio >= 1.6 else "NOT met", ratio))
    lines.append("  output identical at every thread count: %s" % (
        "met" if not differing else "NOT met"))
    lines.append("  ahead of clamscan: %s (%.1fx)" % ("met" if vex[1] > clam[1] else "NOT met",
                                                      vex[1] / clam[1]))
    lines.append("  ahead of yara -p 1: %s (%.1fx)" % ("met" if vex[1] > yara1[1] else "NOT met",
                                                       vex[1] / yara1[1]))
    yara_default = by_label["yara (default threads)"]
    lines.append("  ahead of yara (default threads): %s (%.1fx)" % (
        "met" if vex[1] > yara_default[1] else "NOT met", vex[1] / yara_default[1]))
    peaks = [vex[6], wide_peak["vexpurge-scan"]] + [
        entry[7] for entry in scale if entry[3] == "vexpurge-scan"]
    lines.append("  peak memory under 16 MB, every run: %s (at most %.1f MB)" % (
        "met" if max(peaks) < 16 else "NOT met", max(peaks)))
    for mode in modes:
        rates = [(entry[0], entry[5]) for entry in scale
                 if entry[3] == "vexpurge-scan" and entry[4] == mode and not entry[1]]
        if len(rates) > 1:
            # Each step up in size against the one before, within a tenth for noise.
            flat = all(later[1] >= 0.9 * earlier[1] for earlier, later in zip(rates, rates[1:]))
            lines.append("  %s files/s flat or growing with the corpus's size: %s (%s)" % (
                mode, "met" if flat else "NOT met", ", ".join(
                    "%d files: %.0f" % (count, rate) for count, rate in rates)))
    lines.append("  detections equal the manifest: %s" % ("met" if vex[8] == "yes" else "NOT met"))
    if load_before[0] > 0.5 or load_after[0] > 0.5:
        lines.append("")
        lines.append("warning: the machine was busy (load average above 0.5): wall times include "
                     "waiting for a core; the cpu column is less affected.")
    lines.append("")
    lines.append("commands:")
    for label, argv, _, _ in scanners:
        lines.append("  %s: %s" % (label, " ".join(argv)))
    if image_rows:
        lines.append("  vexpurge-scan, the NTFS image: %s" % " ".join(image_argv))
    lines.append("")
    lines.append("notes:")
    for note in notes:
        lines.append("  " + note)

    plot(args.out, sweep, scale, rows, cold_rows, file_count, notes)
    lines.append("plot: %s" % os.path.join(args.out, "files-per-second.png"))

    # ClamAV's per-file folders are gone by now; the folder that held them goes too.
    shutil.rmtree(clam_tmp, ignore_errors=True)

    text = "\n".join(lines) + "\n"
    with open(os.path.join(args.out, "results.txt"), "w") as handle:
        handle.write(text)
    sys.stdout.write(text)
    return 0


def plot(out, sweep, scale, rows, cold_rows, file_count, notes):
    """files-per-second.png: files/s against threads and against corpus size, warm and cold."""
    folder = os.path.join(out, "plot")
    os.makedirs(folder, exist_ok=True)

    def write(name, points):
        with open(os.path.join(folder, name), "w") as handle:
            for x, y in points:
                handle.write("%g %g\n" % (x, y))
        return os.path.join(folder, name)

    others = [row for row in rows if not row[0].startswith(("baseline", "vexpurge"))]
    panels = []
    for mode in ("warm", "cold"):
        if ("baseline", mode) not in sweep:
            continue
        series = []
        for label in ("vexpurge-scan", "baseline"):
            points = [(entry[0], entry[1]) for entry in sweep[(label, mode)]]
            series.append((write("threads-%s-%s.dat" % (label, mode), points), label, "linespoints"))
        for row in others:
            rate = row[1] if mode == "warm" else cold_rows.get(row[0], (None,))[0]
            if rate is not None and "default" not in row[0]:
                series.append((write("threads-%s-%s.dat" % (row[0].replace(" ", "_"), mode),
                                     [(1, rate)]), row[0] + " (one thread)", "points"))
        panels.append(("files/s against threads, %s" % mode, "threads", series))
    for mode in ("warm", "cold"):
        series = []
        for label in ("vexpurge-scan", "baseline"):
            points = [(entry[0], entry[5]) for entry in scale
                      if entry[3] == label and entry[4] == mode and not entry[1]]
            if points:
                series.append((write("size-%s-%s.dat" % (label, mode), points),
                               label + (" (default threads)" if label != "baseline" else
                                        " (one thread)"), "linespoints"))
        for row in others:
            rate = row[1] if mode == "warm" else cold_rows.get(row[0], (None,))[0]
            if rate is not None:
                series.append((write("size-%s-%s.dat" % (row[0].replace(" ", "_"), mode),
                                     [(file_count, rate)]), row[0], "points"))
        if series:
            panels.append(("files/s against corpus size, %s" % mode, "files in the corpus",
                           series))
    script = ["set terminal pngcairo size 1400,1000 font ',10'",
              "set output '%s'" % os.path.join(out, "files-per-second.png"),
              "set multiplot layout 2,2",
              "set logscale x 2", "set grid", "set key outside bottom center horizontal",
              "set ylabel 'files/s'", "set yrange [0:*]"]
    for title, xlabel, series in panels:
        script.append("set title '%s'" % title)
        script.append("set xlabel '%s'" % xlabel)
        script.append("set logscale x %s" % ("2" if xlabel == "threads" else "10"))
        script.append("plot " + ", ".join("'%s' using 1:2 with %s pointsize 1.5 title '%s'" % (
            path, style, name) for path, name, style in series))
    script.append("unset multiplot")
    with open(os.path.join(folder, "plot.gp"), "w") as handle:
        handle.write("\n".join(script) + "\n")
    if subprocess.run(["gnuplot", os.path.join(folder, "plot.gp")]).returncode != 0:
        notes.append("the plot could not be made (gnuplot failed)")


if __name__ == "__main__":
    sys.exit(main())
