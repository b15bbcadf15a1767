"""A history's periods in one SQLite file (standard library, no server).

One row per period holds its counts' bytes (the layout is the reference's, kept once in `meta`);
`meta` holds the reference, the period rule and a sequence number that every committed update
raises. Every row carries a digest over all its fields, checked when it is read. The file is in WAL
mode: readers in other processes see every committed update and never block the writer, and each
update is one transaction (a crash loses at most the batch being written). A reader learns cheaply
that another connection committed (PRAGMA data_version) and then reads only the periods written
since it last looked.

A file is checked to be a morvane history before anything is written to it, and a new one appears
whole (built beside its path and linked into place), so a foreign or empty file is never changed.
Every SQLite failure surfaces as `FormatError` (damage) or `OSError` (the file system), naming the path."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import sqlite3
import struct
from urllib.parse import quote

from morvane.state.codec import digest
from morvane.state.errors import FormatError

# 1: each period held its whole profile's bytes and no row had a digest (such files are read, and
# upgraded in place by their first write); 2: counts only, a digest on every row.
FORMAT = 2
_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value BLOB NOT NULL, digest INTEGER NOT NULL);
CREATE TABLE periods (
    period INTEGER PRIMARY KEY,   -- period number (see morvane.history.periods)
    n_rows INTEGER NOT NULL,
    seq INTEGER NOT NULL,         -- the update that last wrote this period
    profile BLOB NOT NULL,        -- the period's counts
    digest INTEGER NOT NULL       -- over period, n_rows, seq and profile
);
CREATE INDEX periods_seq ON periods (seq);
"""
_TABLES = {"meta": {"key", "value"}, "periods": {"period", "n_rows", "seq", "profile"}}
_FIELDS = struct.Struct("<qqq")


def _signed(d: int) -> int:
    """A digest as SQLite's signed 64-bit integer."""
    return d - (1 << 64) if d >= 1 << 63 else d


def period_digest(period: int, n_rows: int, seq: int, blob: bytes) -> int:
    return _signed(digest(_FIELDS.pack(period, n_rows, seq) + bytes(blob)))


def meta_digest(key: str, value) -> int:
    if isinstance(value, (bytes, bytearray, memoryview)):
        raw = b"b" + bytes(value)
    elif isinstance(value, int):
        raw = b"i" + str(value).encode()
    else:
        raw = b"s" + str(value).encode("utf-8", "surrogatepass")
    return _signed(digest(key.encode("utf-8", "surrogatepass") + b"\0" + raw))


_OS_ERRORS = (("full", errno.ENOSPC), ("locked", errno.EBUSY), ("busy", errno.EBUSY),
              ("readonly", errno.EROFS), ("unable to open", errno.ENOENT), ("i/o", errno.EIO),
              ("interrupt", errno.EINTR), ("permission", errno.EACCES))


def _create_tables(db) -> None:
    """The schema, inside the caller's transaction (executescript would commit it)."""
    for statement in _SCHEMA.split(";"):
        if statement.strip():
            db.execute(statement)


def translated(e: sqlite3.Error, path: str) -> Exception:
    """A SQLite failure as the error users handle: OSError for what the file system did (full,
    locked, not writable, not there), FormatError for a damaged or foreign file."""
    text = str(e)
    if isinstance(e, sqlite3.OperationalError):
        for word, code in _OS_ERRORS:
            if word in text.lower():
                return OSError(code, f"{path}: {text}", path)
    return FormatError(f"{path} is not a readable morvane history: {text}")


