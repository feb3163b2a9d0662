"""A session store: many experiments in one SQLite database, each trial
committed before ``record`` returns.

One file holds many sessions, keyed by (participant, condition). A session
is held by one process at a time through a lease in the database; every
write of a session's holder checks that it still holds the lease. Trials are
never deleted: a discarded trial is marked. The database runs in WAL mode
and each trial is written to it before ``record`` returns, so a crash of the
process at any point loses at most the trial being recorded. A durable store
also syncs each trial to disk, on a thread of its own while the next
posterior is drawn, and the next stimulus waits for it: a crash of the
machine loses at most the last trial recorded.
"""

from __future__ import annotations

import errno
import json
import os
import socket
import sqlite3
import threading
import time
import uuid
import weakref
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .box import StimulusBox
from .experiment import AdaptiveExperiment, Trial, _candidates, _version
from .persistence import _design_columns, _model_from_settings, _model_settings

if TYPE_CHECKING:
    from .experiment import Model

__all__ = ["SessionLockedError", "SessionStore"]

SCHEMA_VERSION = 2  # 2: trials.rule and trials.stimulus
_SQLITE_HEADER = b"SQLite format 3\x00"

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE sessions (
    id INTEGER PRIMARY KEY,
    participant TEXT NOT NULL,
    condition TEXT NOT NULL,
    model TEXT NOT NULL,
    candidates BLOB NOT NULL,
    settings TEXT NOT NULL,
    seed INTEGER NOT NULL,
    metadata TEXT NOT NULL,
    created_at REAL NOT NULL,
    written_by TEXT NOT NULL,
    lease_host TEXT,
    lease_pid INTEGER,
    lease_token TEXT,
    UNIQUE (participant, condition)
);
CREATE TABLE trials (
    session_id INTEGER NOT NULL REFERENCES sessions (id),
    seq INTEGER NOT NULL,
    x REAL NOT NULL,
    response INTEGER NOT NULL,
    off_grid INTEGER NOT NULL,
    metadata TEXT,
    discarded INTEGER NOT NULL DEFAULT 0,
    recorded_at REAL NOT NULL,
    rule TEXT,
    stimulus TEXT,
    PRIMARY KEY (session_id, seq)
) WITHOUT ROWID;
"""


class SessionLockedError(RuntimeError):
    """The session is held by another process (or another handle of this one);
    the message names the holder's host and process id."""


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True


