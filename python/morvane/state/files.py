"""Atomic saves: a file is replaced by a renamed, fsynced temporary beside it, and the leftovers of
interrupted saves of the same path are removed by the next one."""

from __future__ import annotations

import hashlib
import os
import re
import secrets
import socket
import time


# A save writes ".<target name>.<host>-<pid>.<random>.mvtmp" beside its target (<host>: a short
# hash of the machine's name): a later save of the same path recognises the leftovers of
# interrupted ones by name, and knows whose they were.
_TMP_SUFFIX = ".mvtmp"
_HOST = hashlib.blake2b(socket.gethostname().encode("utf-8", "surrogateescape"), digest_size=3).hexdigest()
# A leftover of another machine (a shared folder) cannot be asked about: removed after a day untouched.
_ABANDONED_AFTER = 86400.0


def _tmp_prefix(name: str) -> str:
    """The temporary-name prefix of a target file name; a long name is cut and keeps a hash, so
    the temporary name fits the file system's limit."""
    raw = name.encode("utf-8", "surrogateescape")
    if len(raw) > 180:
        name = name[:60] + "~" + hashlib.blake2b(raw, digest_size=8).hexdigest()
    return "." + name + "."


def _writer_alive(pid: int) -> bool:
    if os.name != "posix":  # os.kill(pid, 0) would end the process on Windows
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):  # alive under another user, or not a pid to ask about
        return True
    return True


def _remove_stale_temporaries(directory: str, prefix: str) -> None:
    """Remove the temporary files of earlier interrupted saves of one target: only files named
    after it, and only stale ones (written on this machine by a process that is gone, or untouched
    for a day). Never raises: the save has already succeeded when this runs."""
    pattern = re.compile(re.escape(prefix) + r"([0-9a-f]{6})-(\d+)\.[0-9a-f]{16}" + re.escape(_TMP_SUFFIX))
    try:
        with os.scandir(directory) as entries:
            for entry in entries:
                m = pattern.fullmatch(entry.name)
                if m is None:
                    continue
                try:
                    if (m.group(1) == _HOST and not _writer_alive(int(m.group(2)))) or \
                            time.time() - entry.stat(follow_symlinks=False).st_mtime >= _ABANDONED_AFTER:
                        os.unlink(entry.path)
                except OSError:  # removed meanwhile by another save
                    pass
    except OSError:
        pass


def atomic_write(path, data: bytes, mode: int | None = None) -> None:
    """Write ``data`` to ``path`` atomically: into a temporary file beside it, flushed and fsynced,
    then renamed over it, so ``path`` holds the old bytes or the new ones, never a mix. A process
    killed meanwhile leaves its temporary file; every save removes the stale ones of the same path
    (see ``_remove_stale_temporaries``), so leftovers never pile up. The file is private to its
    owner unless `mode` says otherwise (0o644 for a file another service reads)."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    prefix = _tmp_prefix(os.path.basename(path))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    while True:
        tmp = os.path.join(directory, f"{prefix}{_HOST}-{os.getpid()}.{secrets.token_hex(8)}{_TMP_SUFFIX}")
        try:
            fd = os.open(tmp, flags, 0o600)
            break
        except FileExistsError:
            continue
        except OSError as e:  # a missing or unwritable folder: named by the path the caller gave
            raise type(e)(e.errno, e.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is not None and hasattr(os, "fchmod"):
                os.fchmod(f.fileno(), mode)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:
        dfd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)
    except OSError:
        pass
    _remove_stale_temporaries(directory, prefix)
