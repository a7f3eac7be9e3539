"""Outputs written under temporary names and put in place as one.

Every file and directory the package writes goes through ``Staged``:

    with Staged(protect=inputs) as out:
        temp = out.file("fields.xdmf")          # beside the target, mode 0600 for now
        data = out.file("fields.h5", suffix=".h5")
        ...                                     # write temp and data
        out.commit()                            # both in place, or neither

The rules kept here, in one place:

- a temporary name lies beside the output's target: a symbolic link is
  written through (the link stays, its target is replaced), and files that
  belong together go beside the target too;
- an output is never a protected file: an input, or any file an input
  refers to, whatever the path (links, hard links, ``..``);
- a committed file gets the mode of the file it replaces, or 0666 less the
  umask (0777 for a directory);
- ``commit`` puts the whole group in place, or, on any exception or on a
  signal that arrives while it renames, puts every previous file back;
- ``discard`` (and leaving the ``with`` block without ``commit``) removes
  every temporary file and directory;
- ``check_room`` refuses, before any work, a group larger than the free
  space of its file systems, and ``reserve`` allocates a file's blocks so
  that a full disk cannot strike while it is written through a memory map;
- a failed write is ``OutputError``: one line naming the file.
"""

from __future__ import annotations

import errno
import os
import shutil
import signal
import stat
import sys
import tempfile
import threading
import uuid
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple, Union

__all__ = ["OutputError", "Staged", "Pending", "new_file_mode", "same_file", "target_of",
           "check_room", "free_space", "reason", "reserve", "release", "open_rows", "within"]

# Signals that end a run: held while a group is renamed into place, and
# answered by putting the previous files back.
_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                 if hasattr(signal, name))

# Called after each rename of a commit (tests pause or signal there).
_between_renames: Optional[Callable[[], None]] = None

# Write failures whose cause is the disk, reported by what they mean.
_DISK = {errno.ENOSPC: "the disk is full", errno.EIO: "input/output error on the disk"}
if hasattr(errno, "EDQUOT"):
    _DISK[errno.EDQUOT] = "the disk quota is exceeded"


class OutputError(ValueError):
    """An output that cannot be written, in one line naming it."""


def reason(e: BaseException) -> str:
    """What went wrong, in a few words: an OSError's own text, or the
    disk's state for a full disk or a failing one."""
    if isinstance(e, OSError):
        if e.errno in _DISK:
            return f"{e.strerror or os.strerror(e.errno)} ({_DISK[e.errno]})"
        if e.strerror:
            return e.strerror
    text = " ".join(str(e).split())[:200]
    return text or type(e).__name__


def new_file_mode() -> int:
    """The mode a newly created file gets: 0666 less the umask."""
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: through links, hard links too, and
    for paths that do not exist yet by where they lead."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.normcase(os.path.realpath(a)) == os.path.normcase(os.path.realpath(b))


def target_of(path: str) -> str:
    """Where writing ``path`` puts the data: a link's final target."""
    return os.path.realpath(os.fspath(path))


def free_space(folder: str) -> Tuple[int, str]:
    """(bytes free to this user in ``folder``'s file system, how to say it)."""
    try:
        st = os.statvfs(folder)
        return min(st.f_bavail * st.f_frsize, sys.maxsize), f"free in {folder}"
    except (OSError, AttributeError):
        return sys.maxsize, "a file can hold"


def within(folder: str, path: str) -> bool:
    """Whether ``path`` leads to a file inside ``folder``."""
    folder, path = os.path.realpath(folder), os.path.realpath(path)
    try:
        return os.path.commonpath([folder, path]) == folder
    except ValueError:  # another drive
        return False


def _device(folder: str) -> Union[int, str]:
    try:
        return os.stat(folder).st_dev
    except OSError:
        return folder


