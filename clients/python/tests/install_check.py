"""Installs the package with pip into a throwaway folder, with no index and no build isolation, and
imports it from there: a broken pyproject.toml or build backend fails here.

    python3 clients/python/tests/install_check.py
"""

import os
import subprocess
import sys
import tempfile

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="zcf-install-") as target:
        subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
                        "--disable-pip-version-check", "--quiet", "--target", target, PACKAGE], check=True)
        # -I: neither the working folder nor PYTHONPATH, so the import can only find the installed copy.
        probe = ("import sys; sys.path.insert(0, %r); import zembra_cloud_files as z, os;"
                 "assert z.__file__.startswith(%r), z.__file__;"
                 "assert os.path.isfile(os.path.join(os.path.dirname(z.__file__), 'py.typed'));"
                 "print('installed', z.__version__, 'at', os.path.dirname(z.__file__))") % (target, target)
        subprocess.run([sys.executable, "-I", "-c", probe], check=True, cwd=target)
        wheel = [n for n in os.listdir(target) if n.endswith(".dist-info")]
        if wheel != ["zembra_cloud_files-%s.dist-info" % _version()]:
            print("unexpected metadata folders: %r" % wheel)
            return 1
    return 0


def _version() -> str:
    sys.path.insert(0, PACKAGE)
    import zembra_cloud_files
    return zembra_cloud_files.__version__


if __name__ == "__main__":
    sys.exit(main())
