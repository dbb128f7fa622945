"""Times the helper's extraction against unzip, bsdtar and miniz's own
extraction, and against the miniz floor, interleaved, medians of several
rounds; counts the helper's system calls per file; see
scripts/bench-extract.sh."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

MB = 1 << 20


def run_once(command, dest, env):
    """Runs one command into a fresh, empty folder; returns (wall s, cpu s,
    peak resident KB). The folder is made and the disk synced beforehand,
    untimed."""
    if dest:
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
    os.sync()
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        wrapped = ["/usr/bin/time", "-v", "-o", report.name] + command
        started = time.perf_counter()
        proc = subprocess.Popen(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        text = report.read()
    if proc.returncode != 0:
        sys.exit("failed (%d): %s" % (proc.returncode, " ".join(command)))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return wall, usage.ru_utime + usage.ru_stime, rss


def count_files(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--helper", required=True)
    p.add_argument("--floor", required=True)
    p.add_argument("--miniz", required=True)
    p.add_argument("--disk", required=True)
    p.add_argument("--memory", required=True)
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("archives", nargs="+")
    a = p.parse_args()

    print("load average before: %.2f %.2f %.2f on %d cores" % (os.getloadavg() + (os.cpu_count(),)), flush=True)
    appdata = tempfile.mkdtemp(prefix="vantrell-bench-appdata-")
    env = dict(os.environ, XDG_DATA_HOME=appdata)
    results = {}  # (archive, place, tool) -> [(wall, cpu, rss)]
    for archive in a.archives:
        with zipfile.ZipFile(archive) as zf:
            infos = zf.infolist()
        files = sum(1 for i in infos if not i.is_dir())
        print("%s: %d entries, %d files, %.0f MB unpacked, %.0f MB packed" % (
            os.path.basename(archive), len(infos), files, sum(i.file_size for i in infos) / MB,
            os.path.getsize(archive) / MB), flush=True)
        for place, root in (("disk", a.disk), ("memory", a.memory)):
            dest = os.path.join(root, "out")  # the folder name each tool sees is the same length
            tools = {
                "helper": ["--extract", "--zip", archive, "--out", dest],
                "unzip": ["unzip", "-qo", archive, "-d", dest],
                "bsdtar": ["bsdtar", "-xf", archive, "-C", dest],
                "miniz": [a.miniz, archive, dest],
            }
            tools["helper"] = [a.helper] + tools["helper"]
            if place == "memory":
                # Location-free, so measured once, among the in-memory runs.
                tools["floor"] = [a.floor, archive]
                tools["floor-flat"] = [a.floor, archive, "--flat"]
            names = list(tools)
            for r in range(a.rounds):
                order = names[r % len(names):] + names[:r % len(names)]
                for name in order:
                    target = None if name.startswith("floor") else dest
                    if target and place == "disk":
                        # ext4 passes over inodes freed moments ago when it
                        # allocates new ones, so a tree deleted just before a
                        # run slows that run down by seconds. Each disk run
                        # gets a new folder; all are deleted after the rounds.
                        if os.path.exists(dest):
                            os.rename(dest, os.path.join(root, "kept-%s-%d" % (name, r)))
                    sample = run_once(tools[name], target, env)
                    results.setdefault((archive, place, name), []).append(sample)
                    if target and r == 0 and count_files(dest) != files:
                        sys.exit("%s wrote %d files, the archive holds %d" % (name, count_files(dest), files))
                print("  %s round %d/%d done" % (place, r + 1, a.rounds), flush=True)
            for name in os.listdir(root):
                shutil.rmtree(os.path.join(root, name), ignore_errors=True)
            os.sync()
    syscalls = {}
    for archive in a.archives:
        dest = os.path.join(a.memory, "out")
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        with tempfile.NamedTemporaryFile("r", suffix=".strace") as report:
            subprocess.run(["strace", "-f", "-c", "-o", report.name, a.helper, "--extract", "--zip", archive,
                            "--out", dest], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, check=True)
            total = int(re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", report.read(), re.M).group(1))
        syscalls[archive] = total / count_files(dest)
        shutil.rmtree(dest, ignore_errors=True)
    shutil.rmtree(appdata, ignore_errors=True)
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())

    def best(archive, place, tool, field):
        values = sorted(s[field] for s in results[(archive, place, tool)])
        return values[len(values) // 2]

    print()
    print("median of %d interleaved rounds: wall-clock seconds, CPU seconds (user+system), peak resident MB" % a.rounds)
    print("%-15s %-7s %-11s %8s %8s %8s" % ("archive", "place", "tool", "wall", "cpu", "rss"))
    for (archive, place, tool), samples in results.items():
        print("%-15s %-7s %-11s %8.3f %8.3f %8.1f" % (
            os.path.basename(archive), place, tool, best(archive, place, tool, 0), best(archive, place, tool, 1),
            max(s[2] for s in samples) / 1024))

    print()
    print("ratios of the helper's median time (wall, cpu in brackets) and targets")
    verdicts = []

    def ratio(archive, place, other, other_place=None, target=None, label=None, below=False):
        w = best(archive, place, "helper", 0) / best(archive, other_place or place, other, 0)
        c = best(archive, place, "helper", 1) / best(archive, other_place or place, other, 1)
        met = w < target if below else w <= target if target is not None else True
        verdict = "" if target is None else ("  target %s %.2f: %s" % ("<" if below else "<=", target,
                                                                       "met" if met else "MISSED"))
        if target is not None:
            verdicts.append(met)
        print("  %-15s %-7s helper / %-12s %6.2f (%4.2f)%s" % (
            os.path.basename(archive), place, label or other, w, c, verdict))
        return w

    for archive in a.archives:
        for place in ("disk", "memory"):
            ratio(archive, place, "unzip", target=1.0, below=True)
            ratio(archive, place, "bsdtar")
            ratio(archive, place, "miniz", target=1.10, label="miniz extract")
            if place == "memory":
                ratio(archive, place, "floor", "memory", label="miniz floor")
                ratio(archive, place, "floor-flat", "memory", label="flat inflate")
    peak = max(s[2] for (arch, place, tool), samples in results.items() if tool == "helper" for s in samples)
    verdicts.append(peak <= 8 * 1024)
    print("  helper peak resident memory %.1f MB  target <= 8 MB: %s" % (peak / 1024, "met" if peak <= 8 * 1024
                                                                         else "MISSED"))
    for archive, per_file in syscalls.items():
        verdicts.append(per_file <= 8)
        print("  %-15s helper system calls per file (strace -f -c) %5.2f  target <= 8: %s" % (
            os.path.basename(archive), per_file, "met" if per_file <= 8 else "MISSED"))
    print("targets met: %d of %d" % (sum(verdicts), len(verdicts)))


if __name__ == "__main__":
    main()
