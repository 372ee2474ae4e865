#!/usr/bin/env python3
"""Kill-anywhere recovery: converts a disc folder with quorvel-cli, kills the process with SIGKILL
part way, reruns the job and requires every file to equal that of an uninterrupted conversion.

Two kinds of cut:
  * random moments: a stream of a few hundred MB with many multi-packet program map sections and
    PES starts; SIGKILL after a random delay within the length of a whole conversion;
  * every write: on a small disc, a preloaded shim kills the process just before its N-th
    file-changing call, for every N the conversion makes (navigation steps, backup refresh and
    stream writes alike).

With --clips N the title is split into N clips, each with its clip information file and stream;
the uninterrupted conversion must change every one of them.

Each cut is also undone, on copies, from the disc's undo record, by undo_replay (a reader of the
record's own) and by `quorvel-cli --undo`: right after the cut, and again after the rerun has
completed the conversion, both must give back the bytes of the disc before the first job.

With --undo the cuts fall on an undo instead (`quorvel-cli --undo` of a converted disc, with its
record): for every file-changing call N of the undo, the undo is cut before its N-th call, then
run again, and every file must equal the original disc's, with the record gone.

Exit status 0 when every rerun produced the reference files."""

import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import synthetic_disc  # noqa: E402
import undo_replay  # noqa: E402


def tree_digest(root):
    """{relative path: sha256} for every file below root."""
    digests = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            h = hashlib.sha256()
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 22), b""):
                    h.update(chunk)
            digests[os.path.relpath(path, root)] = h.hexdigest()
    return digests


def copy_tree(source, target):
    if os.path.exists(target):
        shutil.rmtree(target)
    shutil.copytree(source, target)


def scratch_base(needed_bytes):
    for base in ("/dev/shm", tempfile.gettempdir()):
        try:
            st = os.statvfs(base)
        except OSError:
            continue
        if st.f_bavail * st.f_frsize > needed_bytes * 1.2:
            return base
    return tempfile.gettempdir()


