"""A small PEP 517 backend: builds the extension modules with CMake and packs a wheel."""
import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = "velkora"


def _version():
    text = (ROOT / "python" / NAME / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"', text, re.M).group(1)


def _tag():
    impl = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{impl}-{impl}-{platform}"


def _metadata():
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: Native core of the velkora runtime-acceleration package\n"
            "Requires-Python: >=3.12,<3.13\n")


def _run(*cmd):
    subprocess.run([str(c) for c in cmd], check=True, stdout=sys.stderr)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = f"{NAME}-{_version()}.dist-info"
    wheel_name = f"{NAME}-{_version()}-{_tag()}.whl"
    with tempfile.TemporaryDirectory(prefix="velkora-wheel-") as tmp:
        build, stage = Path(tmp, "build"), Path(tmp, "stage")
        _run("cmake", "-S", ROOT, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
             "-DCMAKE_BUILD_TYPE=Release",
             # pip byte-compiles at install time; a wheel carries sources only.
             "-DVELKORA_INSTALL_BYTECODE=OFF")
        _run("cmake", "--build", build, "-j", os.cpu_count() or 1)
        _run("cmake", "--install", build, "--prefix", stage)
        info = stage / dist_info
        info.mkdir()
        (info / "METADATA").write_text(_metadata(), encoding="utf-8")
        (info / "WHEEL").write_text(
            f"Wheel-Version: 1.0\nGenerator: velkora_build\nRoot-Is-Purelib: false\n"
            f"Tag: {_tag()}\n", encoding="utf-8")
        records = []
        path = Path(wheel_directory, wheel_name)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
            for file in sorted(p for p in stage.rglob("*") if p.is_file()):
                arcname = file.relative_to(stage).as_posix()
                data = file.read_bytes()
                digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                records.append(f"{arcname},sha256={digest.decode()},{len(data)}")
                wheel.write(file, arcname)
            records.append(f"{dist_info}/RECORD,,")
            wheel.writestr(f"{dist_info}/RECORD", "\n".join(records) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    skip = re.compile(r"^(build[^/]*|dist|\.git|\.whl)(/|$)|__pycache__")

    def keep(info):
        rel = info.name.partition("/")[2]
        return None if rel and skip.search(rel) else info

    with tarfile.open(Path(sdist_directory, base + ".tar.gz"), "w:gz") as sdist:
        sdist.add(ROOT, arcname=base, filter=keep)
        pkg_info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        pkg_info.size = len(data)
        sdist.addfile(pkg_info, fileobj=io.BytesIO(data))
    return base + ".tar.gz"
