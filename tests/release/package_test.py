#!/usr/bin/python3
"""The release archive holds exactly what it should, and is reproducible.

   package_test.py SOURCE_DIR BUILD_DIR

Runs scripts/package twice on the executable in BUILD_DIR (no build), into
fresh directories a second apart, and checks the archive and its checksum file
beside it (sha256sum's form, which sha256sum -c accepts): the same bytes both
times, exactly Zendrel.exe, README.txt, LICENSE.txt and Zendrel.exe.sha256 in
that order, each dated by the last commit, the executable byte for byte, a
matching checksum line, the repository's LICENSE with CRLF line ends, and a
README with CRLF line ends, of at most 300 lines and each heading once, that
names the checksum commands for the zip and then for Zendrel.exe, the
Windows ones before sha256sum, holds the program's own usage text (taken
from a run of Zendrel.exe under Wine) and a row for every exit code, names
no file the zip does not hold and nothing of Wine, names for each link into
the details that part's heading, and says word for word what README.md's
users' part and docs/windows.md say, naming the zip's LICENSE.txt.
SOURCE_DATE_EPOCH, where given, dates the entries instead; with neither it
nor a commit, packing fails. With --url, README.txt names the project's
address, and for a GitHub release the repository in the attestation
commands for the zip and Zendrel.exe and the addresses of its releases and
issues pages; the Scoop and winget manifests name this archive, its hash and
the version, and hold against the package managers' published schemas in
../shared/schemas/ beside SOURCE_DIR (a checkout standing alone has none:
the test then says that it skips them); a description and publisher that
YAML would misread unquoted reach the manifests unchanged.
"""

import datetime
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from collections import Counter

import jsonschema
import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import windows_programs  # noqa: E402
import yaml

ENTRIES = ["Zendrel.exe", "README.txt", "LICENSE.txt", "Zendrel.exe.sha256"]
EXIT_CODES = ["0", "1", "2", "3", "4", "5", "0xFFFFFFFE", "0xFFFFFFFD"]
# SOURCE_DATE_EPOCH values and the date each gives every entry (None: refused).
# A zip entry's time counts in two-second steps.
EPOCHS = [
    ("1700000000", (2023, 11, 14, 22, 13, 20)),
    ("1700000001", (2023, 11, 14, 22, 13, 20)),
    ("1700000059", (2023, 11, 14, 22, 14, 18)),
    ("315532800", (1980, 1, 1, 0, 0, 0)),
    ("315532799", None),
    ("4354819200", None),
    ("-1700000000", None),
    ("1700000000.5", None),
    ("tomorrow", None),
]
# How a Windows user checks the download, the zip first and then the
# executable in it: PowerShell's and cmd's commands, then sha256sum's.
CHECKSUMS = ["Get-FileHash .\\{} -Algorithm SHA256", "certutil -hashfile {} SHA256",
             "sha256sum -c {}.sha256"]