class Runner:
    def __init__(self, cli, shim, analyser_folder):
        self.cli = cli
        self.shim = shim
        self.env = dict(os.environ)
        self.env["PATH"] = analyser_folder + os.pathsep + self.env.get("PATH", "")
        for name in ("QUORVEL_CUT_AT", "QUORVEL_CUT_COUNT_FILE", "LD_PRELOAD"):
            self.env.pop(name, None)
        self.arguments = []

    def use_state_folder(self, folder):
        """Records go to `folder`, emptied first: each trial starts without one."""
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        self.env["XDG_STATE_HOME"] = folder
        self.records = os.path.join(folder, "quorvel")

    def command(self, disc):
        return [self.cli] + self.arguments + [disc]

    def run(self, disc, extra_env=None):
        env = dict(self.env)
        if extra_env:
            env.update(extra_env)
        return subprocess.run(self.command(disc), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=600)

    def check_undo(self, disc, original, label, work):
        """The cut disc undone twice, each time on a copy: from its record by undo_replay, a
        reader of its own, and by `quorvel-cli --undo` itself."""
        return (check_undo(disc, self.records, original, label, os.path.join(work, "undo-check"))
                or self.check_cli_undo(disc, original, label, work))

    def check_cli_undo(self, disc, original, label, work):
        """`quorvel-cli --undo` of a copy of the cut disc, with a copy of the records (the undo
        removes the one it used): the copy must come back to `original`. A job cut before its
        record was on the disk changed nothing, and then there is nothing to undo."""
        scratch = os.path.join(work, "undo-cli")
        records = os.path.join(work, "undo-cli-records")
        copy_tree(disc, scratch)
        if os.path.isdir(self.records):
            copy_tree(self.records, records)
        else:
            shutil.rmtree(records, ignore_errors=True)
            os.makedirs(records)
        result = subprocess.run([self.cli, "--undo", "--undo-dir", records, scratch], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        got = tree_digest(scratch)
        shutil.rmtree(scratch)
        if result.returncode not in (0, 1) or (result.returncode == 1 and got != original):
            return "%s: quorvel-cli --undo exited %d\n%s" % (
                label, result.returncode, result.stdout.decode("utf-8", "replace"))
        if got != original:
            differing = sorted(k for k in set(got) | set(original) if got.get(k) != original.get(k))
            return "%s: undone by quorvel-cli --undo, files differ from the original: %s" % (
                label, differing)
        return None

    def run_killed_after(self, disc, delay):
        process = subprocess.Popen(self.command(disc), env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        time.sleep(delay)
        process.send_signal(signal.SIGKILL)
        out, _ = process.communicate()
        return process.returncode, out.decode("utf-8", "replace")

    def count_mutations(self, disc, folder):
        count_file = os.path.join(folder, "mutations")
        result = self.run(disc, {"LD_PRELOAD": self.shim, "QUORVEL_CUT_COUNT_FILE": count_file})
        if result.returncode != 0:
            raise SystemExit("counting run failed: " + result.stdout.decode() + result.stderr.decode())
        with open(count_file) as f:
            return int(f.read())

    def run_cut_at(self, disc, n):
        return self.run(disc, {"LD_PRELOAD": self.shim, "QUORVEL_CUT_AT": str(n)})


def check_undo(disc, records, original, label, scratch):
    """Undoes a copy of `disc` (at `scratch`) from its record in the folder `records`; None when
    it then equals `original` (digests). Without a record the disc itself must equal it."""
    copy_tree(disc, scratch)
    try:
        record = undo_replay.only_record(records, disc)
        if record is not None:
            undo_replay.replay(record, scratch)
        # A job cut while it refreshed a BACKUP copy leaves the new copy's temporary file; a
        # rerun or an undo removes it.
        for folder, _, files in os.walk(scratch):
            for name in files:
                if name.startswith(".") and ".quorvel-" in name:
                    os.remove(os.path.join(folder, name))
    except (ValueError, IndexError, KeyError, OSError) as e:
        return "%s: the record cannot be replayed: %s" % (label, e)
    got = tree_digest(scratch)
    shutil.rmtree(scratch)
    if got != original:
        differing = sorted(k for k in set(got) | set(original) if got.get(k) != original.get(k))
        return "%s: undone from the record, files differ from the original: %s" % (label, differing)
    return None


def stage_of(output):
    """Which step the log had reached when the process died."""
    stages = [("Scanning source", "scan"), ("Checking/Adjusting MPLS", "playlist"),
              ("Checking/Adjusting CLPI", "clip"), ("Checking/Adjusting BDMV", "index"),
              ("Checking/Adjusting M2TS", "stream"), ("QUORVEL - SUCCESS", "finished")]
    reached = "start"
    for marker, name in stages:
        if marker in output:
            reached = name
    return reached


def reference_digest(original, reference_disc):
    """The digests of an uninterrupted conversion. It must have changed every clip information
    file and stream, or comparing the reruns with it would prove nothing."""
    before, after = tree_digest(original), tree_digest(reference_disc)
    clip_folders = tuple(os.path.join("BDMV", folder) + os.sep for folder in ("CLIPINF", "STREAM"))
    unchanged = sorted(name for name in before
                       if name.startswith(clip_folders) and before[name] == after.get(name))
    if unchanged:
        raise SystemExit("the uninterrupted conversion left these files unchanged: %s" % unchanged)
    return after


def check_rerun(runner, disc, reference, label):
    result = runner.run(disc)
    if result.returncode != 0:
        return "%s: rerun exited %d\n%s%s" % (label, result.returncode, result.stdout.decode(),
                                              result.stderr.decode())
    got = tree_digest(disc)
    if got != reference:
        differing = sorted(k for k in set(got) | set(reference) if got.get(k) != reference.get(k))
        return "%s: files differ from the uninterrupted conversion: %s" % (label, differing)
    return None


def random_kills(runner, work, count, size_mb, seed, clips):
    original = os.path.join(work, "random-original")
    os.makedirs(original)
    synthetic_disc.write_disc(original, stream_bytes=size_mb * 1024 * 1024, clips=clips)
    reference_disc = os.path.join(work, "random-reference")
    copy_tree(original, reference_disc)
    runner.use_state_folder(os.path.join(work, "state"))
    started = time.monotonic()
    result = runner.run(reference_disc)
    whole = time.monotonic() - started
    if result.returncode != 0:
        raise SystemExit("uninterrupted conversion failed:\n" + result.stdout.decode() +
                         result.stderr.decode())
    reference = reference_digest(original, reference_disc)
    shutil.rmtree(reference_disc)
    print("random kills: %d MB stream, uninterrupted conversion %.2f s" % (size_mb, whole))

    rng = random.Random(seed)
    disc = os.path.join(work, "random-work")
    failures = []
    stages = {}
    original_digest = tree_digest(original)
    for trial in range(1, count + 1):
        copy_tree(original, disc)
        runner.use_state_folder(os.path.join(work, "state"))
        delay = rng.uniform(0.0, whole * 1.05)
        code, output = runner.run_killed_after(disc, delay)
        stage = stage_of(output) if code == -signal.SIGKILL else "finished"
        stages[stage] = stages.get(stage, 0) + 1
        label = "random kill %d after %.3f s (%s)" % (trial, delay, stage)
        failure = (runner.check_undo(disc, original_digest, label, work) or
                   check_rerun(runner, disc, reference, label) or
                   runner.check_undo(disc, original_digest, label + ", rerun", work))
        if failure:
            failures.append(failure)
            print("FAIL " + failure)
    print("random kills: %d of %d reruns equal the reference; killed during: %s" %
          (count - len(failures), count, ", ".join("%s %d" % kv for kv in sorted(stages.items()))))
    return failures


def write_cut_disc(folder, clips):
    """The disc the every-write cuts start from: streams long enough for several multi-packet
    sections and PES starts, each with a partial packet at its end."""
    os.makedirs(folder)
    synthetic_disc.write_disc(folder, stream_bytes=192 * 450 * clips, clips=clips)
    for name in synthetic_disc.clip_names(clips):
        with open(os.path.join(folder, "BDMV", "STREAM", name + ".m2ts"), "ab") as f:
            f.write(b"\x47" * 100)


def every_write_cuts(runner, work, clips):
    original = os.path.join(work, "cut-original")
    write_cut_disc(original, clips)
    reference_disc = os.path.join(work, "cut-reference")
    copy_tree(original, reference_disc)
    runner.use_state_folder(os.path.join(work, "state"))
    total = runner.count_mutations(reference_disc, work)
    reference = reference_digest(original, reference_disc)
    shutil.rmtree(reference_disc)

    disc = os.path.join(work, "cut-work")
    failures = []
    stages = {}
    original_digest = tree_digest(original)
    for n in range(1, total + 1):
        copy_tree(original, disc)
        runner.use_state_folder(os.path.join(work, "state"))
        result = runner.run_cut_at(disc, n)
        if result.returncode != -signal.SIGKILL:
            failures.append("cut %d: the process was not cut (exit %d)" % (n, result.returncode))
            continue
        stage = stage_of(result.stdout.decode("utf-8", "replace"))
        stages[stage] = stages.get(stage, 0) + 1
        label = "cut before write %d (%s)" % (n, stage)
        failure = (runner.check_undo(disc, original_digest, label, work) or
                   check_rerun(runner, disc, reference, label) or
                   runner.check_undo(disc, original_digest, label + ", rerun", work))
        if failure:
            failures.append(failure)
            print("FAIL " + failure)
    print("write cuts: %d of %d reruns equal the reference; cut during: %s" %
          (total - len(failures), total, ", ".join("%s %d" % kv for kv in sorted(stages.items()))))
    return failures


def every_undo_write_cuts(runner, work, clips):
    original = os.path.join(work, "undo-original")
    write_cut_disc(original, clips)
    records = os.path.join(work, "undo-records")
    runner.arguments = ["--undo-dir", records]
    disc = os.path.join(work, "undo-work")
    copy_tree(original, disc)
    result = runner.run(disc)
    if result.returncode != 0:
        raise SystemExit("conversion failed:\n" + result.stdout.decode() + result.stderr.decode())
    converted_disc = os.path.join(work, "undo-converted")
    converted_records = os.path.join(work, "undo-converted-records")
    copy_tree(disc, converted_disc)
    copy_tree(records, converted_records)
    reference = tree_digest(original)

    runner.arguments = ["--undo", "--undo-dir", records]
    total = runner.count_mutations(disc, work)
    if tree_digest(disc) != reference or os.listdir(records):
        raise SystemExit("the uninterrupted undo did not give back the original")

    failures = []
    for n in range(1, total + 1):
        copy_tree(converted_disc, disc)
        copy_tree(converted_records, records)
        result = runner.run_cut_at(disc, n)
        if result.returncode != -signal.SIGKILL:
            failures.append("undo cut %d: the process was not cut (exit %d)" % (n, result.returncode))
            continue
        failure = check_rerun(runner, disc, reference, "undo cut before write %d" % n)
        if failure is None and os.listdir(records):
            failure = "undo cut before write %d: records left: %s" % (n, os.listdir(records))
        if failure:
            failures.append(failure)
            print("FAIL " + failure)
    print("undo write cuts: %d of %d reruns gave back the original" % (total - len(failures), total))
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--shim", help="the cut shim library; enables the every-write cuts")
    parser.add_argument("--random", type=int, default=20, help="number of random-moment kills")
    parser.add_argument("--size-mb", type=int, default=300, help="stream size for random kills")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--clips", type=int, default=1, help="clips the title is split into")
    parser.add_argument("--undo", action="store_true", help="cut the undo of a conversion instead")
    args = parser.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print("seed %d" % seed)
    work = tempfile.mkdtemp(prefix="quorvel-kill-", dir=scratch_base(args.size_mb * 3 << 20))
    try:
        analyser = os.path.join(work, "analyser")
        synthetic_disc.write_fake_analyser(analyser)
        runner = Runner(os.path.abspath(args.cli), args.shim and os.path.abspath(args.shim),
                        analyser)
        failures = []
        if args.undo:
            failures += every_undo_write_cuts(runner, work, args.clips)
        elif args.shim:
            failures += every_write_cuts(runner, work, args.clips)
        if args.random > 0:
            failures += random_kills(runner, work, args.random, args.size_mb, seed, args.clips)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
