"""Cancels the echo of many recordings with ynet_aec as Dask tasks, one file
per task, so the work spreads over every machine of a Dask cluster; without
a scheduler address it runs on a local cluster of threads (ynet_aec releases
the GIL while it works, so threads run files in parallel).

    python3 dask_batch.py FOLDER [--out-dir DIR] [--scheduler ADDRESS] [--jobs N] [--force] [options]
    python3 dask_batch.py --list FILE [--scheduler ADDRESS] [--jobs N] [--force] [options]

It plans, skips and writes like `aec batch`: a folder holds NAME_mic.EXT and
NAME_ref.EXT pairs and gets NAME_out.EXT; a list file has one "MIC REF OUT"
line per recording (paths relative to the list's folder, # starts a
comment). An output that exists and is not older than its mic and ref is
skipped (--force redoes it). Each output is written to a hidden temporary in
its folder and renamed into place only when complete, so an output that
exists is whole and a file the user had is replaced only by a finished one
(a worker killed while writing leaves its hidden temporary, never a partial
output); an output that is one of the inputs, a folder or a write-protected
file is refused. A failed file does not stop the others. Exit status: 0 when every
file was done or up to date, 1 when any failed, 2 for bad options.

Every worker must be able to import ynet_aec and read and write the paths as
the client names them (a shared file system).
"""

import argparse
import os
import stat
import sys
import tempfile
import time

import numpy as np
import soundfile
import ynet_aec
from dask.distributed import Client, LocalCluster, as_completed

PROG = "dask_batch"


class PlanError(Exception):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0])
    p.add_argument("folder", nargs="?", help="folder of NAME_mic.EXT and NAME_ref.EXT pairs")
    p.add_argument("--list", help="file of 'MIC REF OUT' lines instead of a folder")
    p.add_argument("--out-dir", help="where a folder's outputs go, made if missing (default: the folder)")
    p.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    p.add_argument("--jobs", type=int, default=os.cpu_count(), help="threads of the local cluster")
    p.add_argument("--force", action="store_true", help="redo outputs that are up to date")
    p.add_argument("--filter-ms", type=int, default=256)
    p.add_argument("--delay-ms", type=int)
    p.add_argument("--mask-floor", type=float, default=0.0)
    p.add_argument("--linear-only", action="store_true")
    args = p.parse_args(argv)
    if (args.folder is None) == (args.list is None) or (args.list and args.out_dir):
        p.error("give a folder (with --out-dir if you like) or --list FILE")
    if args.jobs < 1:
        p.error("--jobs: expected a whole number from 1 up")
    args.options = {"filter_ms": args.filter_ms, "delay_ms": args.delay_ms, "mask_floor": args.mask_floor,
                    "linear_only": args.linear_only}
    try:
        ynet_aec.Stream(16000, **args.options)
    except ValueError as e:
        p.error(str(e))
    return args


def folder_jobs(folder, out_dir):
    """(mic, ref, out, error) of every NAME_mic.EXT in folder, sorted; absolute
    paths, since the workers may run elsewhere."""
    folder = os.path.abspath(folder)
    out_dir = os.path.abspath(out_dir or folder)
    os.makedirs(out_dir, exist_ok=True)
    jobs = []
    for name in sorted(os.listdir(folder)):
        stem, ext = os.path.splitext(name)
        if not stem.endswith("_mic"):
            continue
        mic, ref = os.path.join(folder, name), os.path.join(folder, stem[:-4] + "_ref" + ext)
        error = "" if os.path.exists(ref) else "%s: missing (the far end of %s)" % (ref, mic)
        jobs.append((mic, ref, os.path.join(out_dir, stem[:-4] + "_out" + ext), error))
    return jobs


def list_jobs(path):
    base = os.path.dirname(os.path.abspath(path))
    jobs = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            if len(fields) != 3:
                raise PlanError("%s:%d: expected MIC REF OUT, got %d field(s)" % (path, number, len(fields)))
            mic, ref, out = (os.path.join(base, x) for x in fields)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            jobs.append((mic, ref, out, ""))
    return jobs


def check_plan(jobs):
    """Two recordings writing one output, or an output that is an input, refuse the whole plan."""
    seen = {}
    for mic, ref, out, _ in jobs:
        target = os.path.realpath(out)
        if target in seen:
            raise PlanError("%s: written by both %s and %s" % (out, seen[target], mic))
        seen[target] = mic
        if os.path.exists(target) and any(os.path.exists(x) and os.path.samefile(x, target) for x in (mic, ref)):
            raise PlanError("%s: same file as an input of %s" % (out, mic))


def up_to_date(mic, ref, out):
    try:
        o = os.stat(out)
        return stat.S_ISREG(o.st_mode) and all(o.st_mtime_ns >= os.stat(x).st_mtime_ns for x in (mic, ref))
    except OSError:
        return False


def read_mono(path, warnings):
    x, rate = soundfile.read(path, dtype="float32", always_2d=True)
    if x.shape[1] > 1:
        warnings.append("%s: warning: %d channels, using the first" % (path, x.shape[1]))
    return np.ascontiguousarray(x[:, 0]), rate


