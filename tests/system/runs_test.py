#!/usr/bin/python3
"""Whole-program runs: input that ends at any prompt, runs stopped by a signal, and runs
that meet a resource limit or lose their console.

ZALMOR_BINARY names the program; the tests run it in scratch folders with piped answers.
"""
import glob
import math
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY = os.environ.get("ZALMOR_BINARY", os.path.join(ROOT, "build", "dev", "zalmor"))
EXAMPLES = os.path.join(ROOT, "examples")
TRANSCRIPTS = os.path.join(ROOT, "tests", "transcripts")
# Only a guard against a program that never ends; no test depends on speed. Generous: the
# sanitizer build on a loaded machine takes minutes where a release build takes seconds.
HANG_GUARD_SECONDS = 600


def write_model(path, natoms, ntypes, spacing=1.9):
    """Atoms on a simple cubic lattice, types cycling 1..ntypes."""
    side = 1
    while side ** 3 < natoms:
        side += 1
    with open(path, "w") as f:
        f.write(f"{natoms} atoms of {ntypes} types\n")
        for i in range(natoms):
            x, y, z = i % side, (i // side) % side, i // (side * side)
            f.write(f"{i + 1} {i % ntypes + 1} {x * spacing} {y * spacing} {z * spacing}\n")


class Scratch:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zalmor-runs-")
        for f in glob.glob(os.path.join(EXAMPLES, "*.coords")) + glob.glob(
                os.path.join(EXAMPLES, "*.urms")) + glob.glob(
                os.path.join(TRANSCRIPTS, "models", "*")):
            shutil.copy(f, self.dir)

    def ioq_files(self):
        return sorted(n for n in os.listdir(self.dir) if n.endswith(".ioq"))

    def temp_files(self):
        return sorted(n for n in os.listdir(self.dir) if n.endswith(".tmp"))

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class InputEndsAtEveryPrompt(unittest.TestCase):
    """Every prefix of a complete answers file stops the run: non-zero, a message on
    standard error, no .ioq file, and promptly (never a prompt repeated forever)."""

    ANSWERS = [
        os.path.join(EXAMPLES, "nacl.answers"),          # option 0
        os.path.join(EXAMPLES, "nacl_urms.answers"),     # option 4 with total function
        os.path.join(TRANSCRIPTS, "thermal_option1.in"),
        os.path.join(TRANSCRIPTS, "thermal_option2_three_types.in"),
        os.path.join(TRANSCRIPTS, "thermal_menu_again.in"),  # option 3
        os.path.join(TRANSCRIPTS, "urms_missing_then_found.in"),
    ]

    def test_every_prefix(self):
        for answers in self.ANSWERS:
            with open(answers) as f:
                lines = f.read().splitlines(keepends=True)
            for k in range(len(lines)):
                with self.subTest(answers=os.path.basename(answers), lines=k):
                    scratch = Scratch()
                    try:
                        run = subprocess.run([BINARY], cwd=scratch.dir, input="".join(lines[:k]),
                                             capture_output=True, text=True,
                                             timeout=HANG_GUARD_SECONDS)
                        self.assertEqual(run.returncode, 2, run.stderr)
                        self.assertIn("standard input ended", run.stderr)
                        self.assertEqual(scratch.ioq_files(), [])
                    finally:
                        scratch.close()

    def test_complete_answers_finish(self):
        scratch = Scratch()
        try:
            with open(os.path.join(EXAMPLES, "nacl_urms.answers")) as f:
                run = subprocess.run([BINARY], cwd=scratch.dir, stdin=f, capture_output=True,
                                     text=True, timeout=HANG_GUARD_SECONDS)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(scratch.ioq_files(), ["nacl_urms.ioq"])
        finally:
            scratch.close()


class ArgumentsAndStops(unittest.TestCase):
    """What reaches standard output and standard error when the program does not run the
    whole dialogue."""

    def run_program(self, args, answers=""):
        scratch = Scratch()
        try:
            return subprocess.run([BINARY] + args, cwd=scratch.dir, input=answers,
                                  capture_output=True, text=True, timeout=HANG_GUARD_SECONDS)
        finally:
            scratch.close()

    def test_help_and_version_print_and_exit_0(self):
        version = self.run_program(["--version"])
        self.assertEqual((version.returncode, version.stderr), (0, ""))
        self.assertRegex(version.stdout, r"^zalmor [0-9]+\.[0-9]+\.[0-9]+\n$")
        helped = self.run_program(["--help"])
        self.assertEqual((helped.returncode, helped.stderr), (0, ""))
        self.assertTrue(helped.stdout.startswith("Usage: zalmor [--help | --version]\n"))

    def test_other_arguments_get_the_usage_and_no_dialogue(self):
        for args in (["tiny"], ["-h"], ["--version", "x"]):
            with self.subTest(args=args):
                run = self.run_program(args, answers="tiny\n")
                self.assertEqual((run.returncode, run.stdout), (2, ""))
                self.assertIn("Usage: zalmor [--help | --version]", run.stderr)

    def test_every_engine_prints_the_same_and_an_unknown_one_is_said(self):
        # The example on a grid short enough for the literal kernels.
        answers = "\n".join(["nacl", "1", "", "", "3.63", "9.577", "1", "0.08", "20", "0.1",
                             "1", "nacl"]) + "\n"
        outputs = {}
        scratch = Scratch()  # one folder: the full path of the model is printed
        self.addCleanup(scratch.close)
        for engine in ("", "auto", "pairs", "moments", "reference", "fast"):
            with self.subTest(engine=engine):
                run = subprocess.run([BINARY], cwd=scratch.dir, input=answers,
                                     capture_output=True, text=True,
                                     env=dict(os.environ, ZALMOR_ENGINE=engine),
                                     timeout=HANG_GUARD_SECONDS)
                self.assertEqual(run.returncode, 0, run.stderr)
                outputs[engine] = run.stdout
                named = "ZALMOR_ENGINE=fast names no engine" in run.stderr
                self.assertEqual(named, engine == "fast", run.stderr)
        self.assertEqual(len(set(outputs.values())), 1)

    def test_empty_answer_at_the_file_check_stops_on_standard_error(self):
        answers = "tiny\n\n\n\n\n\n4\nmissing\n\n"
        run = self.run_program([], answers=answers)
        self.assertEqual(run.returncode, 1)
        self.assertTrue(run.stdout.endswith(" Give file name or return to stop > "), run.stdout)
        self.assertEqual(run.stderr, "zalmor: No file name given: stopping\n")


class FiniteGridsRun(unittest.TestCase):
    """Every grid whose values are finite floats runs to the end, whatever Qmax and delta-Q
    are and wherever the grid starts; (n Qmax) / n need not give back Qmax exactly."""

    # Reported as refused: Qmax not a whole multiple of delta-Q in the last float digit.
    KNOWN = [(0.9, 0.1), (3.6, 0.1), (5.3, 0.1), (7.2, 0.1), (31.4, 0.03), (1.0, 0.3)]

    def grids(self):
        rng = random.Random(20261207)
        for qmax, dq in self.KNOWN:
            yield qmax, dq, 1
            yield qmax, dq, 2
        for _ in range(80):
            n = int(10 ** rng.uniform(0, math.log10(99999)))
            qmax = 10 ** rng.uniform(-30, 30) * rng.choice([1, -1, 1, 1])
            # A step that rounds Qmax / delta-Q to n, printed with more or fewer digits.
            dq = qmax / (n + rng.uniform(-0.45, 0.45))
            digits = rng.choice([3, 6, 9])
            yield float(f"{qmax:.{digits}g}"), float(f"{dq:.{digits}g}"), rng.choice([1, 2])

    def test_random_finite_grids_are_never_refused(self):
        scratch = Scratch()
        try:
            for qmax, dq, start in self.grids():
                with self.subTest(qmax=qmax, dq=dq, start=start):
                    answers = ["tiny", "", "", "", "", "", "0", repr(qmax), repr(dq), str(start),
                               "grid"]
                    run = subprocess.run([BINARY], cwd=scratch.dir, capture_output=True,
                                         input="\n".join(answers) + "\n", text=True,
                                         timeout=HANG_GUARD_SECONDS)
                    self.assertEqual(run.returncode, 0, run.stdout[-300:] + run.stderr)
                    self.assertIn(" Block 4 contains total i(Q)", run.stdout)
        finally:
            scratch.close()


class InterruptedRuns(unittest.TestCase):
    """A run stopped by a signal leaves no partial .ioq, no temporary file that a later run
    would not clear, and the earlier .ioq of the same name intact."""

    EARLIER = "# an earlier result that must survive\n"

    def setUp(self):
        self.scratch = Scratch()
        with open(os.path.join(self.scratch.dir, "big.ioq"), "w") as f:
            f.write(self.EARLIER)

    def tearDown(self):
        self.scratch.close()

    def start(self, model, ntypes, qmax, dq, ignore=(), env=None):
        answers = [model, "", "", ""] + [""] * ntypes + ["0", str(qmax), str(dq), "2", "big"]

        def ignore_signals():
            for sig in ignore:
                signal.signal(sig, signal.SIG_IGN)
        return subprocess.Popen([BINARY], cwd=self.scratch.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                text=True, preexec_fn=ignore_signals,
                                env=env), "\n".join(answers) + "\n"

    def earlier_intact(self):
        with open(os.path.join(self.scratch.dir, "big.ioq")) as f:
            return f.read() == self.EARLIER

    def wait_until_writing(self, proc):
        """Polls until the run has started its output file; fails saying whether the run
        ended first (with its status) or the guard expired (a loaded machine, or a hang)."""
        deadline = time.monotonic() + HANG_GUARD_SECONDS
        while time.monotonic() < deadline and proc.poll() is None:
            if self.scratch.temp_files():
                return
            time.sleep(0.002)
        if proc.poll() is None:
            self.fail(f"the {HANG_GUARD_SECONDS} s guard expired before the run started its "
                      "output file (a loaded machine, or a hang)")
        self.fail(f"the run ended (status {proc.returncode}) before its output file was seen "
                  "started")

    def run_until_writing(self, sig):
        # Many blocks of many points: writing takes long enough to be caught at it.
        write_model(os.path.join(self.scratch.dir, "big.coords"), 60, 20)
        proc, answers = self.start("big", 20, 500, 0.005)
        proc.stdin.write(answers)
        proc.stdin.close()
        self.wait_until_writing(proc)
        proc.send_signal(sig)
        proc.wait(timeout=HANG_GUARD_SECONDS)
        return proc

    def test_interrupt_during_calculation(self):
        write_model(os.path.join(self.scratch.dir, "big.coords"), 4000, 2)
        # The per-pair engine takes seconds over 100000 Q values of this model; the moments
        # engine, with its sums in Q as chirp-z transforms, would be done within the second.
        pairs = dict(os.environ, ZALMOR_ENGINE="pairs")
        for sig in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=sig.name):
                proc, answers = self.start("big", 2, 500, 0.005, env=pairs)
                proc.stdin.write(answers)
                proc.stdin.close()
                time.sleep(1.0)
                self.assertIsNone(proc.poll(), "the run ended before it could be interrupted")
                proc.send_signal(sig)
                proc.wait(timeout=HANG_GUARD_SECONDS)
                self.assertEqual(proc.returncode, -sig)
                self.assertTrue(self.earlier_intact())
                self.assertEqual(self.scratch.temp_files(), [])

    def test_interrupt_while_writing_removes_temporary_file(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                proc = self.run_until_writing(sig)
                self.assertEqual(proc.returncode, -sig)
                self.assertTrue(self.earlier_intact())
                self.assertEqual(self.scratch.temp_files(), [])

    def test_signals_ignored_at_start_stay_ignored(self):
        # nohup zalmor < answers &: the hangup of the terminal must not end the run.
        write_model(os.path.join(self.scratch.dir, "big.coords"), 60, 20)
        proc, answers = self.start("big", 20, 500, 0.005, ignore=(signal.SIGHUP, signal.SIGINT))
        proc.stdin.write(answers)
        proc.stdin.close()
        self.wait_until_writing(proc)
        proc.send_signal(signal.SIGHUP)
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=HANG_GUARD_SECONDS)
        self.assertEqual(proc.returncode, 0)
        self.assertFalse(self.earlier_intact())
        self.assertEqual(self.scratch.temp_files(), [])

    def test_killed_while_writing_then_next_run_clears_its_litter(self):
        self.run_until_writing(signal.SIGKILL)
        self.assertTrue(self.earlier_intact())
        # A later run writing the same file removes the dead run's temporary file.
        answers = ["tiny", "", "", "", "", "", "0", "1", "0.5", "", "big"]
        run = subprocess.run([BINARY], cwd=self.scratch.dir, input="\n".join(answers) + "\n",
                             capture_output=True, text=True, timeout=HANG_GUARD_SECONDS)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.scratch.temp_files(), [])
        self.assertFalse(self.earlier_intact())


