#!/usr/bin/env python3
"""Runs quorvel-cli on Linux (with the real mediainfo) and quorvel-cli.exe under Wine (with the
stand-in analyser as mediainfo.exe, printing what the real mediainfo reported on the same stream,
with CR LF line ends) over copies of the sample folders, and compares the two: the exit statuses,
standard output and standard error line for line apart from the time stamps and the form of the
disc folder's path (Z:\\... under Wine), and every file of every folder byte for byte.

    tests/e2e/wine_compare.py [--linux-build build] [--windows-build build-windows] [CASE...]

The stand-in prints one report for every stream of a run: the clips of a sample, and the samples
of a batch, are made alike (the same size and HDR metadata), so the first stream's report is
true of all of them; a sample where it is not shows up as a difference in its files.

It builds what it needs in both build folders (quorvel-cli and the samples on Linux, quorvel-cli
and the stand-in analyser for Windows) and prints one line per case, with a diff for each
mismatch. Exit status 0 when every case agrees, 1 otherwise, 2 when something it needs is missing.
"""

import argparse
import difflib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "scripts" / "wine-run"
MAKE_SAMPLE = ROOT / "scripts" / "make-sample"

# The stream of the stopped job: large enough that Wine is still in the stream pass a moment
# after its heading (about 6 s here), and Linux too when the signal follows the heading at once.
STOP_SAMPLE_SIZE = 300_000_000
# How long after the stream pass's heading the Wine process gets its SIGINT.
WINE_STOP_DELAY_S = 0.5
STREAM_HEADING = "Checking/Adjusting M2TS file..."
RUN_TIMEOUT_S = 300
MAX_DIFF_LINES = 40

TIME_STAMP = re.compile(r"^\[\d\d:\d\d:\d\d\]")
FOLDER_TOKEN = "<folder>"


@dataclass
class Case:
    name: str
    samples: list
    options: list = field(default_factory=list)
    # The source given as a folder below the sample's own ("BDMV/STREAM"), on both sides.
    below: str = ""
    stop_half_way: bool = False
    # The names of the copies, when not the samples' own.
    folders: list = field(default_factory=list)
    # The source given with a separator after it.
    trailing: bool = False
    # Neither side finds an analyser.
    no_analyser: bool = False
    # After the job, `--undo` on both sides, each with the record in its user's state folder.
    undo: bool = False


CASES = [
    Case("one-clip", ["hdr"]),
    Case("one-clip-sdr", ["sdr"]),
    Case("two-clips", ["clips2"]),
    Case("three-clips", ["clips3"]),
    Case("eight-audio-tracks", ["clips2audio"]),
    Case("pmt-three-packets", ["pmt3"]),
    Case("refused-1080p", ["hd1080"]),
    Case("source-is-stream-folder", ["hdr"], below="BDMV/STREAM"),
    Case("source-is-bdmv-folder-with-separator", ["hdr"], below="BDMV", trailing=True),
    Case("skip-m2ts", ["clips2"], ["--skip-m2ts"]),
    Case("no-analyser", ["hdr"], no_analyser=True),
    Case("check", ["clips2"], ["--check"]),
    Case("check-json", ["clips2"], ["--check", "--json"]),
    Case("check-refused-json", ["hd1080"], ["--check", "--json"]),
    Case("batch-of-three", ["hdr", "pmt3", "clips2"]),
    # A folder without BDMV: its line names it.
    Case("not-blu-ray-in-batch", ["hdr", "empty"]),
    Case("not-blu-ray-check", ["empty"], ["--check"]),
    # Arguments and log lines in other scripts: the batch's summary names the folders.
    Case("non-ascii-batch", ["hdr", "pmt3"], folders=["Фильм", "映画 🎬"]),
    Case("non-ascii-check", ["hdr"], ["--check"], folders=["Фильм 映画 🎬"]),
    Case("stopped-then-rerun", ["big"], stop_half_way=True),
    Case("convert-then-undo", ["clips2"], undo=True),
]


@dataclass
class Run:
    status: int
    out: bytes
    err: bytes


