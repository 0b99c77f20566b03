#!/usr/bin/python3
"""scripts/package signs Zendrel.exe when given a certificate and key.

   signing_test.py SOURCE_DIR BUILD_DIR

With a throw-away certificate authority and a code-signing certificate it
issued, packs BUILD/Zendrel.exe signed. The packed file must verify against
that authority and not another, match its checksum line, run under Wine, and
be the unsigned build once its signature is taken off. It carries no time
stamp, so it no longer verifies once the certificate has expired.

With --timestamp, a time-stamp authority started here on 127.0.0.1 (its own
throw-away authority, answering with openssl ts -reply) stamps the signature:
the stamp verifies against that authority only, dates the signing, and keeps
the signature valid after the certificate's expiry. An authority that cannot
be reached fails the packing. Either file alone, --timestamp without them,
and a time-stamp address that is not http(s) are refused.
"""

import contextlib
import datetime
import hashlib
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import windows_programs  # noqa: E402

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
CODE_SIGNING = "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
TIME_STAMPING = "keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n"
# The certificates are valid for two days; this is well past that.
AFTER_EXPIRY = 5 * 24 * 3600
# How long the time-stamp authority serves at most, whatever happens.
AUTHORITY_SECONDS = 60
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(*command, **options):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=60, **options)


def output(result):
    return result.stdout.decode(errors="replace")


