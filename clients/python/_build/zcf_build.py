"""The package's build backend (PEP 517 and PEP 660), standard library only.

It needs nothing installed: no setuptools, no wheel package, no index. So `pip install .` works on
a machine that reaches no package index, with or without build isolation, under any Python 3.9 or
later (a pyenv Python lacks the `wheel` package that setuptools before 70.1 needs to build wheels).
The wheel holds the package folder as it is; the version is the package's __version__."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # clients/python
PACKAGE = "zembra_cloud_files"
NAME = "zembra-cloud-files"
SUMMARY = "Client for zembra_cloud_files: typed requests, events and fetch answering over its JSON lines"
CLASSIFIERS = ["Programming Language :: Python :: 3", "Framework :: AsyncIO", "Typing :: Typed"]
REQUIRES_PYTHON = ">=3.9"


def _version() -> str:
    with open(os.path.join(HERE, PACKAGE, "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    if not found:
        raise RuntimeError("no __version__ in %s/__init__.py" % PACKAGE)
    return found.group(1)


def _metadata() -> str:
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    lines = ["Metadata-Version: 2.1", "Name: " + NAME, "Version: " + _version(), "Summary: " + SUMMARY,
             "Requires-Python: " + REQUIRES_PYTHON] + ["Classifier: " + c for c in CLASSIFIERS]
    return "\n".join(lines + ["Description-Content-Type: text/markdown", "", readme])


def _package_files() -> List[Tuple[str, str]]:
    """(path in the archive, path on disk) of the package's sources and its py.typed marker."""
    files = []
    for top, dirs, names in os.walk(os.path.join(HERE, PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if name.endswith(".py") or name == "py.typed":
                full = os.path.join(top, name)
                files.append((os.path.relpath(full, HERE).replace(os.sep, "/"), full))
    return files


def _write_wheel(directory: str, contents: Dict[str, bytes]) -> str:
    dist_info = "%s-%s.dist-info" % (PACKAGE, _version())
    contents = dict(contents)
    contents[dist_info + "/METADATA"] = _metadata().encode("utf-8")
    contents[dist_info + "/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: zcf_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = []
    for path, data in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (path, digest, len(data)))
    record.append(dist_info + "/RECORD,,")
    contents[dist_info + "/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")
    name = "%s-%s-py3-none-any.whl" % (PACKAGE, _version())
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in contents.items():
            wheel.writestr(path, data)
    return name


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    contents = {}
    for path, full in _package_files():
        with open(full, "rb") as f:
            contents[path] = f.read()
    return _write_wheel(wheel_directory, contents)


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    """A wheel whose .pth file puts this folder on sys.path: edits take effect at once."""
    return _write_wheel(wheel_directory, {PACKAGE + ".pth": (HERE + "\n").encode("utf-8")})


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    base = "%s-%s" % (PACKAGE, _version())
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for rel in ["pyproject.toml", "README.md", "_build/zcf_build.py"] + [p for p, _ in _package_files()]:
            sdist.add(os.path.join(HERE, rel), arcname=base + "/" + rel, recursive=False)
        info = _metadata().encode("utf-8")
        entry = tarfile.TarInfo(base + "/PKG-INFO")
        entry.size = len(info)
        sdist.addfile(entry, io.BytesIO(info))
    return name