class Sides:
    """The two programs, the folders they work in, and how each names a folder."""

    def __init__(self, linux_cli, windows_cli, stand_in, work):
        self.linux_cli = linux_cli
        self.windows_cli = windows_cli
        self.stand_in = stand_in
        self.work = work
        self.linux_root = work / "linux"
        self.wine_root = work / "wine"
        self.reports = work / "reports"
        self.state = work / "state"
        for folder in (self.linux_root, self.wine_root, self.reports, self.state):
            folder.mkdir(parents=True, exist_ok=True)
        self.linux_env = dict(os.environ, XDG_STATE_HOME=str(self.state), LC_ALL="C.UTF-8")
        self.wine_env = dict(os.environ)
        # Cases run side by side; the program folders are shared among them.
        self.lock = threading.Lock()

    @staticmethod
    def windows_form(path):
        # Wine's drive Z: is the Linux root.
        return "Z:" + str(path).replace("/", "\\")

    def program_folder(self, report_sample, samples):
        """A folder holding quorvel-cli.exe and the stand-in as mediainfo.exe with its report."""
        folder = self.work / f"bin-{report_sample}"
        with self.lock:
            if not folder.exists():
                making = self.work / f"making-bin-{report_sample}"
                making.mkdir()
                shutil.copy2(self.windows_cli, making / "quorvel-cli.exe")
                shutil.copy2(self.stand_in, making / "mediainfo.exe")
                shutil.copy2(self.report(report_sample, samples), making / "mediainfo.txt")
                making.rename(folder)
        return folder

    def report(self, sample, samples):
        """What the real mediainfo says of the sample's first stream, run as the job runs it."""
        path = self.reports / f"{sample}.txt"
        if not path.exists():
            stream = samples[sample] / "BDMV" / "STREAM"
            if not stream.is_dir():
                # A folder that is no disc: the analyser is never run on it.
                path.write_bytes(b"")
                return path
            result = subprocess.run(["mediainfo", "00000.m2ts"], cwd=stream, env=self.linux_env,
                                    capture_output=True, check=True)
            path.write_bytes(result.stdout)
        return path


PATH_END = re.compile(r'"|\t|: |, |$')


def path_end(line, start):
    """Where a path that begins in a line ends: at a quote, a tab, ": " or ", " (a name may
    hold spaces), or at the line's end."""
    return PATH_END.search(line, start).start()


def normalise(text, folder_forms):
    """Time stamps masked; the disc folders' root in any of its forms becomes one token, and the
    path that follows it gets '/' between its names. Mixed separators are left for the diff to
    show only after the root, where both sides must agree."""
    lines = []
    for line in text.replace("\r\n", "\n").split("\n"):
        line = TIME_STAMP.sub("[ts]", line)
        for form in folder_forms:
            while form in line:
                start = line.index(form)
                end = path_end(line, start + len(form))
                rest = line[start + len(form):end].replace("\\\\", "/").replace("\\", "/")
                line = line[:start] + FOLDER_TOKEN + rest + line[end:]
        lines.append(line)
    return lines


def folder_forms_linux(sides):
    return [str(sides.linux_root)]


def folder_forms_wine(sides):
    windows = sides.windows_form(sides.wine_root)
    # As given, with '/' after the drive (the program's own form), and escaped in JSON.
    return [windows.replace("\\", "\\\\"), windows, windows.replace("\\", "/")]


def mixed_separators(text, folder_forms):
    """The paths below the disc folders' root written with both '/' and '\\'."""
    mixed = []
    for line in text.replace("\r\n", "\n").split("\n"):
        for form in folder_forms:
            start = line.find(form)
            while start >= 0:
                end = start
                end = path_end(line, start + len(form))
                path = line[start:end]
                if "/" in path and "\\" in path:
                    mixed.append(path)
                start = line.find(form, end)
    return mixed


def raw_line_ends(text_bytes):
    """The line ends of a program's output: standard output is written with LF, as on Linux."""
    return b"\r\n" in text_bytes


