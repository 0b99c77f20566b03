#!/usr/bin/python3
"""scripts/package signs Zendrel.exe when given a certificate and key.

   signing_test.py SOURCE_DIR BUILD_DIR

Makes a throw-away certificate authority and a code-signing certificate it
issued, packs BUILD/Zendrel.exe signed with them, and checks the packed
file: osslsigncode verifies its signature against that authority and not
against another one, its checksum line matches it, it runs under Wine, and
with the signature taken off it is the unsigned build byte for byte. Signing
needs both files: either alone is refused.
"""

import hashlib
import io
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(command, **options):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **options)


def openssl(*arguments):
    result = run(["openssl"] + list(arguments))
    if result.returncode != 0:
        sys.stdout.write(result.stdout.decode(errors="replace"))
        raise SystemExit(f"FAIL: openssl {arguments[0]} exited with {result.returncode}")


def make_authority(directory, name):
    """A self-signed certificate authority; returns (certificate, key) paths."""
    cert, key = os.path.join(directory, name + ".pem"), os.path.join(directory, name + ".key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
            "-days", "2", "-subj", f"/CN={name}",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def make_signer(directory, authority):
    """A code-signing certificate issued by AUTHORITY; returns (certificate, key) paths."""
    cert, key = os.path.join(directory, "signer.pem"), os.path.join(directory, "signer.key")
    request = os.path.join(directory, "signer.csr")
    extensions = os.path.join(directory, "signer.ext")
    with open(extensions, "w") as file:
        file.write("basicConstraints=CA:FALSE\n"
                   "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=codeSigning\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
            "-subj", "/CN=Zendrel test signer")
    openssl("x509", "-req", "-in", request, "-CA", authority[0], "-CAkey", authority[1],
            "-set_serial", "2", "-days", "2", "-extfile", extensions, "-out", cert)
    return cert, key


def package(source, build, dist, *options):
    environment = dict(os.environ, ZENDREL_BUILD=build)
    return run([os.path.join(source, "scripts", "package"), "--no-build", "--dist", dist]
               + list(options), env=environment)


def verify(exe, authority_cert):
    result = run(["osslsigncode", "verify", "-CAfile", authority_cert, "-in", exe])
    return result.returncode == 0, result.stdout.decode(errors="replace")


def main():
    source = os.path.abspath(sys.argv[1])
    build = os.path.abspath(sys.argv[2])
    with open(os.path.join(build, "Zendrel.exe"), "rb") as file:
        unsigned = file.read()

    with tempfile.TemporaryDirectory(prefix="zendrel-signing-") as scratch:
        authority = make_authority(scratch, "Zendrel test authority")
        other_authority = make_authority(scratch, "Another authority")
        signer = make_signer(scratch, authority)

        for options in (["--cert", signer[0]], ["--key", signer[1]]):
            result = package(source, build, os.path.join(scratch, "refused"), *options)
            check(result.returncode != 0, f"scripts/package {options[0]} alone did not fail")

        result = package(source, build, os.path.join(scratch, "dist"),
                         "--cert", signer[0], "--key", signer[1])
        if result.returncode != 0:
            sys.stdout.write(result.stdout.decode(errors="replace"))
            raise SystemExit(f"FAIL: scripts/package with signing exited with {result.returncode}")
        archives = os.listdir(os.path.join(scratch, "dist"))
        with zipfile.ZipFile(os.path.join(scratch, "dist", archives[0])) as archive:
            signed = archive.read("Zendrel.exe")
            checksum = archive.read("Zendrel.exe.sha256")

        exe = os.path.join(scratch, "Zendrel.exe")
        with open(exe, "wb") as file:
            file.write(signed)
        security = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        check(security.Size != 0, "the packed Zendrel.exe has no certificate table")
        trusted, report = verify(exe, authority[0])
        check(trusted, "osslsigncode does not verify the signature against its authority:\n"
              + report)
        trusted, _ = verify(exe, other_authority[0])
        check(not trusted, "osslsigncode verifies the signature against an unrelated authority")
        check(checksum == f"{hashlib.sha256(signed).hexdigest()}  Zendrel.exe\n".encode(),
              f"Zendrel.exe.sha256 is {checksum!r}, not the signed file's")

        stripped = os.path.join(scratch, "stripped.exe")
        result = run(["osslsigncode", "remove-signature", "-in", exe, "-out", stripped])
        if check(result.returncode == 0, "osslsigncode remove-signature failed"):
            with open(stripped, "rb") as file:
                check(file.read() == unsigned,
                      "the signed file without its signature differs from the unsigned build")

        result = subprocess.run(["wine", exe], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
        check(result.returncode == 1 and result.stdout.startswith(b"Zendrel - removes"),
              f"the signed Zendrel.exe under Wine exited with {result.returncode} and printed "
              f"{result.stdout[:60]!r}")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"ok: signed Zendrel.exe ({len(signed)} bytes) verifies against its authority only, "
          "runs under Wine, and is the unsigned build without its signature")
    return 0


if __name__ == "__main__":
    sys.exit(main())
