"""Checks a built wheel: exactly the two stable-ABI extensions, each exporting only its PyInit."""

import hashlib
import subprocess
import sys
import tempfile
import zipfile

# Each extension module of the wheel and the one symbol it may export.
EXPECTED_MODULES = {
    "pelnorix.abi3.so": "PyInit_pelnorix",
    "pelnorix_otel/_otlp.abi3.so": "PyInit__otlp",
}


def main(wheel: str) -> int:
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as tmp:
        modules = sorted(n for n in archive.namelist() if n.endswith(".so"))
        if modules != sorted(EXPECTED_MODULES):
            print(f"expected exactly {sorted(EXPECTED_MODULES)} in the wheel, found {modules}")
            return 1
        for module in modules:
            path = archive.extract(module, tmp)
            listing = subprocess.run(
                ["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True
            ).stdout
            exported = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
            if exported != [EXPECTED_MODULES[module]]:
                print(f"expected {module} to export only {EXPECTED_MODULES[module]}, found {exported}")
                return 1
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            print(f"{wheel}: {module} exports {exported}, sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