# README.txt at most this long, the whole of it read through.
README_LINES = 300
# Words for what the zip does not hold: the repository's own files, and the
# project's findings under Wine, which are for contributors.
NOT_IN_THE_ZIP = [r"\.md\b", r"windows-facts", r"\bWine\b"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run_package(source, build, dist, *options, **variables):
    """scripts/package on BUILD's executable into DIST, SOURCE_DATE_EPOCH unset
    unless VARIABLES give it. The packer's own time zone (14 hours east of UTC,
    needing no zone files) must not move the entries' dates."""
    environment = dict(os.environ, ZENDREL_BUILD=build, TZ="ZZZ-14")
    environment.pop("SOURCE_DATE_EPOCH", None)
    environment.update(variables)
    return subprocess.run([os.path.join(source, "scripts", "package"), "--no-build",
                           "--dist", dist, *options], env=environment, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=60)


def package(source, build, dist, *options, **variables):
    """Packs into DIST, which must then hold the archive and its checksum file;
    returns the archive's name and bytes."""
    result = run_package(source, build, dist, *options, **variables)
    if result.returncode != 0:
        sys.stdout.write(result.stdout.decode(errors="replace"))
        raise SystemExit(f"FAIL: scripts/package exited with {result.returncode}")
    names = sorted(os.listdir(dist))
    if len(names) != 2 or not names[0].endswith(".zip") or names[1] != names[0] + ".sha256":
        raise SystemExit(f"FAIL: scripts/package left {names} in the dist directory")
    with open(os.path.join(dist, names[0]), "rb") as file:
        return names[0], file.read()


def check_checksum_file(dist, name, archive):
    with open(os.path.join(dist, name + ".sha256"), "rb") as file:
        line = file.read()
    check(line == f"{hashlib.sha256(archive).hexdigest()}  {name}\n".encode(),
          f"{name}.sha256 is {line!r}")
    result = subprocess.run(["sha256sum", "-c", name + ".sha256"], cwd=dist,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(result.returncode == 0, f"sha256sum -c {name}.sha256 failed: {result.stdout!r}")


def commit_date(source):
    """The last commit's time as a zip entry shows it: UTC, in two-second steps."""
    result = subprocess.run(["git", "-C", source, "show", "-s", "--format=%cI", "HEAD"],
                            stdout=subprocess.PIPE, check=True)
    seconds = int(datetime.datetime.fromisoformat(result.stdout.decode().strip()).timestamp())
    return time.gmtime(seconds - seconds % 2)[:6]


def left_in(dist):
    return os.listdir(dist) if os.path.isdir(dist) else []


def entry_dates(archive):
    with zipfile.ZipFile(io.BytesIO(archive)) as zip_file:
        return {info.filename: info.date_time for info in zip_file.infolist()}


def check_dates(source, build, scratch):
    """SOURCE_DATE_EPOCH dates every entry, or is refused; with neither it nor a
    commit there is no date to give and packing fails."""
    for number, (epoch, expected) in enumerate(EPOCHS):
        dist = os.path.join(scratch, f"epoch-{number}")
        if expected is None:
            result = run_package(source, build, dist, SOURCE_DATE_EPOCH=epoch)
            check(result.returncode != 0 and not left_in(dist),
                  f"SOURCE_DATE_EPOCH={epoch} was not refused")
            continue
        _, archive = package(source, build, dist, SOURCE_DATE_EPOCH=epoch)
        dates = entry_dates(archive)
        check(set(dates.values()) == {expected},
              f"with SOURCE_DATE_EPOCH={epoch} the entries are dated {dates}, not {expected}")
    dist = os.path.join(scratch, "undated")
    result = run_package(source, build, dist, GIT_DIR=os.path.join(scratch, "no-repository"))
    check(result.returncode == 1 and b"SOURCE_DATE_EPOCH" in result.stdout,
          f"without a commit or SOURCE_DATE_EPOCH scripts/package exited with "
          f"{result.returncode}: {result.stdout!r}")
    check(not left_in(dist),
          "without a commit or SOURCE_DATE_EPOCH scripts/package still packed")


def fixed_file_version(exe):
    """FileVersion of the version record's fixed part, as "a.b.c.d"."""
    info = pefile.PE(data=exe).VS_FIXEDFILEINFO[0]
    return (f"{info.FileVersionMS >> 16}.{info.FileVersionMS & 0xFFFF}."
            f"{info.FileVersionLS >> 16}.{info.FileVersionLS & 0xFFFF}")


def usage_text(exe):
    """What Zendrel.exe prints when given no device name."""
    result = subprocess.run(windows_programs.command(exe), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=90)
    check(result.returncode == 1, f"Zendrel.exe without arguments exited with "
          f"{result.returncode}, not 1")
    check(result.stdout.startswith(b"Zendrel"), f"unexpected usage output {result.stdout!r}")
    return result.stdout


def sources(readme, details):
    """The text for Windows users as written: README.md up to its
    contributors' section, without the title, then docs/windows.md; the
    code fences' own lines left out."""
    users, found, _ = readme.split("\n", 1)[1].partition("\n## For contributors\n")
    check(found, "README.md has no section For contributors")
    return "\n".join(line for line in (users + "\n" + details).split("\n")
                     if not line.startswith("```"))


def markdown_words(readme, details):
    """The words of the text for Windows users, without its markup. A link is
    its text; a link to LICENSE names the zip's LICENSE.txt."""
    text = sources(readme, details).replace("[LICENSE](LICENSE)", "LICENSE.txt")
    return words(re.sub(r"\]\([^)]*\)", "]", text))


def inline_code(readme, details):
    """Each inline code span of the text for Windows users, its line breaks
    read as spaces."""
    return {" ".join(code.split()) for code in re.findall(r"`([^`]+)`", sources(readme, details))}


def words(text):
    """Each word and how often it occurs; markup characters, the quotes that
    mark inline code in plain text, and rules dropped."""
    return Counter(word for word in re.sub(r"[`*\[\]|\"']", "", text).split()
                   if not re.fullmatch(r"[-=:#]+", word))


def crlf_only(text):
    """Every line, the last included, ends in CRLF."""
    return text.endswith(b"\r\n") and b"\n" not in text.replace(b"\r\n", b"")


def slug(heading):
    """The anchor GitHub gives a Markdown heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def check_readme(readme, usage, readme_md, details, archive_name):
    check(crlf_only(readme), "README.txt has line ends other than CRLF")
    text = readme.replace(b"\r\n", b"\n")
    lines = text.decode("latin-1").split("\n")
    # Read through: short, each heading once, nothing that is not in the zip.
    check(len(lines) - 1 <= README_LINES,
          f"README.txt has {len(lines) - 1} lines, more than {README_LINES}")
    headings = [line for line, under in zip(lines, lines[1:])
                if line.strip() and re.fullmatch(r"=+|-+", under)]
    twice = sorted(heading for heading, count in Counter(headings).items() if count > 1)
    check(not twice, f"README.txt has the headings {twice} more than once")
    for pattern in NOT_IN_THE_ZIP:
        found = sorted({line.strip() for line in lines if re.search(pattern, line)})
        check(not found, f"README.txt names what the zip does not hold ({pattern}): {found}")
    # Each link to a part of the details names that part's heading, which
    # README.txt then holds.
    anchors = {slug(heading): heading for heading in re.findall(r"(?m)^#+ (.*)$", details)}
    for label, anchor in re.findall(r"\[([^\]]*)\]\(docs/windows\.md#([^)]*)\)",
                                    sources(readme_md, "")):
        check(anchors.get(anchor) == label and label in headings,
              f"README.md links [{label}] to docs/windows.md#{anchor}, not to its heading")
    # The zip against its own checksum first, then the executable in it; the
    # Windows commands before sha256sum. Inline code may wrap: read as one line.
    flat = " ".join(text.decode("latin-1").split())
    commands = [form.format(name) for name in [archive_name, "Zendrel.exe"] for form in CHECKSUMS]
    places = [flat.find(command) for command in commands]
    for command, place in zip(commands, places):
        check(place >= 0, f"README.txt does not name {command}")
    check(places == sorted(places), f"README.txt does not name {commands} in that order")
    # The usage text stands as code, each line indented alike.
    indented = b"".join(b"    " + line if line.strip() else line
                        for line in usage.splitlines(keepends=True))
    check(b"\n" + indented in text, "README.txt does not hold the program's usage text "
          "line for line")
    for code in EXIT_CODES:
        rows = [line for line in lines if re.match(re.escape(code) + r"\s+\w", line)]
        check(len(rows) == 1, f"README.txt has {len(rows)} table rows for exit code {code}")
    # Written once: README.txt says what README.md and docs/windows.md say to
    # Windows users, word for word, and nothing else.
    expected = markdown_words(readme_md, details)
    got = words(text.decode("latin-1").split("\n", 1)[1])
    check(got == expected, "README.txt and its sources differ: only in the sources "
          f"{sorted((expected - got).elements())}, only in README.txt "
          f"{sorted((got - expected).elements())}")
    check(b"LICENSE.txt" in text and not re.search(rb"\bLICENSE\b(?!\.txt)", text),
          "README.txt names LICENSE, not the zip's LICENSE.txt")
    # Inline code stays told apart from the prose around it: in quotes.
    unquoted = sorted(code for code in inline_code(readme_md, details)
                      if not any(f"{mark}{code}{mark}" in flat for mark in "\"'"))
    check(not unquoted, f"README.txt does not quote the inline code {unquoted}")


def check_license(packed, source):
    check(crlf_only(packed), "LICENSE.txt has line ends other than CRLF")
    check(packed.replace(b"\r\n", b"\n") == source,
          "LICENSE.txt is not the repository's LICENSE")
    check(b"\nCopyright (c) 2026 The Zendrel authors\n" in source and
          source.startswith(b"MIT License\n"), "LICENSE is not the MIT licence of the Zendrel authors")


# Each manifest --url writes, and the published schema it must hold against.
MANIFEST_SCHEMAS = [
    ("scoop/zendrel.json", "scoop.schema.json"),
    ("winget/Zendrel.Zendrel.yaml", "winget.version.1.10.0.json"),
    ("winget/Zendrel.Zendrel.installer.yaml", "winget.installer.1.10.0.json"),
    ("winget/Zendrel.Zendrel.locale.en-US.yaml", "winget.defaultLocale.1.10.0.json"),
]


def load_schemas(source):
    """The published schemas by file name, or None when there are none to
    hold the manifests against; that is said, never passed over in silence."""
    folder = os.path.normpath(os.path.join(source, "..", "shared", "schemas"))
    if not os.path.isdir(folder):
        print(f"SKIP: no published schemas in {folder}: the manifests are not validated")
        return None
    schemas = {}
    for _, name in MANIFEST_SCHEMAS:
        path = os.path.join(folder, name)
        if check(os.path.isfile(path), f"{path} is missing"):
            with open(path) as file:
                schemas[name] = json.load(file)
    return schemas


def check_schemas(dist, schemas, what):
    """Every manifest in DIST validates against its schema; a winget file's
    first line names that schema for editors."""
    if schemas is None:
        return
    for manifest, name in MANIFEST_SCHEMAS:
        if name not in schemas:
            continue
        with open(os.path.join(dist, manifest)) as file:
            text = file.read()
        document = json.loads(text) if manifest.endswith(".json") else yaml.safe_load(text)
        schema = schemas[name]
        validator = jsonschema.validators.validator_for(schema)(
            schema, format_checker=jsonschema.FormatChecker())
        for error in validator.iter_errors(document):
            where = "/".join(str(part) for part in error.absolute_path) or "top level"
            failures.append(f"{what}: {manifest} against {name}, {where}: {error.message}")
        if manifest.endswith(".yaml"):
            first = text.split("\n", 1)[0]
            check(first.lower() == f"# yaml-language-server: $schema={schema['$id']}".lower(),
                  f"{what}: {manifest} begins {first!r}, not naming {schema['$id']}")


# Texts that YAML written unquoted misreads: a ": " starts a mapping (the file
# no longer parses), leading and closing quotes are taken off in silence.
AWKWARD_TEXTS = [
    ("Removes one name: a drive letter or a port", "Zendrel: the authors"),
    ('"Removes one MS-DOS device name"', "'The Zendrel authors'"),
]


def check_awkward_texts(source, scratch, schemas):
    """A description and publisher that YAML would misread unquoted reach the
    manifests as given."""
    archive = os.path.join(scratch, "awkward.zip")
    with open(archive, "wb") as file:
        file.write(b"PK\5\6" + bytes(18))
    for number, (description, publisher) in enumerate(AWKWARD_TEXTS):
        dist = os.path.join(scratch, f"awkward-{number}")
        result = subprocess.run(
            [sys.executable, os.path.join(source, "scripts", "manifests"), "--description",
             description, "--publisher", publisher, archive, "0.4.0.0",
             "https://example.org/Zendrel-0.4.0.0.zip", "https://example.org/", dist],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if not check(result.returncode == 0, f"manifests with {description!r}, {publisher!r}: "
                      f"{result.stdout.decode(errors='replace')}"):
            continue
        try:
            with open(os.path.join(dist, "winget", "Zendrel.Zendrel.locale.en-US.yaml")) as file:
                locale = yaml.safe_load(file)
        except yaml.YAMLError as error:
            failures.append(f"winget locale with {description!r}, {publisher!r}: {error}")
            continue
        with open(os.path.join(dist, "scoop", "zendrel.json")) as file:
            scoop = json.load(file)
        got = (locale.get("ShortDescription"), locale.get("Publisher"), scoop.get("description"))
        check(got == (description, publisher, description),
              f"given {description!r}, {publisher!r}, the manifests hold {got}")
        check_schemas(dist, schemas, f"manifests with {description!r}, {publisher!r}")


# Addresses scripts/package refuses for the manifests (--url unless named).
REFUSED_ADDRESSES = [
    ("http://example.org/Zendrel.zip",),
    ("ftp://example.org/Zendrel.zip",),
    ("https://example.org/Zen drel.zip",),
    ('https://example.org/"Zendrel".zip',),
    ("https://example.org/Zendrel.zip\nbin: evil.exe",),
    ("https://example.org/Zendrel.zip#top",),
    ("",),
    ("https://example.org/Zendrel.zip", "--homepage", "http://example.org/"),
]


GITHUB = "https://github.com/example/zendrel"
# --url (and --homepage), the homepage the manifests then name, whether the
# Scoop manifest follows later releases (only for the asset
# Zendrel-VERSION.zip of the GitHub release tagged vVERSION), and the
# project's address and repository that README.txt names (None: none known).
MANIFEST_ADDRESSES = [
    (["https://example.org/releases/v{version}/Zendrel-{version}.zip"],
     "https://example.org/releases/v{version}/", False, None, None),
    (["https://example.org/releases/v{version}/Zendrel-{version}.zip",
      "--homepage", "https://example.org/zendrel/"],
     "https://example.org/zendrel/", False, "https://example.org/zendrel/", None),
    ([GITHUB + "/releases/download/v{version}/Zendrel-{version}.zip"], GITHUB, True,
     GITHUB, "example/zendrel"),
    ([GITHUB + "/releases/download/v{version}/Zendrel-{version}.zip",
      "--homepage", "https://example.org/zendrel/"], "https://example.org/zendrel/", True,
     "https://example.org/zendrel/", "example/zendrel"),
    ([GITHUB + "/releases/download/release-{version}/Zendrel-{version}.zip"], GITHUB, False,
     GITHUB, "example/zendrel"),
    ([GITHUB + "/releases/download/v{version}/zendrel.zip"], GITHUB, False,
     GITHUB, "example/zendrel"),
]
# The files the release workflow attests, and the pages of a GitHub release's
# repository that README.txt refers to, with their addresses where packing
# knows the repository.
ATTESTED = ["Zendrel-{version}.zip", "Zendrel.exe"]
ATTESTATION = "gh attestation verify {} --repo {}"
REPOSITORY_PAGES = ["releases", "issues"]
SCOOP_UPDATES = {
    "checkver": {"github": GITHUB},
    "autoupdate": {"url": GITHUB + "/releases/download/v$version/Zendrel-$version.zip",
                   "hash": {"url": "$url.sha256"}},
}


def check_manifest_files(dist, version, url, homepage, updates):
    """The manifests in DIST name the archive there, its hash, VERSION, URL and
    HOMEPAGE; the Scoop manifest follows later releases when UPDATES."""
    with open(os.path.join(dist, f"Zendrel-{version}.zip"), "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()
    with open(os.path.join(dist, "scoop", "zendrel.json")) as file:
        scoop = json.load(file)
    expected = {"version": version, "homepage": homepage, "license": "MIT", "url": url,
                "hash": digest, "bin": "Zendrel.exe"}
    expected.update(SCOOP_UPDATES if updates else {"checkver": None, "autoupdate": None})
    check({key: scoop.get(key) for key in expected} == expected and scoop.get("description"),
          f"--url {url}: the Scoop manifest is {scoop}")
    manifests = {}
    for kind, suffix in [("version", ""), ("installer", ".installer"),
                         ("defaultLocale", ".locale.en-US")]:
        with open(os.path.join(dist, "winget", f"Zendrel.Zendrel{suffix}.yaml")) as file:
            manifests[kind] = manifest = yaml.safe_load(file)
        check((manifest.get("PackageIdentifier"), manifest.get("PackageVersion"),
               manifest.get("ManifestType"), manifest.get("ManifestVersion")) ==
              ("Zendrel.Zendrel", version, kind, "1.10.0"), f"winget {kind}: {manifest}")
    installer = manifests["installer"]
    check(installer.get("Installers") == [{"Architecture": "x86", "InstallerUrl": url,
                                           "InstallerSha256": digest.upper()}],
          f"winget installers: {installer.get('Installers')}")
    check((installer.get("InstallerType"), installer.get("NestedInstallerType"),
           installer.get("NestedInstallerFiles")) ==
          ("zip", "portable", [{"RelativeFilePath": "Zendrel.exe",
                                "PortableCommandAlias": "zendrel"}]),
          f"winget installer type: {installer}")
    locale = manifests["defaultLocale"]
    check(locale.get("License") == "MIT" and locale.get("PackageName") == "Zendrel" and
          locale.get("PackageUrl") == homepage and locale.get("Publisher") and
          locale.get("ShortDescription"), f"winget locale: {locale}")
    # winget finds the package's text by the locale that the version file names.
    check(manifests["version"].get("DefaultLocale") == locale.get("PackageLocale") == "en-US",
          f"winget DefaultLocale {manifests['version'].get('DefaultLocale')!r}, "
          f"PackageLocale {locale.get('PackageLocale')!r} of the .locale.en-US file")


def check_readme_addresses(dist, version, what, address, repository):
    """README.txt in DIST's zip names ADDRESS under its title, REPOSITORY in
    the attestation commands and the addresses of the repository's pages it
    refers to, or, where none is known, none of them."""
    with zipfile.ZipFile(os.path.join(dist, f"Zendrel-{version}.zip")) as zip_file:
        text = zip_file.read("README.txt").decode("latin-1")
    lines = text.split("\r\n")
    named = [line for line in lines[:4] if line.startswith("Home page: ")]
    check(named == ([f"Home page: {address}"] if address else []),
          f"{what}: README.txt's address lines are {named}, not {address}")
    for attested in ATTESTED:
        command = ATTESTATION.format(attested.format(version=version), repository or "OWNER/REPO")
        check(f"    {command}" in lines, f"{what}: README.txt lacks {command!r}")
    check(repository is None or not any("OWNER/REPO" in line for line in lines),
          f"{what}: README.txt still says OWNER/REPO")
    for page in REPOSITORY_PAGES:
        named = f"(https://github.com/{repository}/{page})" in " ".join(text.split())
        check(named == (repository is not None),
              f"{what}: README.txt {'does not name' if repository else 'names'} the address "
              f"of the repository's {page}")
    check(repository is not None or "https://github.com/" not in text,
          f"{what}: README.txt names a GitHub address where none is known")


def check_manifests(source, build, scratch, version, schemas):
    """--url writes Scoop and winget manifests that name this archive, its
    hash and the build's version, and that hold against SCHEMAS, and fills
    the project's address and repository into README.txt where it knows them;
    without --url none stay; unfit addresses are refused before anything is
    packed."""
    for number, (options, homepage, updates, address, repository) in enumerate(
            MANIFEST_ADDRESSES):
        dist = os.path.join(scratch, f"manifests-{number}")
        url = options[0].format(version=version)
        result = run_package(source, build, dist, "--url", url, *options[1:])
        if check(result.returncode == 0,
                 f"--url {url}: {result.stdout.decode(errors='replace')}"):
            check_schemas(dist, schemas, f"--url {url}")
            check_manifest_files(dist, version, url, homepage.format(version=version), updates)
            check_readme_addresses(dist, version, f"--url {url} {options[1:]}", address,
                                   repository)

    result = run_package(source, build, dist)
    left = [name for folder in ("scoop", "winget") for name in left_in(os.path.join(dist, folder))]
    check(result.returncode == 0 and left == [], f"without --url, manifests stay: {left}")
    check_readme_addresses(dist, version, "without --url", None, None)

    for number, address in enumerate(REFUSED_ADDRESSES):
        refused = os.path.join(scratch, f"refused-{number}")
        options = ["--url", *address]
        result = run_package(source, build, refused, *options)
        check(result.returncode == 2 and not left_in(refused),
              f"{options!r}: exit {result.returncode}, left {left_in(refused)}")


def main():
    source = os.path.abspath(sys.argv[1])
    build = os.path.abspath(sys.argv[2])
    exe_path = os.path.join(build, "Zendrel.exe")
    with open(exe_path, "rb") as file:
        exe = file.read()

    with tempfile.TemporaryDirectory(prefix="zendrel-package-") as scratch:
        name, archive = package(source, build, os.path.join(scratch, "first"))
        check_checksum_file(os.path.join(scratch, "first"), name, archive)
        time.sleep(1)
        _, again = package(source, build, os.path.join(scratch, "second"))
        check_dates(source, build, scratch)
        schemas = load_schemas(source)
        check_manifests(source, build, scratch, fixed_file_version(exe), schemas)
        check_awkward_texts(source, scratch, schemas)
    check(archive == again, "two runs of scripts/package gave different archives")
    check(name == f"Zendrel-{fixed_file_version(exe)}.zip",
          f"archive {name} is not named for the executable's version")

    with zipfile.ZipFile(io.BytesIO(archive)) as zip_file:
        infos = zip_file.infolist()
        check([info.filename for info in infos] == ENTRIES,
              f"entries are {[info.filename for info in infos]}, not {ENTRIES}")
        committed = commit_date(source)
        for info in infos:
            check(info.date_time == committed, f"{info.filename} is dated {info.date_time}, "
                  f"not by the last commit ({committed})")
            check(info.extra == b"", f"{info.filename} carries extra fields {info.extra!r}")
        contents = {info.filename: zip_file.read(info) for info in infos}

    check(contents.get("Zendrel.exe") == exe, f"Zendrel.exe in the archive differs from {exe_path}")
    check(contents.get("Zendrel.exe.sha256") ==
          f"{hashlib.sha256(exe).hexdigest()}  Zendrel.exe\n".encode(),
          f"Zendrel.exe.sha256 is {contents.get('Zendrel.exe.sha256')!r}")
    with open(os.path.join(source, "LICENSE"), "rb") as file:
        check_license(contents.get("LICENSE.txt", b""), file.read())
    with open(os.path.join(source, "README.md"), encoding="utf-8") as file:
        readme_md = file.read()
    with open(os.path.join(source, "docs", "windows.md"), encoding="utf-8") as file:
        details = file.read()
    check_readme(contents.get("README.txt", b""), usage_text(exe_path), readme_md, details, name)

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"ok: {name}, {len(archive)} bytes, entries {ENTRIES}" +
          ("" if schemas is not None else "; SKIPPED: the manifests against their schemas"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