def check_room(needs: Iterable[Tuple[str, int]], what: str, *, at_least: bool = False) -> None:
    """Refuse, before any work, outputs larger than their file systems have
    room for. ``needs``: (a path written, bytes it takes), summed per file
    system (of the path's target folder); ``what`` begins the message, e.g.
    "-k 100: 100 realisations of 5000 nodes"."""
    total: Dict[Union[int, str], List] = {}
    for path, nbytes in needs:
        folder = os.path.dirname(target_of(path)) or "."
        entry = total.setdefault(_device(folder), [folder, 0])
        entry[1] += int(nbytes)
    for folder, need in total.values():
        room, where = free_space(folder)
        if need > room:
            raise OutputError(f"{what} need {'at least ' if at_least else ''}{need:,} bytes "
                              f"({need / 2**30:,.3g} GiB), more than the {room:,} bytes {where}")


def _remove(path: Optional[str]) -> None:
    if not path:
        return
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
    except FileNotFoundError:
        pass
    except OSError:
        pass


def _fsync(path: str, directory: bool = False) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0))
    except OSError:
        if directory:
            return
        raise
    try:
        os.fsync(fd)
    except OSError:
        if not directory:  # some file systems cannot sync a folder
            raise
    finally:
        os.close(fd)


def _note_signals() -> Tuple[Dict[int, Any], List[int]]:
    """Replace the handlers of the signals that end a run by one that
    notes them: (the previous handlers, the list of signals noted). Only
    the main thread handles signals; ignored ones stay ignored."""
    caught: List[int] = []
    saved: Dict[int, Any] = {}
    if threading.current_thread() is not threading.main_thread():
        return saved, caught

    def note(signum: int, frame: Any) -> None:
        caught.append(signum)

    for s in _SIGNALS:
        try:
            handler = signal.getsignal(s)
            if handler in (signal.SIG_IGN, None):
                continue
            saved[s] = signal.signal(s, note)
        except (ValueError, OSError):
            pass
    return saved, caught


def _restore_signals(saved: Dict[int, Any]) -> None:
    for s, handler in saved.items():
        signal.signal(s, handler)


class _Entry:
    __slots__ = ("path", "target", "temp", "kind", "size")

    def __init__(self, path: str, target: str, temp: str, kind: str, size: int):
        self.path, self.target, self.temp, self.kind, self.size = path, target, temp, kind, size


