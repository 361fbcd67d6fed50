"""What every zalmor command promises its user, kept in one place so that a new command
inherits it instead of restating it:

- an output is never one of the run's inputs (nor a file it reads, such as NAME.types);
- every output is checked before the work (its folder exists and takes a new file, no
  folder is in its way), by making its temporary file there at once;
- all files of a run go to temporaries beside their destinations and are renamed into
  place together at the end: an earlier output stays whole until the new one is complete,
  and a failure, Ctrl-C (SIGINT), SIGTERM or SIGHUP leaves no temporary behind;
- a failure is told in one line, never a traceback (ZALMOR_TRACEBACK=1 shows it, for
  developers), and so is a warning, each text once.

    def body(args):
        with Outputs(inputs=[args.file]) as out:
            out.reserve(args.output)          # before the work: refused here if it cannot be
            ...                               # the work
            out.write_text(args.output, text)
        # here every file is in place, or none
    sys.exit(run_command("ioq", body, args))
"""

import contextlib
import os
import signal
import sys
import tempfile
import warnings


class CommandError(Exception):
    """A refusal or failure the user is told in one line (the text, without the command's
    name)."""


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the program is so that its clean-up runs as for
    Ctrl-C."""


_STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)

# The files this process has put in place (Outputs.commit): a stop signal held back while
# they were renamed arrives only after them, and must not be told as a run that wrote none.
_placed = None  # a list while run_command runs
# Every Outputs entered and not yet committed or discarded: a signal can reach Python in the
# first instruction of the code that would clean up after it, and run_command sweeps up
# after any that did.
_live = []


def _raise_terminated(signum, _frame):
    raise Terminated(signal.Signals(signum).name)


@contextlib.contextmanager
def stop_signals_raise():
    """SIGTERM and SIGHUP raise Terminated while this lasts, so that `finally` clauses and
    Outputs remove what they made; a signal ignored when the command started (nohup) stays
    ignored. Only the main thread can take signals: elsewhere nothing changes."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for s in _STOP_SIGNALS:
        old = signal.getsignal(s)
        if old is signal.SIG_IGN:
            continue
        previous[s] = old
        signal.signal(s, _raise_terminated)
    try:
        yield
    finally:
        for s, old in previous.items():
            signal.signal(s, old)


@contextlib.contextmanager
def _signals_held():
    """Ctrl-C, SIGTERM and SIGHUP wait until this is over, so that what it does is done
    whole (a temporary made and recorded, every file renamed into place), and are then
    raised as they would have been.

    Blocking the signals is not enough: one that arrived just before is already taken by
    the process and waits only for Python to run its handler, which would raise in the
    middle. On the main thread the handlers are therefore swapped for ones that note the
    signal. A signal still raises while this is set up, before the work starts: callers
    clean up after an exception from here as after one from the work."""
    import threading

    held = set(_STOP_SIGNALS) | {signal.SIGINT}
    noted = []
    saved = {}
    old_mask = None
    try:
        if threading.current_thread() is threading.main_thread():
            for s in held:
                old = signal.getsignal(s)
                if callable(old):
                    saved[s] = old
                    signal.signal(s, lambda signum, _frame: noted.append(signum))
        with contextlib.suppress(AttributeError, ValueError):
            # The mask as it is first, so that it is restored whatever raises after.
            old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, ())
            signal.pthread_sigmask(signal.SIG_BLOCK, held)
        yield
    finally:
        for s, old in saved.items():
            signal.signal(s, old)
        if old_mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)
        if noted:
            saved[noted[0]](noted[0], None)


def _one_line(text):
    lines = [ln.strip() for ln in str(text).strip().splitlines() if ln.strip()]
    return lines[0] if lines else ""


def plural(n, what):
    """`1 frame`, `2 frames`."""
    return f"{n} {what}{'' if n == 1 else 's'}"


@contextlib.contextmanager
def warnings_as_lines(prog):
    """Warnings told as lines of the command's own, each text once, instead of Python's
    file, line and source."""
    told = set()

    def show(message, _category, _filename, _lineno, _file=None, _line=None):
        text = _one_line(message)
        if text and text not in told:
            told.add(text)
            sys.stderr.write(f"{prog}: {text}\n")

    with warnings.catch_warnings():
        warnings.showwarning = show
        yield