def refuse_output(out):
    """Why OUT may not be replaced, or None."""
    try:
        st = os.stat(out)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(st.st_mode):
        return "%s: not a regular file" % out
    if not st.st_mode & 0o222:
        return "%s: write-protected" % out
    return None


def write_safely(out, samples, rate, info):
    """A hidden temporary in OUT's folder, renamed over OUT's target when
    complete; a replaced file keeps its permissions, a new one gets the umask's."""
    target = os.path.realpath(out)
    folder, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            soundfile.write(f, samples, rate, format=info.format, subtype=info.subtype)
        if os.path.exists(target):
            mode = stat.S_IMODE(os.stat(target).st_mode)
        else:
            mask = os.umask(0o022)  # setting it is the only way to read it; put back at once
            os.umask(mask)
            mode = 0o666 & ~mask
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def cancel_file(mic, ref, out, error, options, force):
    """One task: a report dict; never raises, so one file cannot stop the others."""
    report = {"state": "FAILED", "audio": 0.0, "time": 0.0, "lines": []}
    try:
        if error:
            raise PlanError(error)
        if not force and up_to_date(mic, ref, out):
            report["state"] = "skipped"
            return report
        refused = refuse_output(out)
        if refused:
            raise PlanError(refused)
        start = time.monotonic()
        x, rate = read_mono(mic, report["lines"])
        r, ref_rate = read_mono(ref, report["lines"])
        if ref_rate != rate:
            raise PlanError("%s: rate %d Hz differs from the mic's %d Hz" % (ref, ref_rate, rate))
        if r.size != x.size:
            report["lines"].append("%s: warning: %d samples, the mic has %d; padded or cut" % (ref, r.size, x.size))
            r = np.pad(r, (0, max(0, x.size - r.size)))[:x.size]
        write_safely(out, ynet_aec.process(x, r, rate, **options), rate, soundfile.info(mic))
        report.update(state="done", audio=x.size / rate, time=time.monotonic() - start)
    except Exception as e:  # any error fails this file only
        report["lines"].append("%s: %s" % (PROG, e))
    return report


def note(report):
    if report["state"] == "skipped":
        return "output up to date (--force redoes it)"
    if report["state"] == "done":
        return "%d warning(s)" % len(report["lines"]) if report["lines"] else ""
    return next((line for line in report["lines"] if ": warning: " not in line), "")


def print_table(jobs, reports, seconds, where):
    width = max([4] + [len(j[0]) for j in jobs])
    print("%-*s  %-7s  %9s  %8s  %s" % (width, "file", "result", "audio", "time", "note"))
    for job, r in zip(jobs, reports):
        audio, took = ("%7.1f s" % r["audio"], "%6.2f s" % r["time"]) if r["state"] == "done" else ("-", "-")
        print("%-*s  %-7s  %9s  %8s  %s" % (width, job[0], r["state"], audio, took, note(r)))
    counts = {s: sum(r["state"] == s for r in reports) for s in ("done", "skipped", "FAILED")}
    print("%d file%s: %d done, %d skipped, %d failed; %.1f s of audio in %.1f s on %s"
          % (len(jobs), "" if len(jobs) == 1 else "s", counts["done"], counts["skipped"], counts["FAILED"],
             sum(r["audio"] for r in reports), seconds, where))


def run(client, jobs, args):
    """Submits one task per file and reports each as it finishes (stderr)."""
    futures = {client.submit(cancel_file, *job, args.options, args.force, pure=False): i
               for i, job in enumerate(jobs)}
    reports = [None] * len(jobs)
    for finished, future in enumerate(as_completed(futures), 1):
        i = futures[future]
        try:
            reports[i] = future.result()
        except Exception as e:  # a lost worker fails its file
            reports[i] = {"state": "FAILED", "audio": 0.0, "time": 0.0, "lines": ["%s: %s" % (PROG, e)]}
        print("[%d/%d] %s %s" % (finished, len(jobs), reports[i]["state"], jobs[i][0]), file=sys.stderr)
        for line in reports[i]["lines"]:
            print(line, file=sys.stderr)
    return reports


def main(argv=None):
    args = parse_args(argv)
    try:
        jobs = list_jobs(args.list) if args.list else folder_jobs(args.folder, args.out_dir)
        check_plan(jobs)
    except (PlanError, OSError) as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    if not jobs:
        print("%s: no recordings to process" % PROG, file=sys.stderr)
        return 1
    start = time.monotonic()
    if args.scheduler:
        with Client(args.scheduler) as client:
            reports = run(client, jobs, args)
        where = args.scheduler
    else:
        with LocalCluster(n_workers=1, threads_per_worker=args.jobs, processes=False,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            reports = run(client, jobs, args)
        where = "%d local thread%s" % (args.jobs, "" if args.jobs == 1 else "s")
    print_table(jobs, reports, time.monotonic() - start, where)
    return 1 if any(r["state"] == "FAILED" for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main())
