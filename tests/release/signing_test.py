#!/usr/bin/python3
"""scripts/package signs Zendrel.exe when given a certificate and key.

   signing_test.py SOURCE_DIR BUILD_DIR

With a throw-away certificate authority and a code-signing certificate it
issued, packs BUILD/Zendrel.exe signed. The packed file must verify against
that authority and not another, match its checksum line, run under Wine, and
be the unsigned build once its signature is taken off. Either file alone is
refused.
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(*command, **options):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **options)


def certificate(directory, name, issuer=None):
    """A certificate and key in DIRECTORY: a self-signed authority, or issued by ISSUER
    for code signing. Returns (certificate, key) paths."""
    cert, key = (os.path.join(directory, name + suffix) for suffix in (".pem", ".key"))
    if issuer is None:
        commands = [("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                     "-days", "2", "-subj", f"/CN={name}", "-addext",
                     "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")]
    else:
        request, extensions = cert + ".csr", cert + ".ext"
        with open(extensions, "w") as file:
            file.write("keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        commands = [("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                     request, "-subj", f"/CN={name}"),
                    ("x509", "-req", "-in", request, "-CA", issuer[0], "-CAkey", issuer[1],
                     "-set_serial", "2", "-days", "2", "-extfile", extensions, "-out", cert)]
    for command in commands:
        result = run("openssl", *command)
        if result.returncode != 0:
            raise SystemExit(f"FAIL: openssl {command[0]}: {result.stdout.decode(errors='replace')}")
    return cert, key


def main():
    source, build = (os.path.abspath(path) for path in sys.argv[1:3])
    package = [os.path.join(source, "scripts", "package"), "--no-build", "--dist"]
    environment = dict(os.environ, ZENDREL_BUILD=build)
    with open(os.path.join(build, "Zendrel.exe"), "rb") as file:
        unsigned = file.read()

    with tempfile.TemporaryDirectory(prefix="zendrel-signing-") as scratch:
        authority = certificate(scratch, "Zendrel test authority")
        stranger = certificate(scratch, "Another authority")
        cert, key = certificate(scratch, "Zendrel test signer", issuer=authority)
        for alone in (["--cert", cert], ["--key", key]):
            result = run(*package, os.path.join(scratch, "refused"), *alone, env=environment)
            check(result.returncode != 0, f"scripts/package with {alone[0]} alone did not fail")

        dist = os.path.join(scratch, "dist")
        result = run(*package, dist, "--cert", cert, "--key", key, env=environment)
        if result.returncode != 0:
            raise SystemExit(f"FAIL: signed packing: {result.stdout.decode(errors='replace')}")
        with zipfile.ZipFile(os.path.join(dist, os.listdir(dist)[0])) as archive:
            signed = archive.read("Zendrel.exe")
            checksum = archive.read("Zendrel.exe.sha256")
        exe, stripped = os.path.join(scratch, "Zendrel.exe"), os.path.join(scratch, "stripped.exe")
        with open(exe, "wb") as file:
            file.write(signed)

        table = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        check(table.Size != 0, "the packed Zendrel.exe has no certificate table")
        result = run("osslsigncode", "verify", "-CAfile", authority[0], "-in", exe)
        check(result.returncode == 0, "the signature does not verify against its authority:\n"
              + result.stdout.decode(errors="replace"))
        result = run("osslsigncode", "verify", "-CAfile", stranger[0], "-in", exe)
        check(result.returncode != 0, "the signature verifies against an unrelated authority")
        check(checksum == f"{hashlib.sha256(signed).hexdigest()}  Zendrel.exe\n".encode(),
              f"Zendrel.exe.sha256 is {checksum!r}, not the signed file's")
        result = run("osslsigncode", "remove-signature", "-in", exe, "-out", stripped)
        if check(result.returncode == 0, "osslsigncode remove-signature failed"):
            with open(stripped, "rb") as file:
                check(file.read() == unsigned, "without its signature the file is not the build")
        result = subprocess.run(["wine", exe], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=90)
        check(result.returncode == 1 and result.stdout.startswith(b"Zendrel - removes"),
              f"signed under Wine: exit {result.returncode}, output {result.stdout[:60]!r}")

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"ok: signed Zendrel.exe ({len(signed)} bytes) verifies against its authority "
              "only, runs under Wine, and is the unsigned build without its signature")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