def describe(error):
    """One line for an unexpected exception: its own text, or its kind when it has none."""
    if isinstance(error, MemoryError):
        text = _one_line(error)
        if not text or text == "std::bad_alloc":
            return "out of memory"
        return text if text.lower().startswith("out of memory") else f"out of memory: {text}"
    if isinstance(error, OSError) and error.strerror:
        where = error.filename if error.filename is not None else ""
        return f"{where}: {error.strerror}" if where else error.strerror
    text = _one_line(error)
    return text or type(error).__name__


def output_stem(name, given, option="-o"):
    """`name`, the stem a command adds its files' endings to, refused unless it names a file:
    `-o out/` or `-o .` would write hidden files such as out/.ioq or ..ioq."""
    if os.path.basename(name) in ("", ".", ".."):
        raise CommandError(f"{option} '{given}' names a folder, not the stem of the files "
                           f"to write (e.g. {option} run)")
    return name


def _discard_live():
    """Removes the temporaries of every Outputs left open (see _live), whatever stops it."""
    stop = None
    while _live:
        try:
            _live[-1].discard()
        except KeyboardInterrupt as e:
            stop = stop or e
    if stop is not None:
        raise stop


def run_command(prog, body, *args):
    """Runs body(*args) as the command `prog`: its return value (None: 0) is the exit
    status; CommandError, any other exception, Ctrl-C, SIGTERM and SIGHUP end it with one
    line on standard error and status 1. A closed pipe on standard output (`| head`) ends it
    quietly with 0."""
    global _placed
    _placed = []
    try:
        try:
            with stop_signals_raise(), warnings_as_lines(prog):
                status = body(*args)
        finally:
            _discard_live()
        return 0 if status is None else status
    except CommandError as e:
        sys.stderr.write(f"{prog}: {_one_line(e)}\n")
        return 1
    except BrokenPipeError:
        # The reader has all it wanted; Python would complain when it flushes at exit.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - for the flush at exit
        return 0
    except KeyboardInterrupt as e:
        why = "terminated" if isinstance(e, Terminated) else "interrupted"
        if _placed:
            # The run was over: its files are whole and in place, and the status says so.
            sys.stderr.write(f"{prog}: {why} after every output was written\n")
            return 0
        sys.stderr.write(f"{prog}: {why}; no output written\n")
        return 1
    except Exception as e:  # noqa: BLE001 - a command answers in one line, not a traceback
        if os.environ.get("ZALMOR_TRACEBACK"):
            raise
        sys.stderr.write(f"{prog}: {describe(e)}\n")
        return 1
    finally:
        _placed = None


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


