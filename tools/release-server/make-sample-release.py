#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: Norvatek
"""Writes sample-release/: the catalogues and firmware images that the demo and tests serve.

The images are deterministic, so running this again reproduces the committed files byte for byte.
Each image starts with a readable tag (hardware id, part, version) followed by pseudo-random bytes.
Every firmware member "<key>" is followed by "<key>_sha256", the SHA-256 of its image, which the
updater checks before anything is written to the meter.

With --sign SECRET_KEY, each branch's catalogue is also signed with minisign, into
catalogue.json.minisig beside it (minisign asks for the key's password, if it has one). A
signature carries the time of signing, so a signed folder belongs elsewhere (--output), not in
the committed sample-release/; without --sign, signatures left from an earlier run are removed.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "sample-release")
SIGNATURE_SUFFIX = ".minisig"


def image(tag, size, seed):
    data = bytearray(("NVK-FW %s\0" % tag).encode("ascii"))
    state = (seed * 2654435761 + 0x9E3779B9) & 0xFFFFFFFF or 1
    while len(data) < size:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data.append(state & 0xFF)
    return bytes(data)


def version(tag, images, **flags):
    """A version object; images maps catalogue key -> (file name, size)."""
    entry = {"tag_name": tag, "prerelease": "false", "isbeta": "false"}
    entry.update(flags)
    entry["published_at"] = ""  # filled in release order by main()
    for key, (name, _) in sorted(images.items()):
        entry[key] = name
        entry[key + "_sha256"] = ""  # filled in by main() once the image is made
    return entry, images


def fw(hardware, part, tag, size):
    key = "%s_%s_firmware" % (hardware, part)
    return key, ("%s_%s_%s.bin" % (hardware, part, tag), size)


BRANCHES = {
    "cust": [
        version("1.0.0", dict([fw("DOVUr3", "main", "1.0.0", 28 * 1024 + 113),
                               fw("QX7Lm2", "main", "1.0.0", 21 * 1024 + 7)])),
        # Two images for the meter: a multi-image update, flashed in key order (boot, then main).
        version("1.1.0", dict([fw("DOVUr3", "boot", "1.1.0", 20 * 1024 + 45),
                               fw("DOVUr3", "main", "1.1.0", 30 * 1024 + 77),
                               fw("QX7Lm2", "main", "1.1.0", 22 * 1024 + 3)])),
        # A boolean flag does not mark a pre-release: this one is always listed.
        version("1.1.1", dict([fw("DOVUr3", "main", "1.1.1", 30 * 1024 + 201)]), prerelease=True),
        version("1.2.0-beta1", dict([fw("DOVUr3", "main", "1.2.0-beta1", 31 * 1024 + 19)]),
                isbeta="true"),
        version("1.2.0-rc1", dict([fw("DOVUr3", "main", "1.2.0-rc1", 31 * 1024 + 90),
                                   fw("QX7Lm2", "main", "1.2.0-rc1", 23 * 1024 + 1)]),
                prerelease="true"),
        # The newest version, selected by default: one image for the meter.
        version("1.2.0", dict([fw("DOVUr3", "main", "1.2.0", 32 * 1024 + 155),
                               fw("QX7Lm2", "main", "1.2.0", 23 * 1024 + 61)])),
    ],
    "labs/rf-team": [
        version("1.3.0-labs1", dict([fw("DOVUr3", "main", "1.3.0-labs1", 33 * 1024 + 5)]),
                prerelease="true"),
        version("1.3.0-labs2", dict([fw("DOVUr3", "boot", "1.3.0-labs2", 20 * 1024 + 99),
                                     fw("DOVUr3", "main", "1.3.0-labs2", 33 * 1024 + 250)])),
    ],
}


def trusted_comment(branch, expires_days=None):
    """The signed comment that binds a catalogue to its branch and its time of signing: the
    updater refuses a signed catalogue without both, one of another branch, and one older than
    the newest it has used. "expires:" is optional."""
    now = int(time.time())
    fields = ["timestamp:%d" % now, "branch:%s" % branch]
    if expires_days is not None:
        fields.append("expires:%d" % (now + expires_days * 24 * 3600))
    return "\t".join(fields)


def sign(catalogue, secret_key, branch, expires_days=None):
    """minisign -S -H -t: the hashed form, which the updater requires, with the bound comment."""
    subprocess.run(["minisign", "-S", "-H", "-s", secret_key, "-m", catalogue,
                    "-t", trusted_comment(branch, expires_days)], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=OUT, help="release folder to write (default: %(default)s)")
    parser.add_argument("--sign", metavar="SECRET_KEY",
                        help="minisign secret key that signs each catalogue")
    parser.add_argument("--expires-days", type=int, metavar="DAYS",
                        help="with --sign: each signature expires DAYS days from now")
    args = parser.parse_args()

    seed = 1
    for branch, versions in BRANCHES.items():
        folder = os.path.join(args.output, branch)
        os.makedirs(folder, exist_ok=True)
        for month, (entry, _) in enumerate(versions, start=1):
            entry["published_at"] = "2024-%02d-15" % month
        for entry, images in versions:
            for key, (name, size) in sorted(images.items()):
                data = image("%s %s" % (key, entry["tag_name"]), size, seed)
                seed += 1
                entry[key + "_sha256"] = hashlib.sha256(data).hexdigest()
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
        catalogue = [{"product": "Lumetra", "versions": [entry for entry, _ in versions]}]
        catalogue_path = os.path.join(folder, "catalogue.json")
        with open(catalogue_path, "w") as f:
            json.dump(catalogue, f, indent=2)
            f.write("\n")
        if args.sign:
            sign(catalogue_path, args.sign, branch, args.expires_days)
        elif os.path.exists(catalogue_path + SIGNATURE_SUFFIX):
            os.remove(catalogue_path + SIGNATURE_SUFFIX)
    return 0


if __name__ == "__main__":
    sys.exit(main())