class SessionStore:
    """Experiments of many participants and conditions in one SQLite file at
    ``path`` (created when missing). A file that is not a session store, a
    corrupt or truncated one, or one of a newer schema is refused with a
    ValueError naming it, and is not modified. Use as a context manager, or
    call ``close()``; sessions opened from it release their leases then.

    Every committed trial survives a crash or kill of the process.
    ``durable=True`` (the default) also syncs every commit to disk. A
    record's commit is synced on a thread of its own while the caller goes
    on, and is on disk before the experiment returns its next stimulus,
    before the next record or any other write commits, and before
    ``sync()`` or ``close()`` return: a crash of the machine or a power loss
    loses at most the last trial recorded. The other writes (sessions,
    leases, discards, metadata) are synced before they return.
    ``durable=False`` (SQLite's synchronous=NORMAL in WAL mode) leaves the
    syncing to the system's own schedule, so a power loss may take the last
    commits."""

    def __init__(self, path: str | os.PathLike[str], *, durable: bool = True) -> None:
        if not isinstance(durable, bool):
            raise TypeError(f"argument 'durable': expected a bool, got {type(durable).__name__}")
        self._path = os.fspath(path)
        self._host = socket.gethostname()
        self._sessions: weakref.WeakSet[_Session] = weakref.WeakSet()
        self._log_sync: _LogSync | None = None
        self._end_sync: weakref.finalize | None = None
        if durable:
            self._log_sync = _LogSync(self._path)
            # A store dropped without close() still syncs its last trial and ends its thread.
            self._end_sync = weakref.finalize(self, self._log_sync.close)
        exists = os.path.exists(self._path)
        if exists:
            self._check_header()
        try:
            self._db = sqlite3.connect(self._path, isolation_level=None, timeout=30.0, check_same_thread=False)
        except sqlite3.Error as e:
            raise ValueError(f"{self._path}: cannot open the session store ({e})") from None
        try:
            if exists:
                self._check_schema()
            wal = self._db.execute("PRAGMA journal_mode=WAL").fetchone()[0] == "wal"
            if wal:
                # SQLite does not sync commits: a durable store syncs the log itself (_LogSync).
                self._db.execute("PRAGMA synchronous=NORMAL")
            else:  # a file system without WAL: SQLite syncs each commit of a durable store
                self._db.execute("PRAGMA synchronous=FULL" if durable else "PRAGMA synchronous=NORMAL")
                self._log_sync = None
                if self._end_sync is not None:
                    self._end_sync.detach()
            self._db.execute("PRAGMA foreign_keys=ON")
            if not exists:
                self._create()
        except BaseException:
            self._db.close()
            raise

    def _check_header(self) -> None:
        with open(self._path, "rb") as f:
            header = f.read(100)
        if len(header) < 100 or not header.startswith(_SQLITE_HEADER):
            raise ValueError(f"{self._path}: not a varnel session store (not an SQLite database, or truncated)")

    def _check_schema(self) -> None:
        try:
            rows = dict(self._db.execute("SELECT key, value FROM meta").fetchall())
            self._db.execute("SELECT count(*) FROM sessions WHERE 0").fetchall()
        except sqlite3.DatabaseError as e:
            raise ValueError(f"{self._path}: not a readable varnel session store, corrupt or truncated ({e})") from None
        if rows.get("format") != "varnel.sessions":
            raise ValueError(f"{self._path}: not a varnel session store")
        schema = int(rows.get("schema_version", "0"))
        if schema > SCHEMA_VERSION:
            raise ValueError(f"{self._path}: session store schema version {schema} (written by varnel "
                             f"{rows.get('written_by', 'unknown')}) is newer than this varnel reads "
                             f"({SCHEMA_VERSION}); a newer varnel opens it")
        if schema < 2:  # the rule that chose each stimulus (unknown for the trials before), stimuli of several values
            with self._transaction():
                present = {row[1] for row in self._db.execute("PRAGMA table_info(trials)")}
                for column in ("rule", "stimulus"):
                    if column not in present:
                        self._db.execute(f"ALTER TABLE trials ADD COLUMN {column} TEXT")
                self._db.execute("UPDATE meta SET value = ? WHERE key = 'schema_version'", (str(SCHEMA_VERSION),))

    def _create(self) -> None:
        with self._transaction():
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    self._db.execute(statement)
            self._db.executemany("INSERT INTO meta (key, value) VALUES (?, ?)", [
                ("format", "varnel.sessions"), ("schema_version", str(SCHEMA_VERSION)),
                ("written_by", _version())])

    # -- transactions -------------------------------------------------------

    def _transaction(self) -> _Transaction:
        return _Transaction(self._db, self._log_sync)

    def sync(self) -> None:
        """Waits until every commit of a durable store is on disk (at once for
        ``durable=False``). OSError naming the file when the disk refuses."""
        if self._log_sync is not None:
            self._log_sync.wait()

    @property
    def path(self) -> str:
        """The database file's path, as given."""
        return self._path

    def close(self) -> None:
        """Releases the leases of the sessions opened here and closes the file."""
        for session in list(self._sessions):
            session.release()
        try:
            if self._end_sync is not None:
                self._end_sync()
        finally:
            self._db.close()

    def __enter__(self) -> SessionStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- sessions -----------------------------------------------------------

    def sessions(self) -> list[tuple[str, str, int]]:
        """(participant, condition, number of trials kept) of every session."""
        return [tuple(row) for row in self._db.execute(
            "SELECT participant, condition, (SELECT count(*) FROM trials t WHERE t.session_id = s.id "
            "AND NOT discarded) FROM sessions s ORDER BY participant, condition")]

    def session(self, participant: str, *, condition: str = "", model: Model | None = None,
                candidates: Iterable[float] | Iterable[Iterable[float]] | np.ndarray | StimulusBox | None = None,
                take_over: bool = False,
                progress: bool = False, metadata: Mapping[str, Any] | None = None,
                **settings: Any) -> AdaptiveExperiment:
        """The experiment of (participant, condition), bound to this store:
        loaded with every kept trial when the session exists, created from
        ``model``, ``candidates`` and the ``AdaptiveExperiment`` settings
        otherwise. Given with an existing session, model, candidates and
        settings must be those it was created with (ValueError naming both
        values). ``metadata`` is stored with a new session. Each ``record``
        commits its trial before it returns; no ``save`` is needed.

        A session is held by one process at a time: SessionLockedError names
        the holder, unless ``take_over`` is True; a holder on this host whose
        process has ended is released without asking."""
        for name, value in (("participant", participant), ("condition", condition)):
            if not isinstance(value, str):
                raise TypeError(f"argument '{name}': expected a str, got {type(value).__name__}")
        row = self._db.execute("SELECT id FROM sessions WHERE participant = ? AND condition = ?",
                               (participant, condition)).fetchone()
        if row is None:
            if model is None or candidates is None:
                raise ValueError(f"{self._path}: no session {participant!r}/{condition!r} yet; "
                                 "pass model and candidates to create it")
            experiment = AdaptiveExperiment(model, candidates, progress=progress, metadata=metadata, **settings)
            session_id = self._insert_session(participant, condition, experiment)
        else:
            session_id = int(row[0])
            experiment = self._load(session_id, participant, condition, model, candidates, progress, settings)
        session = _Session(self, session_id, participant, condition, experiment, take_over)
        self._sessions.add(session)
        return experiment

    def _insert_session(self, participant: str, condition: str, experiment: AdaptiveExperiment) -> int:
        try:
            with self._transaction():
                cursor = self._db.execute(
                    "INSERT INTO sessions (participant, condition, model, candidates, settings, seed, metadata, "
                    "created_at, written_by) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (participant, condition, json.dumps(_model_settings(experiment.model)),
                     _candidate_bytes(experiment), json.dumps(_stored_settings(experiment)), experiment.seed,
                     json.dumps(experiment.metadata),
                     time.time(), _version()))
        except sqlite3.IntegrityError:  # created by another process in the meantime
            raise SessionLockedError(f"{self._path}: session {participant!r}/{condition!r} was just created "
                                     "by another process") from None
        return int(cursor.lastrowid)

    def _load(self, session_id: int, participant: str, condition: str, model: Any, candidates: Any,
              progress: bool, settings: dict[str, Any]) -> AdaptiveExperiment:
        model_text, blob, settings_text, seed, metadata_text = self._db.execute(
            "SELECT model, candidates, settings, seed, metadata FROM sessions WHERE id = ?",
            (session_id,)).fetchone()
        stored_settings = json.loads(settings_text)
        box = stored_settings.pop("stimulus_box", None)
        stored_model = json.loads(model_text)
        width = len(_design_columns(stored_model["class"]))
        stored_candidates = np.frombuffer(blob, dtype="<f8")
        if width > 1:
            stored_candidates = stored_candidates.reshape(-1, width)
        where = f"{self._path}: session {participant!r}/{condition!r} was created with"
        if model is not None and _model_settings(model) != stored_model:
            raise ValueError(f"{where} model {stored_model}, not {_model_settings(model)}")
        stored_box = None if box is None else StimulusBox(box["lower"], box["upper"])
        if candidates is not None and (stored_box is not None or isinstance(candidates, StimulusBox)):
            if candidates != stored_box:
                raise ValueError(f"{where} candidates {stored_box or stored_candidates.tolist()}, not {candidates}")
        elif candidates is not None:
            given = _candidates(candidates, stored_model["class"], width)
            if given.shape != stored_candidates.shape or not np.array_equal(given, stored_candidates):
                raise ValueError(f"{where} candidates {stored_candidates.tolist()}, not {given.tolist()}")
        for key, value in settings.items():
            stored = seed if key == "seed" else stored_settings.get(key, _MISSING)
            if stored is _MISSING:
                raise ValueError(f"{where}out a setting {key!r} (given {value!r})")
            if json.loads(json.dumps(value)) != stored:
                raise ValueError(f"{where} {key}={stored!r}, not {value!r}")
        experiment = AdaptiveExperiment(_model_from_settings(stored_model),
                                        stored_candidates if stored_box is None else stored_box, seed=seed,
                                        progress=progress, metadata=json.loads(metadata_text), **stored_settings)
        for x, response, off_grid, meta, discarded, rule, stimulus in self._db.execute(
                "SELECT x, response, off_grid, metadata, discarded, rule, stimulus FROM trials WHERE session_id = ? "
                "ORDER BY seq",
                (session_id,)):
            value = float(x) if stimulus is None else json.loads(stimulus)
            trial = experiment._checked_trial(value, bool(response), None if meta is None else json.loads(meta),
                                              bool(off_grid))
            experiment._restore(trial, rule, discarded=bool(discarded))
        return experiment

    def import_json(self, path: str | os.PathLike[str], participant: str, *, condition: str = "") -> None:
        """Copies an experiment file written by ``AdaptiveExperiment.save`` into a
        new session (participant, condition), trials and metadata included."""
        experiment = AdaptiveExperiment.load(path)
        if self._db.execute("SELECT 1 FROM sessions WHERE participant = ? AND condition = ?",
                            (participant, condition)).fetchone():
            raise ValueError(f"{self._path}: session {participant!r}/{condition!r} exists already")
        session_id = self._insert_session(participant, condition, experiment)
        with self._transaction():
            kept = [(t, False, r) for t, r in zip(experiment._trials, experiment._rules)]
            dropped = [(t, True, r) for t, r in zip(experiment._discarded, experiment._discarded_rules)]
            rows = [(session_id, i, *_stimulus_columns(t), int(t.response), int(t.off_grid), _meta_text(t),
                     int(discarded), time.time(), rule) for i, (t, discarded, rule) in enumerate(kept + dropped)]
            self._db.executemany("INSERT INTO trials (session_id, seq, x, stimulus, response, off_grid, metadata, "
                                 "discarded, recorded_at, rule) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)


_MISSING = object()


def _candidate_bytes(experiment: AdaptiveExperiment) -> bytes:
    """The candidates as float64 bytes; none for a stimulus box, which is in the settings."""
    if experiment.stimulus_box is not None:
        return b""
    return np.ascontiguousarray(experiment.candidates, dtype="<f8").tobytes()


def _stored_settings(experiment: AdaptiveExperiment) -> dict[str, Any]:
    settings = experiment.settings()
    if experiment.stimulus_box is not None:
        settings["stimulus_box"] = experiment.stimulus_box.to_json()
    return settings


def _stimulus_columns(trial: Trial) -> tuple[float, str | None]:
    """x (the stimulus, or its first value) and, for a stimulus of several values, all of them as JSON."""
    if isinstance(trial.x, tuple):
        return trial.x[0], json.dumps(list(trial.x))
    return trial.x, None


def _meta_text(trial: Trial) -> str | None:
    return None if trial.metadata is None else json.dumps(dict(trial.metadata))


class _LogSync:
    """Syncs a store's write-ahead log to disk on a thread of its own.

    After a record's commit, ``committed()`` only notes it: waking a thread
    costs tens of microseconds here, more than the commit. ``ask()`` starts
    the sync of what is noted, for the experiment when it begins to work out
    the next stimulus, so the disk's latency passes while the posterior is
    drawn (native code, without the interpreter lock). ``wait()`` returns
    once every commit so far is on disk."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._log = path + "-wal"
        self._pid = -1  # the process the thread runs in
        self._fd: int | None = None
        self._inode: int | None = None
        self._noted = False  # a commit not yet asked to be synced

    def _start(self) -> None:
        # Also after a fork: the parent's thread and its lock's state are not the child's.
        self._pid = os.getpid()
        self._ready = threading.Condition(threading.Lock())
        self._asked = self._done = 0
        self._error: Exception | None = None
        self._closing = False
        self._fd = None
        self._thread = threading.Thread(target=self._run, name="varnel-store-sync", daemon=True)
        self._thread.start()

    def committed(self) -> None:
        self._noted = True

    def ask(self) -> None:
        """Starts syncing the noted commits, if any."""
        if not self._noted:
            return
        if self._pid != os.getpid():
            self._start()
        self._noted = False
        with self._ready:
            self._asked += 1
            self._ready.notify()

    def wait(self) -> None:
        self.ask()
        if self._pid != os.getpid():
            return  # nothing asked in this process
        with self._ready:
            target = self._asked
            while self._done < target:
                self._ready.wait()
            error, self._error = self._error, None
        if error is not None:
            reason = getattr(error, "strerror", None) or repr(error)
            raise OSError(getattr(error, "errno", None) or errno.EIO,
                          f"{self._path}: committed trials could not be synced to disk ({reason})")

    def close(self) -> None:
        if self._pid != os.getpid() and not self._noted:
            return
        try:
            self.wait()
        finally:
            with self._ready:
                self._closing = True
                self._ready.notify()
            self._thread.join()
            if self._fd is not None:
                os.close(self._fd)
            self._pid = -1

    def _run(self) -> None:
        while True:
            with self._ready:
                while self._done == self._asked and not self._closing:
                    self._ready.wait()
                if self._done == self._asked:
                    return
                target = self._asked
            error = None
            try:
                self._sync()
            except Exception as e:  # kept for wait(): a thread that ended here would leave it waiting
                error = e
            with self._ready:
                self._done = target
                if error is not None:
                    self._error = error
                self._ready.notify_all()

    def _sync(self) -> None:
        inode = os.stat(self._log).st_ino
        if self._fd is None or inode != self._inode:
            if self._fd is not None:
                os.close(self._fd)
                self._fd = None
            self._fd = os.open(self._log, os.O_RDONLY)
            self._inode = inode
            # A new log's name in its folder must reach the disk too.
            folder = os.open(os.path.dirname(os.path.abspath(self._log)), os.O_RDONLY)
            try:
                os.fsync(folder)
            finally:
                os.close(folder)
        getattr(os, "fdatasync", os.fsync)(self._fd)


class _Transaction:
    """BEGIN IMMEDIATE ... COMMIT, rolled back on any exception; for a durable
    store, synced before it returns."""

    def __init__(self, db: sqlite3.Connection, log_sync: _LogSync | None = None) -> None:
        self._db = db
        self._log_sync = log_sync

    def __enter__(self) -> sqlite3.Connection:
        self._db.execute("BEGIN IMMEDIATE")
        return self._db

    def __exit__(self, kind: object, *rest: object) -> None:
        if kind is None:
            self._db.execute("COMMIT")
            if self._log_sync is not None:
                self._log_sync.committed()
                self._log_sync.wait()
        else:
            self._db.execute("ROLLBACK")


_INSERT_TRIAL = ("INSERT INTO trials (session_id, seq, x, stimulus, response, off_grid, metadata, recorded_at, rule) "
                 "SELECT ?, ?, ?, ?, ?, ?, ?, ?, ? FROM sessions WHERE id = ? AND lease_token = ?")


class _Session:
    """The lease and the writes of one session's holder."""

    def __init__(self, store: SessionStore, session_id: int, participant: str, condition: str,
                 experiment: AdaptiveExperiment, take_over: bool) -> None:
        self._store = store
        self._db = store._db
        self._id = session_id
        self._name = f"{store.path}: session {participant!r}/{condition!r}"
        self._keys = {"participant": participant, "condition": condition}
        self._token = uuid.uuid4().hex
        with store._transaction() as db:
            host, pid, token = db.execute("SELECT lease_host, lease_pid, lease_token FROM sessions WHERE id = ?",
                                          (session_id,)).fetchone()
            stale = host == store._host and pid is not None and pid != os.getpid() and not _pid_alive(pid)
            if token is not None and not take_over and not stale:
                raise SessionLockedError(f"{self._name} is held by process {pid} on host {host!r}; "
                                         "pass take_over=True to take it over")
            db.execute("UPDATE sessions SET lease_host = ?, lease_pid = ?, lease_token = ? WHERE id = ?",
                       (store._host, os.getpid(), self._token, session_id))
        self._seq = self._db.execute("SELECT coalesce(max(seq) + 1, 0) FROM trials WHERE session_id = ?",
                                     (session_id,)).fetchone()[0]
        self._held = True
        experiment._store = self
        self._finalizer = weakref.finalize(experiment, _release, self._db, session_id, self._token)

    def keys(self) -> dict[str, str]:
        return dict(self._keys)

    def _check_lease(self, db: sqlite3.Connection) -> None:
        if not self._held:
            raise SessionLockedError(f"{self._name} is closed")
        row = db.execute("SELECT lease_host, lease_pid, lease_token FROM sessions WHERE id = ?",
                         (self._id,)).fetchone()
        if row[2] != self._token:
            raise SessionLockedError(f"{self._name} was taken over by process {row[1]} on host {row[0]!r}; "
                                     "nothing was written")

    def write_trial(self, trial: Trial, rule: str | None) -> None:
        if not self._held:
            raise SessionLockedError(f"{self._name} is closed")
        log_sync = self._store._log_sync
        if log_sync is not None:
            log_sync.wait()  # the trial before is on disk before this one commits
        # One statement, so one implicit transaction: the lease check and the
        # insert cannot be split by another process's take-over.
        inserted = self._db.execute(_INSERT_TRIAL, (
            self._id, self._seq, *_stimulus_columns(trial), int(trial.response), int(trial.off_grid),
            _meta_text(trial), time.time(), rule, self._id, self._token)).rowcount
        if inserted != 1:
            self._check_lease(self._db)  # names who holds the session now
            raise SessionLockedError(f"{self._name}: the trial was not written")
        self._seq += 1
        if log_sync is not None:
            log_sync.committed()

    def start_sync(self) -> None:
        """Starts syncing the commits so far to disk, for a durable store."""
        if self._store._log_sync is not None:
            self._store._log_sync.ask()

    def synced(self) -> None:
        """Waits until the session's commits are on disk (a durable store)."""
        self._store.sync()

    def discard_trial(self) -> None:
        with self._store._transaction() as db:
            self._check_lease(db)
            db.execute("UPDATE trials SET discarded = 1 WHERE session_id = ? AND seq = (SELECT max(seq) FROM "
                       "trials WHERE session_id = ? AND NOT discarded)", (self._id, self._id))

    def write_metadata(self, metadata: dict[str, Any]) -> None:
        with self._store._transaction() as db:
            self._check_lease(db)
            db.execute("UPDATE sessions SET metadata = ? WHERE id = ?", (json.dumps(metadata), self._id))

    def release(self) -> None:
        if self._held:
            self._held = False
            self._finalizer()


def _release(db: sqlite3.Connection, session_id: int, token: str) -> None:
    try:
        db.execute("UPDATE sessions SET lease_host = NULL, lease_pid = NULL, lease_token = NULL "
                   "WHERE id = ? AND lease_token = ?", (session_id, token))
    except sqlite3.Error:  # the store is closed already, or the process is ending
        pass