def certificate(directory, name, issuer=None, extensions=CODE_SIGNING):
    """A certificate and key in DIRECTORY: a self-signed authority, or issued by ISSUER
    with EXTENSIONS. Returns (certificate, key) paths."""
    cert, key = (os.path.join(directory, name + suffix) for suffix in (".pem", ".key"))
    if issuer is None:
        commands = [("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                     "-days", "2", "-subj", f"/CN={name}", "-addext",
                     "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")]
    else:
        request, extension_file = cert + ".csr", cert + ".ext"
        with open(extension_file, "w") as file:
            file.write(extensions)
        commands = [("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                     request, "-subj", f"/CN={name}"),
                    ("x509", "-req", "-in", request, "-CA", issuer[0], "-CAkey", issuer[1],
                     "-set_serial", "2", "-days", "2", "-extfile", extension_file, "-out", cert)]
    for command in commands:
        result = run("openssl", *command)
        if result.returncode != 0:
            raise SystemExit(f"FAIL: openssl {command[0]}: {output(result)}")
    return cert, key


@contextlib.contextmanager
def time_stamp_authority(directory, signer):
    """An RFC 3161 time-stamp authority on 127.0.0.1 that answers each query with
    openssl ts -reply, signed by SIGNER (certificate, key). Yields its address and
    the list of queries it answered. It stops at the end, or by itself after
    AUTHORITY_SECONDS."""
    config = os.path.join(directory, "tsa.cnf")
    serial = os.path.join(directory, "tsa.serial")
    with open(serial, "w") as file:
        file.write("01\n")
    with open(config, "w") as file:
        file.write(f"[tsa]\ndefault_tsa = test\n[test]\nserial = {serial}\n"
                   f"crypto_device = builtin\nsigner_cert = {signer[0]}\n"
                   f"signer_key = {signer[1]}\nsigner_digest = sha256\n"
                   "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\n"
                   "accuracy = secs:1\nordering = yes\ntsa_name = yes\n"
                   "ess_cert_id_chain = no\ness_cert_id_alg = sha256\n")
    answered = []
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        timeout = 10

        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with lock:
                name = os.path.join(directory, f"query-{len(answered)}")
                with open(name + ".tsq", "wb") as file:
                    file.write(query)
                result = run("openssl", "ts", "-reply", "-config", config,
                             "-queryfile", name + ".tsq", "-out", name + ".tsr")
                reply = b""
                if result.returncode == 0:
                    with open(name + ".tsr", "rb") as file:
                        reply = file.read()
                answered.append(self.headers.get("Content-Type"))
            if not reply:
                self.send_error(500, "openssl ts -reply failed")
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    deadline = threading.Timer(AUTHORITY_SECONDS, server.shutdown)
    deadline.daemon = True
    deadline.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/", answered
    finally:
        deadline.cancel()
        server.shutdown()
        server.server_close()
        serving.join(10)


def signed_exe(dist, scratch, name):
    """The Zendrel.exe packed in DIST, written to SCRATCH/NAME; returns (bytes, path, checksum
    line)."""
    archives = [entry for entry in os.listdir(dist) if entry.endswith(".zip")]
    with zipfile.ZipFile(os.path.join(dist, archives[0])) as archive:
        signed = archive.read("Zendrel.exe")
        checksum = archive.read("Zendrel.exe.sha256")
    path = os.path.join(scratch, name)
    with open(path, "wb") as file:
        file.write(signed)
    return signed, path, checksum


def stamp_time(verified):
    """The time stamp's time that osslsigncode verify reports, or None."""
    for line in verified.splitlines():
        line = line.strip()
        if line.startswith("Timestamp time:"):
            text = " ".join(line.split(":", 1)[1].split())
            return datetime.datetime.strptime(text, "%b %d %H:%M:%S %Y GMT").replace(
                tzinfo=datetime.timezone.utc).timestamp()
    return None


def check_time_stamped(package, environment, scratch, authority, cert, key):
    tsa_authority = certificate(scratch, "Zendrel test time-stamp authority")
    tsa = certificate(scratch, "Zendrel test time stamps", issuer=tsa_authority,
                      extensions=TIME_STAMPING)
    # The query goes straight to 127.0.0.1, never through a proxy.
    environment = {name: value for name, value in environment.items()
                   if name.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
    environment["no_proxy"] = "127.0.0.1"

    dist = os.path.join(scratch, "stamped")
    with time_stamp_authority(scratch, tsa) as (address, answered):
        started = time.time()
        result = run(*package, dist, "--cert", cert, "--key", key, "--timestamp", address,
                     env=environment)
        finished = time.time()
    if not check(result.returncode == 0, f"time-stamped packing: {output(result)}"):
        return
    check(answered == ["application/timestamp-query"],
          f"the time-stamp authority answered {answered}, not one time-stamp query")
    signed, exe, checksum = signed_exe(dist, scratch, "stamped.exe")
    check(checksum == f"{hashlib.sha256(signed).hexdigest()}  Zendrel.exe\n".encode(),
          f"the time-stamped Zendrel.exe.sha256 is {checksum!r}, not the signed file's")

    verify = ("osslsigncode", "verify", "-CAfile", authority[0], "-in", exe)
    result = run(*verify, "-TSA-CAfile", tsa_authority[0])
    verified = output(result)
    check(result.returncode == 0 and "Timestamp Server Signature verification: ok" in verified,
          "the time stamp does not verify against its authority:\n" + verified)
    stamped = stamp_time(verified)
    check(stamped is not None and started - 2 <= stamped <= finished + 2,
          f"the time stamp is dated {stamped}, not within the packing ({started}-{finished})")
    result = run(*verify, "-TSA-CAfile", tsa_authority[0],
                 "-time", str(int(time.time()) + AFTER_EXPIRY))
    check(result.returncode == 0, "the time-stamped signature is not valid after the "
          "certificate's expiry:\n" + output(result))
    result = run(*verify, "-TSA-CAfile", authority[0])
    check("Timestamp Server Signature verification: ok" not in output(result),
          "the time stamp verifies against an unrelated authority:\n" + output(result))

    # The authority has stopped: its address now refuses connections.
    dist = os.path.join(scratch, "unstamped")
    result = run(*package, dist, "--cert", cert, "--key", key, "--timestamp", address,
                 env=environment)
    check(result.returncode != 0 and not any(name.endswith(".zip") for name in os.listdir(dist)),
          f"packing with an unreachable time-stamp authority exited with "
          f"{result.returncode} and left {os.listdir(dist)}")


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
        signing = ["--cert", cert, "--key", key]
        refused = [["--cert", cert], ["--key", key], ["--timestamp", "http://127.0.0.1/"],
                   [*signing, "--timestamp", "ftp://127.0.0.1/"],
                   [*signing, "--timestamp", "http://127.0.0.1/a b"],
                   [*signing, "--timestamp", "http://127.0.0.1/\"stamp\""],
                   [*signing, "--timestamp"]]
        for options in refused:
            result = run(*package, os.path.join(scratch, "refused"), *options, env=environment)
            check(result.returncode == 2, f"scripts/package {options} exited with "
                  f"{result.returncode}, not 2: {output(result)}")

        dist = os.path.join(scratch, "dist")
        result = run(*package, dist, "--cert", cert, "--key", key, env=environment)
        if result.returncode != 0:
            raise SystemExit(f"FAIL: signed packing: {output(result)}")
        signed, exe, checksum = signed_exe(dist, scratch, "Zendrel.exe")
        stripped = os.path.join(scratch, "stripped.exe")

        table = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        check(table.Size != 0, "the packed Zendrel.exe has no certificate table")
        result = run("osslsigncode", "verify", "-CAfile", authority[0], "-in", exe)
        check(result.returncode == 0, "the signature does not verify against its authority:\n"
              + output(result))
        check("Timestamp is not available" in output(result) and stamp_time(output(result)) is None,
              "the signature made without --timestamp carries a time stamp:\n" + output(result))
        result = run("osslsigncode", "verify", "-CAfile", authority[0], "-in", exe,
                     "-time", str(int(time.time()) + AFTER_EXPIRY))
        check(result.returncode != 0, "without a time stamp the signature still verifies "
              "after the certificate's expiry")
        result = run("osslsigncode", "verify", "-CAfile", stranger[0], "-in", exe)
        check(result.returncode != 0, "the signature verifies against an unrelated authority")
        check(checksum == f"{hashlib.sha256(signed).hexdigest()}  Zendrel.exe\n".encode(),
              f"Zendrel.exe.sha256 is {checksum!r}, not the signed file's")
        result = run("osslsigncode", "remove-signature", "-in", exe, "-out", stripped)
        if check(result.returncode == 0, "osslsigncode remove-signature failed"):
            with open(stripped, "rb") as file:
                check(file.read() == unsigned, "without its signature the file is not the build")
        result = subprocess.run(windows_programs.command(exe), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=90)
        check(result.returncode == 1 and result.stdout.startswith(b"Zendrel - removes"),
              f"signed under Wine: exit {result.returncode}, output {result.stdout[:60]!r}")

        check_time_stamped(package, environment, scratch, authority, cert, key)

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"ok: signed Zendrel.exe ({len(signed)} bytes) verifies against its authority "
              "only, runs under Wine, and is the unsigned build without its signature; "
              "time-stamped, it stays valid past the certificate's expiry")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
