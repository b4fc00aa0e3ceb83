"""Downloads the source archive NAME-VERSION.tar.gz from PyPI to PATH without building or running
anything from it, and keeps it only when its SHA-256 is the expected one.

Usage: fetch_pypi_sdist.py NAME VERSION SHA256 PATH

The file is looked up in PyPI's simple index (JSON form), as pip does; `pip download` would also
build the package's metadata, which for an archive that is only unpacked is a needless (and for
some carriers failing) run of its build backend.
"""
import hashlib
import json
import os
import sys
import tempfile
import urllib.parse
import urllib.request

INDEX = "https://pypi.org/simple/"


def archive_url(name, filename):
    """The download address of `filename` among the files of project `name`."""
    page = urllib.parse.urljoin(INDEX, name + "/")
    request = urllib.request.Request(page, headers={"Accept": "application/vnd.pypi.simple.v1+json"})
    with urllib.request.urlopen(request, timeout=60) as response:
        files = json.load(response)["files"]
    for entry in files:
        if entry["filename"] == filename:
            return urllib.parse.urljoin(page, entry["url"])
    raise SystemExit(f"{filename} is not among the files of {page}")


def download(url, sha256, path):
    """Writes the body at `url` to `path` if its SHA-256 is `sha256`; no partial file is left."""
    with urllib.request.urlopen(url, timeout=300) as response:
        body = response.read()
    actual = hashlib.sha256(body).hexdigest()
    if actual != sha256:
        raise SystemExit(f"{url}: SHA-256 {actual}, expected {sha256}")
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    with tempfile.NamedTemporaryFile(dir=directory, delete=False) as part:
        part.write(body)
    os.replace(part.name, path)


def main(name, version, sha256, path):
    url = archive_url(name, f"{name}-{version}.tar.gz")
    print(f"downloading {url}", file=sys.stderr)
    download(url, sha256, path)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