def start(argv, env, cwd):
    return subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run(argv, env, cwd, stop_after_heading=None):
    """Runs a program to its end; with stop_after_heading (seconds), sends it SIGINT that long
    after it has printed the stream pass's heading."""
    process = start(argv, env, cwd)
    err_chunks = []
    reader = threading.Thread(target=lambda: err_chunks.append(process.stderr.read()))
    reader.start()
    out = bytearray()
    signalled = False
    timer = threading.Timer(RUN_TIMEOUT_S, process.kill)
    timer.start()
    try:
        for line in process.stdout:
            out += line
            if stop_after_heading is not None and not signalled and STREAM_HEADING.encode() in line:
                time.sleep(stop_after_heading)
                os.kill(process.pid, signal.SIGINT)
                signalled = True
        status = process.wait()
    finally:
        timer.cancel()
        reader.join()
    return Run(status, bytes(out), err_chunks[0] if err_chunks else b"")


def tree(folder):
    files = {}
    for path in sorted(folder.rglob("*")):
        if path.is_file() or path.is_symlink():
            files[path.relative_to(folder).as_posix()] = path
    return files


def first_difference(a, b):
    block = 1 << 20
    with open(a, "rb") as fa, open(b, "rb") as fb:
        offset = 0
        while True:
            ca, cb = fa.read(block), fb.read(block)
            if ca != cb:
                for i, (x, y) in enumerate(zip(ca, cb)):
                    if x != y:
                        return offset + i
                return offset + min(len(ca), len(cb))
            if not ca:
                return None
            offset += len(ca)


def compare_trees(linux, wine, label):
    problems = []
    lt, wt = tree(linux), tree(wine)
    for name in sorted(set(lt) - set(wt)):
        problems.append(f"{label}: {name} only on Linux")
    for name in sorted(set(wt) - set(lt)):
        problems.append(f"{label}: {name} only under Wine")
    for name in sorted(set(lt) & set(wt)):
        at = first_difference(lt[name], wt[name])
        if at is not None:
            problems.append(f"{label}: {name} differs from byte {at}")
    return problems


def compare_runs(linux, wine, sides, label):
    problems = []
    if linux.status != wine.status:
        problems.append(f"{label}: exit status {linux.status} on Linux, {wine.status} under Wine")
    if raw_line_ends(wine.out):
        problems.append(f"{label}: standard output under Wine has CR LF line ends")
    for stream, text in (("stdout", wine.out), ("stderr", wine.err)):
        # The forms without the JSON escape are enough: an escaped path holds them too.
        for path in sorted(set(mixed_separators(text.decode("utf-8", "replace"),
                                                folder_forms_wine(sides)[1:]))):
            problems.append(f"{label}: {stream} under Wine mixes separators in {path}")
    for stream, l_bytes, w_bytes in (("stdout", linux.out, wine.out), ("stderr", linux.err, wine.err)):
        l_lines = normalise(l_bytes.decode("utf-8", "replace"), folder_forms_linux(sides))
        w_lines = normalise(w_bytes.decode("utf-8", "replace"), folder_forms_wine(sides))
        if l_lines != w_lines:
            diff = list(difflib.unified_diff(l_lines, w_lines, "linux", "wine", lineterm="", n=2))
            if len(diff) > MAX_DIFF_LINES:
                diff = diff[:MAX_DIFF_LINES] + [f"... {len(diff) - MAX_DIFF_LINES} more lines"]
            problems.append(f"{label}: {stream} differs:\n    " + "\n    ".join(diff))
    return problems


# The undo's record line: in $XDG_STATE_HOME/quorvel on Linux, in %LOCALAPPDATA%\Quorvel under
# Wine. The name ends in a hash of the disc folder's path, which differs between the sides.
RECORD_LINES = {
    "linux": re.compile(rb"^ - Undo record: /\S+/quorvel/[0-9a-f]{16}-[0-9a-f]{8}\.undo$", re.M),
    "wine": re.compile(rb"^ - Undo record: C:[\\/]users[\\/][^\\/]+[\\/]AppData[\\/]Local"
                       rb"[\\/]Quorvel[\\/][0-9a-f]{16}-[0-9a-f]{8}\.undo\r?$", re.M),
}


