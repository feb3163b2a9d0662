"""Saving and resuming experiments: the file format, the models' settings
records, and atomic writes."""

from __future__ import annotations

import contextlib
import json
import os
import sys
import tempfile
from typing import Any

__all__ = ["read_state", "write_json_atomic"]


def _varnel() -> Any:
    module = sys.modules.get("varnel")
    if module is None:  # this package loaded on its own, outside the extension
        import varnel as module
    return module


_FORMAT = "varnel.experiment"
_FORMAT_VERSION = 3
# Version 1 files predate the incremental update: they resume from scratch.
# Version 3 adds trial metadata, off-grid and discarded trials, session metadata.
_READABLE_VERSIONS = (1, 2, 3)

_MODEL_CLASSES = ("PsychometricModel", "TwoParameterPsychometricModel", "ConditionsPsychometricModel",
                  "ContrastSensitivityModel")
# The names of a model's design columns, for models of more than the one
# stimulus column; a trial's stimulus is then a tuple of that many values.
_DESIGN_COLUMNS = {"ConditionsPsychometricModel": ("x", "condition_index"),
                   "ContrastSensitivityModel": ("log10_frequency", "log10_contrast")}


def _design_columns(class_name: str) -> tuple[str, ...]:
    return _DESIGN_COLUMNS.get(class_name, ("x",))


def _model_classes() -> tuple[type, ...]:
    models = _varnel().models
    return tuple(getattr(models, name) for name in _MODEL_CLASSES if hasattr(models, name))


def _model_settings(model: Any) -> dict[str, Any]:
    """The model's class name and constructor arguments, as JSON values."""
    settings: dict[str, Any] = {"class": next(c.__name__ for c in _model_classes() if isinstance(model, c))}
    for key, value in model.settings.items():
        settings[key] = list(value) if isinstance(value, tuple) else value
    return settings


def _rebuild_model(class_name: str, settings: dict[str, Any]) -> Any:
    """The model of class ``class_name`` with these settings (the constructor's
    keyword arguments; a Beta prior's pair may be a list); how models unpickle."""
    if class_name not in _MODEL_CLASSES:
        raise ValueError(f"unknown model class {class_name!r}")
    kwargs = {key: tuple(value) if isinstance(value, list) else value for key, value in settings.items()}
    return getattr(_varnel().models, class_name)(**kwargs)


def _model_from_settings(settings: Any) -> Any:
    if not isinstance(settings, dict):
        raise ValueError("'model' is not an object")
    kwargs = dict(settings)
    return _rebuild_model(kwargs.pop("class", None), kwargs)


def write_json_atomic(path: str | os.PathLike[str], state: dict[str, Any]) -> None:
    """Writes ``state`` to ``path`` as JSON, atomically: the text goes to a
    temporary file in the same directory, which is flushed to disk and then
    renamed over ``path``, so a crash or a failed write leaves the previous
    file as it was. OSError propagates."""
    path = os.fspath(path)
    text = json.dumps(state, indent=1, allow_nan=False) + "\n"
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        with contextlib.suppress(OSError):
            os.chmod(temporary, os.stat(path).st_mode & 0o7777 if os.path.exists(path) else 0o644)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    # The rename itself is made durable by syncing the directory.
    with contextlib.suppress(OSError):
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


def read_state(path: str | os.PathLike[str]) -> tuple[str, dict[str, Any]]:
    """The path as a string and the parsed file at ``path``, checked to be an
    experiment file of a readable version (ValueError naming the file
    otherwise; OSError when it cannot be read)."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        state = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"{path}: not a readable experiment file, truncated or corrupt ({e})") from None
    if not isinstance(state, dict) or state.get("format") != _FORMAT:
        raise ValueError(f"{path}: not a varnel experiment file")
    version = state.get("version")
    if version not in _READABLE_VERSIONS:
        writer = state.get("written_by")
        by = f", written by varnel {writer}" if isinstance(writer, str) else ""
        raise ValueError(f"{path}: experiment file format version {version!r} is not supported{by} "
                         f"(this varnel reads versions {', '.join(map(str, _READABLE_VERSIONS))}; "
                         "a newer varnel reads it)")
    return path, state