class Staged:
    """A group of outputs written under temporary names beside their
    targets and put in place together by ``commit``.

    ``protect``: files that no output may be (the inputs and every file
    they refer to): a mapping from such a path to why, e.g. ``{"a.xdmf":
    "it is the input file", "data.h5": "it holds the data of the input
    a.xdmf"}``, or just paths."""

    def __init__(self, protect: Union[Mapping[str, str], Iterable[str]] = ()):
        if isinstance(protect, Mapping):
            self.protected: Dict[str, str] = {os.fspath(k): v for k, v in protect.items()}
        else:
            self.protected = {os.fspath(p): "it is the input file" for p in protect}
        self.entries: List[_Entry] = []  # committed in this order
        self.scratches: List[str] = []

    # -- what is written

    def refuse(self, path: str, directory: bool = False) -> str:
        """The target of ``path``, or OutputError: an input, an output of
        this group already, or a directory (for a file) or a file (for a
        directory store)."""
        path = os.fspath(path)
        target = target_of(path)
        if not directory and os.path.isdir(target):
            raise OutputError(f"cannot write {path}: it is a directory")
        if directory and os.path.lexists(target) and not os.path.isdir(target):
            raise OutputError(f"cannot write {path}: it exists and is not a directory; not replaced")
        for source, why in self.protected.items():
            if same_file(source, target):
                raise OutputError(f"cannot write {path}: {why}; it would be overwritten")
            if directory and os.path.isdir(target) and within(target, source):
                raise OutputError(f"cannot write {path}: it holds {source} ({why}); "
                                  f"it would be removed")
        for e in self.entries:
            if same_file(e.target, target):
                raise OutputError(f"cannot write {path}: it is already an output ({e.path})")
        return target

    def file(self, path: str, suffix: str = ".part", size: int = 0) -> str:
        """A new empty temporary file beside ``path``'s target, put in place
        by ``commit``; ``size``: the bytes it will hold, for ``check_room``."""
        path = os.fspath(path)
        target = self.refuse(path)
        folder, name = os.path.split(target)
        try:
            fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=suffix, dir=folder)
        except OSError as e:
            raise OutputError(f"cannot write {path}: {reason(e)}") from None
        os.close(fd)
        self.entries.append(_Entry(path, target, temp, "file", size))
        return temp

    def directory(self, path: str, suffix: str = ".part", size: int = 0) -> str:
        """A new empty temporary directory beside ``path``'s target (a
        store of many files), put in place by ``commit``; an existing
        directory there is replaced then, a file is refused."""
        path = os.fspath(path)
        target = self.refuse(path, directory=True)
        folder, name = os.path.split(target)
        try:
            temp = tempfile.mkdtemp(prefix=f".{name}.", suffix=suffix, dir=folder)
        except OSError as e:
            raise OutputError(f"cannot write {path}: {reason(e)}") from None
        self.entries.append(_Entry(path, target, temp, "directory", size))
        return temp

    def scratch(self, path: str, size: int, suffix: str = ".scratch") -> str:
        """A temporary file beside ``path``'s target that is never put in
        place (removed by ``commit`` and ``discard``), of ``size`` bytes
        whose blocks are reserved."""
        path = os.fspath(path)
        folder, name = os.path.split(target_of(path))
        try:
            fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=suffix, dir=folder)
        except OSError as e:
            raise OutputError(f"cannot write {path}: {reason(e)}") from None
        os.close(fd)
        self.scratches.append(temp)
        self.reserve(temp, size, path)
        return temp

    def forget(self, temp: str) -> None:
        """Remove a scratch file now."""
        if temp in self.scratches:
            self.scratches.remove(temp)
        _remove(temp)

    def reserve(self, temp: str, size: int, shown: Optional[str] = None, *,
                keep_size: bool = False) -> None:
        """``reserve`` (the module's function) for a file of this group."""
        reserve(temp, size, shown, keep_size=keep_size)

    @staticmethod
    def release(temp: str) -> None:
        """``release`` (the module's function)."""
        release(temp)

    def take(self, other: "Staged") -> None:
        """Make the files of another group part of this one, to be put in
        place with it as one (an output and its picture, say); ``other`` is
        left empty."""
        for e in other.entries:
            self.refuse(e.path, directory=e.kind == "directory")
        self.entries += other.entries
        self.scratches += other.scratches
        other.entries, other.scratches = [], []

    def temp_of(self, path: str) -> str:
        """The temporary name of the output ``path``."""
        for e in self.entries:
            if e.path == os.fspath(path):
                return e.temp
        raise KeyError(path)

    def sizes(self) -> List[Tuple[str, int]]:
        """(path, bytes) of every output and scratch file, for ``check_room``."""
        return [(e.path, e.size) for e in self.entries]

    def check_room(self, what: str, extra: Iterable[Tuple[str, int]] = (), *,
                   at_least: bool = False) -> None:
        """``check_room`` over this group's sizes and ``extra``."""
        check_room(self.sizes() + list(extra), what, at_least=at_least)

    def failed(self, path: str, e: BaseException) -> OutputError:
        """Discard the group and return the one-line error for a write of
        ``path`` that raised ``e`` (to be raised by the caller)."""
        self.discard()
        return OutputError(f"cannot write {path}: {reason(e)}")

    # -- putting in place

    def commit(self) -> None:
        """Put every output in place: the data of each reach the disk first;
        then each is renamed over its target, the signals that end a run
        (SIGINT, SIGTERM, SIGHUP) noted meanwhile instead of acted on. If
        anything fails, or such a signal arrives, every target gets its
        previous file back (or none, if it had none), and then the signal
        is delivered to the handler it had."""
        try:
            for e in self.entries:
                self._finish(e)
        except OSError as err:
            raise self.failed(self._culprit(err), err) from None
        except BaseException:
            self.discard()
            raise
        saved, caught = _note_signals()
        done: List[Tuple[_Entry, Optional[str]]] = []
        undone = False
        try:
            try:
                for e in self.entries:
                    old = self._aside(e)
                    done.append((e, old))
                    try:
                        os.replace(e.temp, e.target)
                    except BaseException:
                        done.pop()
                        self._restore(e, old, placed=False)
                        raise
                    if _between_renames is not None:
                        _between_renames()
                if caught:
                    raise _Interrupted()
            except BaseException as err:
                for e, old in reversed(done):
                    self._restore(e, old, placed=True)
                undone = True
                names, bad = self._names(), (self._culprit(err) if isinstance(err, OSError) else "")
                self.discard()
                if isinstance(err, OSError):
                    raise OutputError(f"cannot write {bad}: {reason(err)}; "
                                      f"the previous files are kept") from None
                if not isinstance(err, _Interrupted):
                    raise
            else:
                for _, old in done:
                    _remove(old)
                for folder in {os.path.dirname(e.target) for e in self.entries}:
                    _fsync(folder, directory=True)
                self.entries = []
                self.discard()
        finally:
            _restore_signals(saved)
        if caught:
            signal.raise_signal(caught[0])  # Terminated, KeyboardInterrupt, or the default action
            if undone:  # a handler that does not end the run
                raise OutputError(f"cannot write {names}: interrupted by "
                                  f"{signal.Signals(caught[0]).name}; the previous files are kept")

    def _culprit(self, err: OSError) -> str:
        return next((e.path for e in self.entries if err.filename in (e.temp, e.target)),
                    self.entries[0].path if self.entries else "output")

    def _names(self) -> str:
        return ", ".join(e.path for e in self.entries) or "the outputs"

    @staticmethod
    def _finish(e: _Entry) -> None:
        if e.kind == "file":
            mode = (stat.S_IMODE(os.stat(e.target).st_mode) if os.path.isfile(e.target)
                    else new_file_mode())
            os.chmod(e.temp, mode)
            _fsync(e.temp)
        else:
            os.chmod(e.temp, 0o777 & ~_umask())

    @staticmethod
    def _aside(e: _Entry) -> Optional[str]:
        """Keep the target's present file under a new name beside it (a
        hard link for a file, so that the target never goes missing)."""
        if not os.path.lexists(e.target):
            return None
        folder, name = os.path.split(e.target)
        old = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:8]}.old")
        if e.kind == "file" and not os.path.isdir(e.target):
            try:
                os.link(e.target, old, follow_symlinks=False)
                return old
            except OSError:
                pass  # no hard links here: move it aside
        os.rename(e.target, old)
        return old

    @staticmethod
    def _restore(e: _Entry, old: Optional[str], placed: bool) -> None:
        """Undo one rename, whatever comes: the previous file back, or no
        file where there was none."""
        try:
            if placed:
                if e.kind == "directory" or (old is not None and os.path.isdir(old)):
                    trash = os.path.join(os.path.dirname(e.target),
                                         f".{os.path.basename(e.target)}.{uuid.uuid4().hex[:8]}.new")
                    if os.path.lexists(e.target):
                        os.rename(e.target, trash)
                    if old is not None:
                        os.rename(old, e.target)
                    _remove(trash)
                    return
                if old is not None:
                    os.replace(old, e.target)
                else:
                    _remove(e.target)
            elif old is not None:
                if os.path.lexists(e.target) and os.path.samefile(old, e.target):
                    _remove(old)  # a hard link: the target is untouched
                else:
                    os.replace(old, e.target) if not os.path.isdir(old) else os.rename(old, e.target)
        except OSError:
            pass

    def discard(self) -> None:
        """Remove every temporary file and directory of the group."""
        for e in self.entries:
            _remove(e.temp)
        self.entries = []
        for temp in self.scratches:
            _remove(temp)
        self.scratches = []

    def __enter__(self) -> "Staged":
        return self

    def __exit__(self, *exc: object) -> None:
        self.discard()