def masked_record_line(result, side):
    """`result` with its record line, when it is in the platform's state folder, made alike."""
    out = RECORD_LINES[side].sub(b" - Undo record: <record>", result.out)
    return Run(result.status, out, result.err)


def half_way(stopped, original, converted):
    """Whether a stream stopped by the signal was caught in the middle: some packets converted,
    not all."""
    return (first_difference(stopped, original) is not None and
            first_difference(stopped, converted) is not None)


def run_case(case, sides, samples):
    names = case.folders or case.samples
    folders = {}
    for side, root in (("linux", sides.linux_root), ("wine", sides.wine_root)):
        case_root = root / case.name
        if case_root.exists():
            shutil.rmtree(case_root)
        case_root.mkdir()
        for sample, name in zip(case.samples, names):
            shutil.copytree(samples[sample], case_root / name, symlinks=True)
        folders[side] = case_root

    def sources(side):
        paths = [folders[side] / n / case.below if case.below else folders[side] / n
                 for n in names]
        if side == "linux":
            return [str(p) + ("/" if case.trailing else "") for p in paths]
        return [sides.windows_form(p) + ("\\" if case.trailing else "") for p in paths]

    linux_env = sides.linux_env
    if case.no_analyser:
        # quorvel-cli alone in its folder, and nothing on PATH.
        bin_folder = sides.work / "bin-alone"
        bin_folder.mkdir(exist_ok=True)
        shutil.copy2(sides.windows_cli, bin_folder / "quorvel-cli.exe")
        linux_env = dict(linux_env, PATH=str(bin_folder))
    else:
        bin_folder = sides.program_folder(case.samples[0], samples)
    linux_argv = [str(sides.linux_cli)] + case.options + sources("linux")
    wine_argv = [str(WINE_RUN), str(bin_folder / "quorvel-cli.exe")] + case.options + sources("wine")
    problems = []
    if not case.stop_half_way:
        linux = run(linux_argv, linux_env, folders["linux"])
        wine = run(wine_argv, sides.wine_env, folders["wine"])
        problems += compare_runs(linux, wine, sides, case.name)
    else:
        linux = run(linux_argv, sides.linux_env, folders["linux"], stop_after_heading=0)
        wine = run(wine_argv, sides.wine_env, folders["wine"], stop_after_heading=WINE_STOP_DELAY_S)
        problems += compare_runs(linux, wine, sides, case.name + " (stopped)")
        stream = Path("BDMV") / "STREAM" / "00000.m2ts"
        stopped = {side: folders[side] / "stopped.m2ts" for side in folders}
        for side in folders:
            shutil.copyfile(folders[side] / case.samples[0] / stream, stopped[side])
        linux = run(linux_argv, sides.linux_env, folders["linux"])
        wine = run(wine_argv, sides.wine_env, folders["wine"])
        problems += compare_runs(linux, wine, sides, case.name + " (rerun)")
        converted = folders["linux"] / case.samples[0] / stream
        for side in folders:
            if not half_way(stopped[side], samples[case.samples[0]] / stream, converted):
                problems.append(f"{case.name}: the {side} job was not stopped half-way through "
                                "its stream")
            stopped[side].unlink()
    for name in names:
        problems += compare_trees(folders["linux"] / name, folders["wine"] / name,
                                  f"{case.name}/{name}")
    if case.undo:
        linux = masked_record_line(run(linux_argv[:1] + ["--undo"] + linux_argv[1:], linux_env,
                                       folders["linux"]), "linux")
        wine = masked_record_line(run(wine_argv[:2] + ["--undo"] + wine_argv[2:],
                                      sides.wine_env, folders["wine"]), "wine")
        problems += compare_runs(linux, wine, sides, case.name + " (undo)")
        if b" - Undo record: <record>" not in wine.out:
            problems.append(f"{case.name}: the undo under Wine found no record in "
                            "%LOCALAPPDATA%\\Quorvel")
        for sample, name in zip(case.samples, names):
            for side in folders:
                problems += compare_trees(samples[sample], folders[side] / name,
                                          f"{case.name}/{name} undone ({side})")
    return problems