class Store:
    """The SQLite file of one history. Not thread-safe by itself: the history holds its lock."""

    def __init__(self, path, *, readonly: bool = False):
        """Opens an existing history file, checking it before any write."""
        self.path = os.fspath(path)
        self.readonly = readonly
        if not os.path.exists(self.path):
            raise FileNotFoundError(errno.ENOENT, f"no history at {self.path}", self.path)
        if os.path.isfile(self.path) and os.path.getsize(self.path) == 0:
            raise FormatError(f"{self.path} is an empty file, not a morvane history")
        self.db = None
        self.seq = 0            # the last update this connection has read
        self._version = None    # PRAGMA data_version when it last read
        try:
            with self.guard():
                self._connect()
                self.format = self._check_schema()
                if not readonly:
                    mode = self.db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
                    # WAL needs shared memory between the processes of one host; a file system without it
                    # (some network mounts) keeps the rollback journal, which is slower but as safe.
                    wal = mode.lower() == "wal"
                    self.db.execute("PRAGMA synchronous=NORMAL" if wal else "PRAGMA synchronous=FULL")
        except BaseException:
            self.close()
            raise

    @contextlib.contextmanager
    def guard(self):
        """SQLite failures inside the block as OSError or FormatError naming the file."""
        try:
            yield
        except sqlite3.Error as e:
            raise translated(e, self.path) from None

    def _connect(self) -> None:
        uri = "file:" + quote(os.path.abspath(self.path))
        if not self.readonly:
            self.db = sqlite3.connect(uri + "?mode=rw", uri=True, isolation_level=None, timeout=60,
                                      check_same_thread=False)
            return
        try:
            self.db = sqlite3.connect(uri + "?mode=ro", uri=True, isolation_level=None, check_same_thread=False)
            self.db.execute("SELECT COUNT(*) FROM sqlite_master").fetchone()
        except sqlite3.OperationalError:
            # A read-only directory or medium: no shared-memory file can be made beside a WAL file,
            # so the file is read as immutable (no other process can be writing it there).
            if self.db is not None:
                self.db.close()
            self.db = sqlite3.connect(uri + "?immutable=1", uri=True, isolation_level=None, check_same_thread=False)

    def _check_schema(self) -> int:
        """The history format of the file, after checking that it is a history (reads only)."""
        tables = {name for (name,) in self.db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        for table, columns in _TABLES.items():
            found = {row[1] for row in self.db.execute(f"PRAGMA table_info({table})")} if table in tables else set()
            if not columns <= found:
                raise FormatError(f"{self.path} is not a morvane history")
        found = dict(self.db.execute("SELECT key, value FROM meta WHERE key IN ('format', 'reference')").fetchall())
        if set(found) != {"format", "reference"} or not isinstance(found["format"], int):
            raise FormatError(f"{self.path} is not a morvane history")
        if found["format"] > FORMAT:
            raise FormatError(f"{self.path} was written by a newer morvane (history format {found['format']})")
        return int(found["format"])

    @classmethod
    def create(cls, path, meta: dict) -> "Store":
        """The history file at `path`, made with `meta` if there is none: built whole beside it and
        linked into place, so no other process ever sees it half made."""
        path = os.fspath(path)
        if not os.path.exists(path):
            directory, name = os.path.split(os.path.abspath(path))
            tmp = os.path.join(directory, f".{name}.{secrets.token_hex(8)}.mvnew")
            try:
                try:
                    db = sqlite3.connect(tmp, isolation_level=None)
                    try:
                        db.execute("PRAGMA journal_mode=WAL")
                        db.execute("PRAGMA synchronous=FULL")
                        db.execute("BEGIN")
                        _create_tables(db)
                        rows = {**meta, "format": FORMAT, "seq": 0}
                        db.executemany("INSERT INTO meta VALUES (?, ?, ?)",
                                       [(k, v, meta_digest(k, v)) for k, v in rows.items()])
                        db.execute("COMMIT")
                    finally:
                        db.close()
                except sqlite3.Error as e:
                    raise translated(e, path) from None
                try:
                    os.link(tmp, path)  # fails if another process made it meanwhile: that one is used
                except FileExistsError:
                    pass
                except OSError:  # a file system without hard links
                    if not os.path.exists(path):
                        os.replace(tmp, path)
            finally:
                with contextlib.suppress(OSError):
                    os.unlink(tmp)
        return cls(path)

    # ---- meta ----

    def meta(self, keys=None) -> dict:
        """The meta values (all, or those of `keys`), their digests checked."""
        with self.guard():
            columns = "key, value" + (", digest" if self.format > 1 else "")
            if keys is None:
                rows = self.db.execute(f"SELECT {columns} FROM meta").fetchall()
            else:
                rows = self.db.execute(f"SELECT {columns} FROM meta WHERE key IN ({','.join('?' * len(keys))})",
                                       tuple(keys)).fetchall()
        if self.format > 1:
            for key, value, check in rows:
                if meta_digest(key, value) != check:
                    raise FormatError(f"{self.path} is damaged: its {key!r} entry fails its check")
        return {row[0]: row[1] for row in rows}

    # ---- reading ----

    def changed(self) -> bool:
        """Whether another connection committed since this one last read."""
        with self.guard():
            version = self.db.execute("PRAGMA data_version").fetchone()[0]
        if version != self._version:
            self._version = version
            return True
        return False

    def index(self, everything: bool = False):
        """(the periods written since the last read, or all, as [(period, n_rows, seq)], the meta values),
        in one read transaction unless a write transaction is open."""
        with self.guard(), self._reading():
            if everything:
                rows = self.db.execute("SELECT period, n_rows, seq FROM periods ORDER BY period").fetchall()
            else:
                rows = self.db.execute("SELECT period, n_rows, seq FROM periods WHERE seq > ? ORDER BY period",
                                       (self.seq,)).fetchall()
            meta = self.meta()
        seq = int(meta.get("seq", 0))
        for period, _, s in rows:
            if not 0 < s <= seq:
                raise FormatError(f"{self.path} is damaged: period {period} has update number {s} "
                                  f"(the file's last is {seq})")
        self.seq = seq
        return rows, meta

    def load(self, period: int):
        """(n_rows, the stored bytes) of one period, its digest checked."""
        with self.guard():
            row = self.db.execute("SELECT n_rows, seq, profile" + (", digest" if self.format > 1 else "")
                                  + " FROM periods WHERE period = ?", (period,)).fetchone()
        if row is None:
            raise FormatError(f"{self.path} is damaged: period {period} is gone")
        if self.format > 1 and period_digest(period, row[0], row[1], row[2]) != row[3]:
            raise FormatError(f"{self.path} is damaged: period {period} fails its check")
        return int(row[0]), bytes(row[2])

    @contextlib.contextmanager
    def _reading(self):
        own = not self.db.in_transaction
        if own:
            self.db.execute("BEGIN")
        try:
            yield
        finally:
            if own:
                self.db.execute("COMMIT")

    # ---- writing ----

    @contextlib.contextmanager
    def writing(self):
        """One write transaction (BEGIN IMMEDIATE: other writers wait), committed at the end of the
        block, rolled back on an error."""
        if self.readonly:
            raise OSError(errno.EROFS, f"{self.path} was opened read-only", self.path)
        with self.guard():
            self.db.execute("BEGIN IMMEDIATE")
        try:
            yield
            with self.guard():
                self.db.execute("COMMIT")
        except BaseException:
            if self.db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    self.db.execute("ROLLBACK")
            raise

    def write(self, periods, meta_updates: dict) -> None:
        """Inside `writing()`: the periods [(period, n_rows, bytes)] and the meta values, under a new
        sequence number."""
        with self.guard():
            seq = int(self.meta(("seq",))["seq"]) + 1
            self.db.executemany("INSERT OR REPLACE INTO periods VALUES (?, ?, ?, ?, ?)",
                                [(p, n, seq, blob, period_digest(p, n, seq, blob)) for p, n, blob in periods])
            values = {**meta_updates, "seq": seq}
            self.db.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?, ?)",
                                [(k, v, meta_digest(k, v)) for k, v in values.items()])
        self.seq = seq
        # Our own commit does not move data_version; the cache already holds what we wrote.

    def upgrade(self, meta_updates: dict, periods) -> None:
        """Inside `writing()`: a format-1 file rewritten in the current format, with `meta_updates`
        (format-1 keys replaced) and the periods [(period, n_rows, bytes)] re-encoded."""
        with self.guard():
            meta = {k: v for k, v in self.db.execute("SELECT key, value FROM meta")}
            for key in ("every", "rows"):
                meta.pop(key, None)
            meta.update(meta_updates, format=FORMAT)
            seq = int(meta.get("seq", 0))
            self.db.execute("DROP TABLE periods")
            self.db.execute("DROP TABLE meta")
            _create_tables(self.db)
            self.db.executemany("INSERT INTO meta VALUES (?, ?, ?)", [(k, v, meta_digest(k, v)) for k, v in meta.items()])
            self.db.executemany("INSERT INTO periods VALUES (?, ?, ?, ?, ?)",
                                [(p, n, seq, blob, period_digest(p, n, seq, blob)) for p, n, blob in periods])
        self.format = FORMAT

    def snapshot(self, path) -> None:
        """A consistent copy of the file at `path`, in rollback-journal mode (for read-only or shared
        storage), written to a temporary file and renamed into place."""
        tmp = os.fspath(path) + ".tmp"
        try:
            if os.path.exists(tmp):
                os.remove(tmp)
            copy = sqlite3.connect(tmp, isolation_level=None)
            try:
                self.db.backup(copy)
                copy.execute("PRAGMA journal_mode=DELETE")
            finally:
                copy.close()
        except sqlite3.Error as e:
            raise translated(e, os.fspath(path)) from None
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)

    def close(self) -> None:
        if self.db is not None:
            with contextlib.suppress(sqlite3.Error):
                self.db.close()
            self.db = None