def reserve(temp: str, size: int, shown: Optional[str] = None, *, keep_size: bool = False) -> None:
    """Allocate ``size`` bytes of blocks to the file ``temp``, so that
    writing them cannot fail for want of room, nor fault through a
    memory map on a full disk. Its size grows to at least ``size``; with
    ``keep_size`` it stays (for a writer that keeps its own end of file,
    as HDF5 does: call ``release`` when it is done), where the system
    can do that, and nothing is reserved where it cannot."""
    if size <= 0:
        return
    try:
        fd = os.open(temp, os.O_RDWR)
    except OSError as e:
        raise OutputError(f"cannot write {shown or temp}: {reason(e)}") from None
    try:
        if keep_size:
            _allocate_beyond_end(fd, size)
        else:
            try:
                os.posix_fallocate(fd, 0, size)
            except AttributeError:  # no posix_fallocate here: write the blocks
                _write_blocks(fd, size)
            except OSError as e:
                if e.errno not in (errno.EOPNOTSUPP, errno.EINVAL, getattr(errno, "ENOTSUP", -1)):
                    raise
                _write_blocks(fd, size)
    except OSError as e:
        os.ftruncate(fd, 0)
        raise OutputError(f"cannot write {shown or temp}: {reason(e)}") from None
    finally:
        os.close(fd)


