#!/usr/bin/env python3
"""Power-cut recovery: records every file-changing call and every fsync/fdatasync of an
uninterrupted conversion, builds from a copy of the original disc every state a power cut may
leave, reruns the job on each and requires every file to equal the uninterrupted result. The
job's undo record is part of each state: undone from it, the disc must equal the original, both
as the cut left it and after the rerun.

A power cut keeps everything written before the last barrier (fsync or fdatasync) that
completed, and any subset of what was written after it, a page at a time: each write is split
where it crosses a 4 KiB page of its file. For each barrier the states are: every subset of the
pieces up to the next barrier (capped by random subsets when there are many), or, where a stream
is written, every prefix of its pieces plus random subsets.

With --undo the cuts fall on `quorvel-cli --undo` of the converted disc instead: every state a
power cut during the undo may leave, over the disc and its record, must come back to the original
bytes when the undo is run again, and leave no record behind.

Exit status 0 when every rerun produced the reference files."""

import argparse
import concurrent.futures
import hashlib
import os
import random
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kill_test  # noqa: E402
import synthetic_disc  # noqa: E402

PAGE_SIZE = 4096
# Up to this many pieces between two barriers, every subset is tried.
ALL_SUBSETS_UP_TO = 10


def read_record(path, disc):
    """The recorded calls on files below `disc`, as (kind, relative path, ...) tuples."""
    prefix = os.path.realpath(disc) + os.sep
    ops = []
    with open(path) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            kind = fields[0]
            if kind == "X":
                raise SystemExit("the job made a call the recording cannot replay: " + fields[1])
            paths = fields[1:3] if kind == "R" else fields[1:2]
            if not all(p.startswith(prefix) for p in paths):
                continue
            rel = [p[len(prefix):] for p in paths]
            if kind == "W":
                offset, data = int(fields[2]), bytes.fromhex(fields[3])
                # A page reaches the disk whole or not at all; two pages of one write need not.
                at = 0
                while at < len(data):
                    end = min(len(data), (offset + at) // PAGE_SIZE * PAGE_SIZE + PAGE_SIZE - offset)
                    ops.append(("W", rel[0], offset + at, data[at:end]))
                    at = end
            elif kind == "T":
                ops.append(("T", rel[0], int(fields[2])))
            elif kind == "R":
                ops.append(("R", rel[0], rel[1]))
            else:
                ops.append((kind, rel[0]))
    return ops


def apply(root, op):
    path = os.path.join(root, op[1])
    kind = op[0]
    if kind == "W":
        with open(path, "r+b" if os.path.exists(path) else "w+b") as f:
            f.seek(op[2])
            f.write(op[3])
    elif kind == "T":
        with open(path, "r+b") as f:
            f.truncate(op[2])
    elif kind == "C":
        open(path, "ab").close()
    elif kind == "K":
        open(path, "wb").close()
    elif kind == "R":
        os.replace(path, os.path.join(root, op[2]))
    elif kind == "U":
        os.unlink(path)


def crash_states(ops, rng, stream_subsets):
    """(label, [op index]) for every state a power cut may leave."""
    intervals = [[]]
    for index, op in enumerate(ops):
        if op[0] == "S":
            intervals.append([])
        else:
            intervals[-1].append(index)
    states = []
    done = []
    for number, pieces in enumerate(intervals):
        n = len(pieces)
        streamed = any(ops[i][1].endswith(".m2ts") for i in pieces)
        masks = set()
        if not streamed and n <= ALL_SUBSETS_UP_TO:
            masks.update(range(1 << n))
        else:
            masks.update((1 << k) - 1 for k in range(n + 1))
            masks.update(rng.getrandbits(n) for _ in range(stream_subsets))
        for mask in sorted(masks):
            kept = [pieces[k] for k in range(n) if mask >> k & 1]
            states.append(("barrier %d, %d of its %d pieces %s" %
                           (number, len(kept), n, [k for k in range(n) if mask >> k & 1]),
                           done + kept))
        done = done + pieces
    return states


def state_key(indices):
    return hashlib.sha256(repr(indices).encode()).hexdigest()


def check_undo_rerun(runner, disc, state, original, label):
    """The undo run again over a state a power cut left: the disc must come back to `original`
    with no record left. A cut after the record was removed left the disc whole already, and
    then there is nothing to undo."""
    records = os.path.join(state, "quorvel")
    had_record = any(name.endswith(".undo") for name in os.listdir(records))
    result = runner.run(disc, {"XDG_STATE_HOME": state})
    got = kill_test.tree_digest(disc)
    if result.returncode != (0 if had_record else 1) or got != original:
        differing = sorted(k for k in set(got) | set(original) if got.get(k) != original.get(k))
        return "%s: undo rerun exited %d, files differing from the original: %s\n%s" % (
            label, result.returncode, differing, result.stdout.decode("utf-8", "replace"))
    if os.listdir(records):
        return "%s: undo rerun left these in the record folder: %s" % (label, os.listdir(records))
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--shim", required=True, help="the shim library that records the calls")
    parser.add_argument("--clips", type=int, default=2)
    parser.add_argument("--stream-subsets", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--undo", action="store_true", help="cut the undo of the conversion")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quorvel-power-", dir=kill_test.scratch_base(64 << 20))
    failures = []
    try:
        analyser = os.path.join(work, "analyser")
        synthetic_disc.write_fake_analyser(analyser)
        runner = kill_test.Runner(os.path.abspath(args.cli), os.path.abspath(args.shim), analyser)

        # Each state is a folder with the disc and the state folder of its undo record, so that
        # the cut reaches both.
        original_root = os.path.join(work, "original")
        original = os.path.join(original_root, "disc")
        os.makedirs(original)
        os.makedirs(os.path.join(original_root, "state", "quorvel"))
        # Several program map sections of two and three packets per stream.
        synthetic_disc.write_disc(original, stream_bytes=192 * 450 * args.clips, clips=args.clips)
        original_digest = kill_test.tree_digest(original)
        reference_root = os.path.join(work, "reference")
        kill_test.copy_tree(original_root, reference_root)
        reference_disc = os.path.join(reference_root, "disc")
        record = os.path.join(work, "record")
        result = runner.run(reference_disc, {"LD_PRELOAD": runner.shim,
                                             "QUORVEL_RECORD_FILE": record,
                                             "XDG_STATE_HOME": os.path.join(reference_root, "state")})
        if result.returncode != 0:
            raise SystemExit("uninterrupted conversion failed:\n" + result.stdout.decode() +
                             result.stderr.decode())
        reference = kill_test.reference_digest(original, reference_disc)
        undo_root = os.path.join(work, "undo")
        if args.undo:
            # The cuts fall on the undo: each state starts from the converted disc and its record,
            # moved to the one folder where the uninterrupted undo ran and every rerun runs.
            start_root = os.path.join(work, "converted")
            kill_test.copy_tree(reference_root, start_root)
            shutil.rmtree(reference_root)
            reference_root = undo_root
            kill_test.copy_tree(start_root, reference_root)
            os.remove(record)
            runner.arguments = ["--undo"]
            result = runner.run(os.path.join(reference_root, "disc"),
                                {"LD_PRELOAD": runner.shim, "QUORVEL_RECORD_FILE": record,
                                 "XDG_STATE_HOME": os.path.join(reference_root, "state")})
            if (result.returncode != 0 or
                    kill_test.tree_digest(os.path.join(reference_root, "disc")) != original_digest):
                raise SystemExit("uninterrupted undo failed:\n" + result.stdout.decode() +
                                 result.stderr.decode())
            reference = original_digest
        else:
            start_root = original_root
        ops = read_record(record, reference_root)
        # The record names the reference's folder; with it gone, each state's disc is that
        # disc moved, and its job goes on with the record.
        shutil.rmtree(reference_root)
        states = crash_states(ops, random.Random(args.seed), args.stream_subsets)
        unique = {}
        for label, indices in states:
            unique.setdefault(state_key(indices), (label, indices))
        print("power cuts: %d calls, %d barriers, %d distinct states" %
              (len(ops), sum(op[0] == "S" for op in ops), len(unique)))

        def check(slot_and_state):
            slot, (label, indices) = slot_and_state
            root = undo_root if args.undo else os.path.join(work, "state-%d" % slot)
            kill_test.copy_tree(start_root, root)
            for index in indices:
                apply(root, ops[index])
            disc = os.path.join(root, "disc")
            state = os.path.join(root, "state")
            records = os.path.join(state, "quorvel")
            if args.undo:
                return check_undo_rerun(runner, disc, state, original_digest, label)
            scratch = os.path.join(work, "undo-%d" % slot)
            failure = kill_test.check_undo(disc, records, original_digest, label, scratch)
            if failure:
                return failure
            result = runner.run(disc, {"XDG_STATE_HOME": state})
            got = kill_test.tree_digest(disc)
            if result.returncode != 0 or got != reference:
                return "%s: rerun exited %d or differs from the uninterrupted conversion\n%s" % (
                    label, result.returncode, result.stdout.decode())
            return kill_test.check_undo(disc, records, original_digest, label + ", rerun", scratch)

        # Each worker reuses its own folder: states are handed out in rounds of `jobs`. The
        # undo's states share one folder, that of the undo they were cut from.
        items = list(unique.values())
        jobs = 1 if args.undo else args.jobs
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            for start in range(0, len(items), jobs):
                batch = list(enumerate(items[start:start + jobs]))
                for failure in pool.map(check, batch):
                    if failure:
                        failures.append(failure)
                        print("FAIL " + failure)
        print("power cuts: %d of %d reruns equal the reference" %
              (len(items) - len(failures), len(items)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
