"""A history's periods in one SQLite file (standard library, no server).

One row per period holds its profile's bytes; `meta` holds the reference, the period rule and a
sequence number that every committed update raises. The file is in WAL mode: readers in other
processes see every committed update and never block the writer, and each update is one transaction
(a crash loses at most the batch being written). A reader learns cheaply that another connection
committed (PRAGMA data_version) and then reads only the periods written since it last looked."""

from __future__ import annotations

import os
import sqlite3

from morvane.state.errors import FormatError

FORMAT = 1
_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS periods (
    period INTEGER PRIMARY KEY,   -- period number: start = period * length (time) or rows
    n_rows INTEGER NOT NULL,
    seq INTEGER NOT NULL,         -- the update that last wrote this period
    profile BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS periods_seq ON periods (seq);
"""


class Store:
    """The SQLite file of one history. Not thread-safe by itself: the history holds its lock."""

    def __init__(self, path, *, readonly: bool = False):
        self.path = os.fspath(path)
        try:
            self._connect(readonly)
        except sqlite3.DatabaseError as e:
            raise FormatError(f"{self.path} is not a morvane history: {e}") from None

    def _connect(self, readonly: bool) -> None:
        if readonly:
            uri = "file:" + os.path.abspath(self.path) + "?mode=ro"
            self.db = sqlite3.connect(uri, uri=True, isolation_level=None, timeout=60, check_same_thread=False)
        else:
            self.db = sqlite3.connect(self.path, isolation_level=None, timeout=60, check_same_thread=False)
            mode = self.db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            # WAL needs shared memory between the processes of one host; a file system without it
            # (some network mounts) keeps the rollback journal, which is slower but as safe.
            self.wal = mode.lower() == "wal"
            self.db.execute("PRAGMA synchronous=NORMAL" if self.wal else "PRAGMA synchronous=FULL")
            self.db.executescript(_SCHEMA)
        self.readonly = readonly
        self.seq = 0            # the last update this connection has read
        self._version = None    # PRAGMA data_version when it last read

    # ---- meta ----

    def meta(self, keys=None) -> dict:
        try:
            if keys is None:
                rows = self.db.execute("SELECT key, value FROM meta").fetchall()
            else:
                rows = self.db.execute(f"SELECT key, value FROM meta WHERE key IN ({','.join('?' * len(keys))})",
                                       tuple(keys)).fetchall()
        except sqlite3.DatabaseError as e:
            raise FormatError(f"{self.path} is not a morvane history: {e}") from None
        return {k: v for k, v in rows}

    def initialise(self, values: dict) -> None:
        self.db.execute("BEGIN IMMEDIATE")
        try:
            if self.db.execute("SELECT COUNT(*) FROM meta").fetchone()[0] == 0:
                self.db.executemany("INSERT INTO meta VALUES (?, ?)",
                                    [(k, v) for k, v in values.items()] + [("format", FORMAT), ("seq", 0)])
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise

    # ---- reading ----

    def changed(self) -> bool:
        """Whether another connection committed since this one last read."""
        version = self.db.execute("PRAGMA data_version").fetchone()[0]
        if version != self._version:
            self._version = version
            return True
        return False

    def read_since(self, keys=("seq",)):
        """(periods written since the last read as [(period, n_rows, bytes)], the meta `keys`), in one
        read transaction unless a write transaction is open."""
        own = not self.db.in_transaction
        if own:
            self.db.execute("BEGIN")
        try:
            rows = self.db.execute("SELECT period, n_rows, profile FROM periods WHERE seq > ? ORDER BY period",
                                   (self.seq,)).fetchall()
            meta = self.meta(tuple(set(keys) | {"seq"}))
        finally:
            if own:
                self.db.execute("COMMIT")
        self.seq = int(meta.get("seq", 0))
        return rows, meta

    # ---- writing ----

    def begin(self):
        self.db.execute("BEGIN IMMEDIATE")

    def write(self, periods, meta_updates: dict) -> None:
        """Inside a transaction: the periods [(period, n_rows, bytes)] and the meta values, under a new
        sequence number; then commit."""
        seq = int(self.db.execute("SELECT value FROM meta WHERE key = 'seq'").fetchone()[0]) + 1
        self.db.executemany("INSERT OR REPLACE INTO periods VALUES (?, ?, ?, ?)",
                            [(p, n, seq, blob) for p, n, blob in periods])
        self.db.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)",
                            [(k, v) for k, v in meta_updates.items()] + [("seq", seq)])
        self.db.execute("COMMIT")
        self.seq = seq
        # Our own commit does not move data_version; the cache already holds what we wrote.

    def rollback(self) -> None:
        if self.db.in_transaction:
            self.db.execute("ROLLBACK")

    def snapshot(self, path) -> None:
        """A consistent copy of the file at `path`, in rollback-journal mode (for read-only or shared
        storage), written to a temporary file and renamed into place."""
        tmp = os.fspath(path) + ".tmp"
        if os.path.exists(tmp):
            os.remove(tmp)
        copy = sqlite3.connect(tmp, isolation_level=None)
        try:
            self.db.backup(copy)
            copy.execute("PRAGMA journal_mode=DELETE")
        finally:
            copy.close()
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)

    def close(self) -> None:
        self.db.close()
