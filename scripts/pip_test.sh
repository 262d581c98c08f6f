#!/usr/bin/env bash
# pip as a user runs it from a clone, with no network: installs the module into a fresh venv
# (Debian's interpreter, numpy from the system), uses it, makes a wheel, and uninstalls it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$root/venv"
pip=("$root/venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install --no-build-isolation --no-index .
site=$("$root/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
cd "$root"
"$root/venv/bin/python" - "$site" <<'PY'
import os, sys
import numpy as np
import tamsa
site = sys.argv[1]
assert os.path.dirname(tamsa.__file__) == site, tamsa.__file__
assert os.path.isfile(os.path.join(site, "tamsa.pyi"))
image = (np.arange(6 * 4 * 3) * 11 % 256).astype(np.uint8).reshape(4, 6, 3)
for name in ("p.png", "p.pam", "p.ppm"):
    tamsa.save(name, image)
    assert np.array_equal(tamsa.load(name), image), name
tamsa.save("p.jpg", image, quality=95)
assert tamsa.load("p.jpg").shape == image.shape
assert np.array_equal(tamsa.turn(image, 180), image[::-1, ::-1])
PY
"${pip[@]}" wheel --no-build-isolation --no-index --no-deps -w "$root/wheels" "$repo"
wheel=$(ls "$root"/wheels/tamsa-*.whl)
listing=$("$root/venv/bin/python" -m zipfile -l "$wheel")
grep -qE '^tamsa\.pyi ' <<<"$listing" || { echo "pip test: the wheel lacks the stub" >&2; exit 1; }
"${pip[@]}" uninstall -y tamsa
if "$root/venv/bin/python" -c 'import tamsa' 2>/dev/null; then
  echo "pip test: tamsa still imports after pip uninstall" >&2
  exit 1
fi
left=$(find "$site" -maxdepth 1 -iname 'tamsa*')
[ -z "$left" ] || { echo "pip test: pip uninstall left $left" >&2; exit 1; }
echo "pip install, wheel and uninstall: ok"