def build(linux_build, windows_build):
    subprocess.run(["cmake", "--build", str(linux_build), "--target", "quorvel-cli", "e2e_samples"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(windows_build), "--target", "quorvel-cli",
                    "stand_in_analyser"], check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--linux-build", type=Path, default=ROOT / "build")
    parser.add_argument("--windows-build", type=Path,
                        default=Path(os.environ.get("QUORVEL_WINDOWS_BUILD", ROOT / "build-windows")))
    parser.add_argument("--work", type=Path, help="keep the copies in this folder")
    parser.add_argument("--no-build", action="store_true", help="use the programs as they are")
    parser.add_argument("--jobs", type=int, default=2, help="cases run side by side (default 2)")
    parser.add_argument("cases", nargs="*", help="run only these cases")
    args = parser.parse_args()

    if shutil.which("mediainfo") is None:
        print("wine_compare: mediainfo is needed for the Linux side", file=sys.stderr)
        return 2
    for folder, made_by in ((args.linux_build, "scripts/test"),
                            (args.windows_build, "scripts/test-windows")):
        if not (folder / "CMakeCache.txt").exists():
            print(f"wine_compare: {folder} is no configured build folder (made by {made_by})",
                  file=sys.stderr)
            return 2
    if not args.no_build:
        build(args.linux_build, args.windows_build)
    linux_cli = args.linux_build / "bin" / "quorvel-cli"
    windows_cli = args.windows_build / "bin" / "quorvel-cli.exe"
    stand_in = args.windows_build / "tests" / "stand_in_analyser.exe"
    for needed in (linux_cli, windows_cli, stand_in):
        if not needed.exists():
            print(f"wine_compare: {needed} is missing", file=sys.stderr)
            return 2

    cases = [c for c in CASES if not args.cases or c.name in args.cases]
    unknown = set(args.cases) - {c.name for c in CASES}
    if unknown:
        print(f"wine_compare: no case {', '.join(sorted(unknown))}; the cases are "
              f"{', '.join(c.name for c in CASES)}", file=sys.stderr)
        return 2

    work = args.work.resolve() if args.work else Path(tempfile.mkdtemp(prefix="quorvel-wine-compare-"))
    if args.work and work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True, exist_ok=True)
    try:
        sides = Sides(linux_cli.resolve(), windows_cli.resolve(), stand_in.resolve(), work)
        samples = {name: (args.linux_build / "e2e-samples" / name).resolve()
                   for name in ("hdr", "sdr", "pmt3", "clips2", "clips3", "clips2audio", "hd1080")}
        empty = work / "samples" / "empty"
        empty.mkdir(parents=True, exist_ok=True)
        (empty / "notes.txt").write_text("not a disc\n")
        samples["empty"] = empty
        # The big stream is written while the small cases run; the stopped job runs last, alone,
        # so that its timing does not depend on the others.
        small = [c for c in cases if not c.stop_half_way]
        stopped = [c for c in cases if c.stop_half_way]
        maker = None
        if stopped:
            samples["big"] = work / "samples" / "big"
            maker = subprocess.Popen([sys.executable, str(MAKE_SAMPLE), "--size",
                                      str(STOP_SAMPLE_SIZE), str(samples["big"])],
                                     stdout=subprocess.DEVNULL)
        failed = 0

        def report(case, problems, seconds):
            nonlocal failed
            print(f"{'FAIL' if problems else 'ok  '} {case.name} ({seconds:.1f} s)")
            for problem in problems:
                print("  " + problem)
            failed += bool(problems)
            sys.stdout.flush()

        def timed(case):
            began = time.monotonic()
            return case, run_case(case, sides, samples), time.monotonic() - began

        with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for case, problems, seconds in pool.map(timed, small):
                report(case, problems, seconds)
        if maker is not None and maker.wait() != 0:
            print("wine_compare: the big sample could not be written", file=sys.stderr)
            return 2
        for case in stopped:
            report(*timed(case))
        print(f"wine_compare: {len(cases) - failed} of {len(cases)} cases agree")
        return 1 if failed else 0
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