class Outputs:
    """The files one run writes, all or none (see the module's text). Use as a context
    manager: leaving it by an exception removes every temporary and keeps the earlier files;
    leaving it normally renames every file written into place."""

    def __init__(self, inputs=()):
        self.inputs = [os.fspath(p) for p in inputs if p is not None]
        self._temps = {}  # destination -> temporary path
        self._written = set()
        self._folders = []  # folders made for this run, removed again if left empty

    def __enter__(self):
        _live.append(self)
        return self

    def __exit__(self, kind, _value, _tb):
        try:
            if kind is None:
                self.commit()
        finally:
            self.discard()
        return False

    # -------------------------------------------------------------- before the work

    def add_input(self, path):
        """A file read after the outputs were reserved; refused if it is one of them."""
        path = os.fspath(path)
        for dest in self._temps:
            if os.path.exists(path) and _same_file(dest, path):
                raise CommandError(f"{dest}: this output is also an input of the run; "
                                   "name another output")
        self.inputs.append(path)

    def folder(self, path):
        """Makes the folder `path` for the run's files when it is not there (its parent must
        be: a slip in a path does not grow a tree of folders); a folder made here and left
        empty by a failed run is removed again."""
        path = os.fspath(path)
        if not path:
            raise CommandError("'' names no folder")
        if os.path.isdir(path):
            return path
        if os.path.exists(path):
            raise CommandError(f"{path}: a file is in the way of the output folder")
        parent = os.path.dirname(os.path.abspath(path))
        if os.path.exists(parent) and not os.path.isdir(parent):
            raise CommandError(f"{path}: cannot make the folder: "
                               f"{os.path.dirname(path)} is a file")
        if not os.path.isdir(parent):
            raise CommandError(f"{path}: cannot make the folder: no folder "
                               f"{os.path.dirname(path)}")
        with _signals_held():
            try:
                os.mkdir(path)
            except OSError as e:
                raise CommandError(f"{path}: cannot make the folder: {e.strerror}") from None
            self._folders.append(path)
        return path

    def reserve(self, path):
        """Checks that `path` can be written and makes its temporary beside it; returns the
        temporary's path (with the destination's extension, for writers that go by it)."""
        path = os.fspath(path)
        if not os.path.basename(path):
            raise CommandError(f"'{path}' names a folder, not a file")
        if path in self._temps:
            return self._temps[path]
        for other in self._temps:
            if _same_file(other, path):
                raise CommandError(f"{path}: the run would write this file twice")
        for source in self.inputs:
            if os.path.exists(path) and _same_file(path, source) or (
                    not os.path.exists(path) and os.path.abspath(path) == os.path.abspath(source)):
                raise CommandError(f"{path}: the output would overwrite an input of the run "
                                   f"({source}); name another output")
        if os.path.isdir(path):
            raise CommandError(f"{path}: a folder is in the way of the output")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise CommandError(f"{path}: cannot write: no folder {os.path.dirname(path) or '.'}")
        base = os.path.basename(path)
        ext = os.path.splitext(base)[1]
        # A signal between making the temporary and recording it would leave it behind.
        with _signals_held():
            try:
                fd, temp = tempfile.mkstemp(prefix=f".{base}.", suffix=f".tmp{ext}", dir=folder)
            except OSError as e:
                raise CommandError(f"{path}: cannot write: {e.strerror}") from None
            os.close(fd)
            self._temps[path] = temp
        return temp

    # -------------------------------------------------------------- the writing

    def temp(self, path):
        """The temporary of `path` (reserved now if it was not), for a writer that takes a
        file name; the file counts as written."""
        temp = self.reserve(path)
        self._written.add(path)
        return temp

    def write_bytes(self, path, data):
        temp = self.temp(path)
        try:
            with open(temp, "wb") as fh:
                fh.write(data)
        except OSError as e:
            raise CommandError(f"{path}: cannot write: {e.strerror}") from None

    def write_text(self, path, text):
        self.write_bytes(path, text.encode("utf-8"))

    @contextlib.contextmanager
    def open_text(self, path):
        """A text stream into the temporary of `path`."""
        temp = self.temp(path)
        try:
            with open(temp, "w", encoding="utf-8", newline="") as fh:
                yield fh
        except OSError as e:
            raise CommandError(f"{path}: cannot write: {e.strerror}") from None

    # -------------------------------------------------------------- the end

    def commit(self):
        """Every file written goes into place (data on disk first, permissions as any new
        file's); reserved files never written are dropped. Signals wait until all are in
        place, so that an interrupt cannot leave some new files beside some old ones."""
        umask = os.umask(0)
        os.umask(umask)
        try:
            with _signals_held():
                self._rename_all(umask)
        finally:
            self.discard()

    def _rename_all(self, umask):
        for dest, temp in list(self._temps.items()):
            if dest not in self._written:
                continue
            try:
                with open(temp, "rb") as fh:
                    os.fsync(fh.fileno())
                os.chmod(temp, 0o666 & ~umask)
            except OSError as e:
                raise CommandError(f"{dest}: cannot write: {e.strerror}") from None
        for dest, temp in list(self._temps.items()):
            if dest in self._written:
                try:
                    os.replace(temp, dest)
                except OSError as e:
                    raise CommandError(f"{dest}: cannot write: {e.strerror}") from None
                del self._temps[dest]
                if _placed is not None and not any(dest in other._temps.values()
                                                   for other in _live):
                    _placed.append(dest)  # a run's output, not another Outputs' temporary

    def discard(self):
        """Removes every temporary still there, and the folders made for the run if empty;
        a signal that stops this is raised once all are gone."""
        stop = None
        while self._temps or self._folders:
            try:
                with _signals_held():
                    self._remove_all()
            except KeyboardInterrupt as e:
                stop = stop or e
        if self in _live:
            _live.remove(self)
        if stop is not None:
            raise stop

    def _remove_all(self):
        for dest, temp in list(self._temps.items()):
            with contextlib.suppress(OSError):
                os.unlink(temp)
            del self._temps[dest]
        while self._folders:
            with contextlib.suppress(OSError):
                os.rmdir(self._folders[-1])  # only when empty
            self._folders.pop()
