"""Checks a built wheel: one stable-ABI extension exporting only PyInit_pelnorix."""

import hashlib
import subprocess
import sys
import tempfile
import zipfile


def main(wheel: str) -> int:
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as tmp:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        if modules != ["pelnorix.abi3.so"]:
            print(f"expected exactly pelnorix.abi3.so in the wheel, found {modules}")
            return 1
        path = archive.extract(modules[0], tmp)
        listing = subprocess.run(
            ["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True
        ).stdout
        exported = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
        if exported != ["PyInit_pelnorix"]:
            print(f"expected only PyInit_pelnorix to be exported, found {exported}")
            return 1
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        print(f"{wheel}: exports {exported}, sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