def release(temp: str) -> None:
    """Give back the blocks reserved beyond the end of ``temp``."""
    try:
        n = os.path.getsize(temp)
        os.truncate(temp, n + 1)  # cutting the file frees what lies beyond its end
        os.truncate(temp, n)
    except OSError:
        pass


def open_rows(temp: str, shape: Tuple[int, int], shown: Optional[str] = None) -> Any:
    """The .npy file ``temp`` (a temporary name of a group) created and
    mapped for writing float64 rows of ``shape``, its blocks reserved
    before a row is written: a full disk is an OutputError here, never a
    SIGBUS while the rows are filled."""
    import numpy as np

    try:
        rows = np.lib.format.open_memmap(temp, mode="w+", dtype=np.float64, shape=shape)
    except OSError as e:
        raise OutputError(f"cannot write {shown or temp}: {reason(e)}") from None
    try:
        reserve(temp, os.path.getsize(temp), shown)
    except BaseException:
        del rows
        raise
    return rows


class _Interrupted(BaseException):
    """A signal arrived while a group was renamed."""


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _allocate_beyond_end(fd: int, size: int) -> None:
    """Linux's fallocate(FALLOC_FL_KEEP_SIZE): blocks without a new size.
    OSError for a full disk; nothing where the call is missing."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes
    import ctypes.util
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        fallocate = libc.fallocate
    except (OSError, AttributeError):
        return
    fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_longlong, ctypes.c_longlong]
    if fallocate(fd, 1, 0, size) != 0:  # 1: FALLOC_FL_KEEP_SIZE
        err = ctypes.get_errno()
        if err in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC), errno.EIO):
            raise OSError(err, os.strerror(err))


def _write_blocks(fd: int, size: int) -> None:
    """Allocate the first ``size`` bytes of a file by writing them: what
    it holds is written back, holes as zeros."""
    offset = 0
    while offset < size:
        n = min(1 << 20, size - offset)
        data = os.pread(fd, n, offset)
        data += bytes(n - len(data))
        offset += os.pwrite(fd, data, offset)
    os.fsync(fd)


class Pending(Staged):
    """One file written under a temporary name (``temp``) beside its
    target and put in place by ``commit``: a group of one. Opening it up
    front finds an unwritable path before any work is done."""

    def __init__(self, path: str, suffix: str = ".part",
                 protect: Union[Mapping[str, str], Iterable[str]] = (), size: int = 0):
        super().__init__(protect)
        self.path = os.fspath(path)
        self.temp = self.file(self.path, suffix, size)
        self.target = self.entries[0].target