def sanitized():
    """Sanitizer builds reserve terabytes of address space: no address-space limit fits."""
    with open(BINARY, "rb") as f:
        return b"__asan" in f.read()


class LimitsAndClosedConsole(unittest.TestCase):
    """Out of memory, a file-size limit and a closed standard output each end in a known
    state: a message and exit status 1 with the earlier .ioq intact and no temporary file,
    or a finished file."""

    EARLIER = "# an earlier result that must survive\n"

    def setUp(self):
        self.scratch = Scratch()

    def tearDown(self):
        self.scratch.close()

    def path(self, name):
        return os.path.join(self.scratch.dir, name)

    def run_limited(self, answers, limit, value):
        def apply():
            resource.setrlimit(limit, (value, value))
        return subprocess.run([BINARY], cwd=self.scratch.dir, input=answers, capture_output=True,
                              text=True, preexec_fn=apply, timeout=HANG_GUARD_SECONDS)

    def earlier_file(self, name, mode):
        with open(self.path(name), "w") as f:
            f.write(self.EARLIER)
        os.chmod(self.path(name), mode)

    def assert_earlier_intact(self, name):
        with open(self.path(name)) as f:
            self.assertEqual(f.read(), self.EARLIER)
        self.assertEqual(self.scratch.temp_files(), [])

    @unittest.skipIf(sanitized(), "address-space limit under a sanitizer")
    def test_out_of_memory_is_reported(self):
        # 20 types and 100000 Q values need several hundred MB of work arrays and blocks.
        write_model(self.path("big.coords"), 40, 20)
        self.earlier_file("big.ioq", 0o600)
        answers = "\n".join(["big", "", "", ""] + [""] * 20 + ["0", "1000", "0.01", "", "big"])
        run = self.run_limited(answers + "\n", resource.RLIMIT_AS, 200 * 2**20)
        self.assertEqual(run.returncode, 1, run.stderr)
        last = run.stdout.splitlines()[-1]
        self.assertRegex(last, r"^ Out of memory: cannot allocate .* bytes\) for \S")
        self.assertNotIn(" Block ", run.stdout)
        self.assert_earlier_intact("big.ioq")

    @unittest.skipIf(sanitized(), "address-space limit under a sanitizer")
    def test_tight_memory_never_aborts_the_run(self):
        # Too little room for the moments engine's histograms, then for a second thread:
        # the run goes on with less, or says it is out of memory; it never aborts.
        write_model(self.path("m3.coords"), 5000, 3)
        answers = "\n".join(["m3", "", "", "", "", "", "", "0", "", "", "", "m3"]) + "\n"
        for megabytes in (30, 15):
            with self.subTest(megabytes=megabytes):
                run = self.run_limited(answers, resource.RLIMIT_AS, megabytes * 2**20)
                self.assertIn(run.returncode, (0, 1), run.stderr)
                if run.returncode == 1:
                    self.assertRegex(run.stdout.splitlines()[-1], r"^ Out of memory")
                else:
                    self.assertIn(" Block 7 contains total i(Q)", run.stdout)
                self.assertNotIn("terminate", run.stderr)
                self.assertNotIn("libgomp", run.stderr)

    def test_file_size_limit_is_a_write_error(self):
        self.earlier_file("nacl.ioq", 0o600)
        with open(os.path.join(EXAMPLES, "nacl.answers")) as f:
            run = self.run_limited(f.read(), resource.RLIMIT_FSIZE, 50 * 1024)
        self.assertEqual(run.returncode, 1, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(lines[-1], " Cannot write output file nacl.ioq: File too large")
        self.assertTrue(lines[-2].startswith(" Block "), "the lines before were lost")
        self.assert_earlier_intact("nacl.ioq")

    def test_closed_standard_output_still_finishes_the_file(self):
        self.earlier_file("nacl.ioq", 0o640)
        with open(os.path.join(EXAMPLES, "nacl.answers")) as answers:
            proc = subprocess.Popen([BINARY], cwd=self.scratch.dir, stdin=answers,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            proc.stdout.read(10)
            proc.stdout.close()  # like "| head -c 10"
            proc.wait(timeout=HANG_GUARD_SECONDS)
        self.assertEqual(proc.returncode, 0, proc.stderr.read())
        proc.stderr.close()
        with open(self.path("nacl.ioq")) as f:
            self.assertEqual(sum(line.startswith("# block ") for line in f), 4)
        # The new file replaces the old one with its permissions.
        self.assertEqual(os.stat(self.path("nacl.ioq")).st_mode & 0o7777, 0o640)
        self.assertEqual(self.scratch.temp_files(), [])


if __name__ == "__main__":
    if not os.access(BINARY, os.X_OK):
        sys.exit(f"no program at {BINARY}; set ZALMOR_BINARY")
    unittest.main()
