#!/usr/bin/python3
"""The GitHub workflows are valid and wired as they must be.

   workflow_test.py SOURCE_DIR BUILD_DIR      (CTEST: the ctest to ask)

Both files hold against the published workflow schema in ../shared/schemas/
beside SOURCE_DIR (a checkout standing alone has none: the test says so and
skips that check). Then what a schema cannot see:

ci.yml: the artifact the windows job downloads is the one the linux job
uploads, at the folder ZENDREL_BUILD names; it holds every file the native
run reads (BUILD_DIR's Zendrel.exe, its tools and the scan reference); the
linux job uploads it after its tests (which write the scan reference)
wherever its build succeeded, whatever the tests said, and the windows job
runs after the linux job however that ended; the windows job runs every test
file that ctest runs through Wine, each in a step that runs whatever the
steps before it did once the download succeeded, and whose limit exceeds the
test's own run limit; and the job's limit covers all of its steps' limits.

release.yml: the tag check comes before every other job; the tests are
ci.yml's own; the address given to scripts/package --url is made from the
repository and the tag; and the files the draft release uploads are the ones
attested. The last two are run, not read: the steps' own shell lines are run
here on a packing of BUILD_DIR's executable.
"""

import fnmatch
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import zipfile

import jsonschema
import yaml

CI_WINDOWS_RUNNERS = ["windows-2025", "windows-2022", "windows-11-arm"]
# Options of gh release create that take a value.
GH_OPTIONS_WITH_VALUES = {"--repo", "-R", "--title", "-t", "--notes", "-n", "--notes-file", "-F",
                          "--target", "--discussion-category", "--notes-start-tag"}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def load(source, name):
    with open(os.path.join(source, ".github", "workflows", name), encoding="utf-8") as file:
        workflow = yaml.safe_load(file)
    # YAML 1.1 reads the key on as true.
    if True in workflow:
        workflow["on"] = workflow.pop(True)
    return workflow


def check_schema(source, workflows):
    path = os.path.normpath(os.path.join(source, "..", "shared", "schemas",
                                         "github-workflow.json"))
    if not os.path.isfile(path):
        print(f"SKIP: no published workflow schema at {path}: the workflows are not validated")
        return False
    with open(path, encoding="utf-8") as file:
        schema = json.load(file)
    for name, workflow in workflows.items():
        for error in jsonschema.Draft7Validator(schema).iter_errors(workflow):
            check(False, f"{name} against the workflow schema, "
                  f"{'/'.join(map(str, error.absolute_path)) or 'top level'}: {error.message}")
    return True


def steps_using(job, action):
    return [step for step in job.get("steps", []) if step.get("uses", "").startswith(action + "@")]


# The majors that run on Node 24: GitHub forces older ones, built for Node
# 20, onto it with a warning on every job. An action not listed here is to be
# looked up and added.
NODE_24_MAJORS = {
    "actions/checkout": 7,
    "actions/upload-artifact": 7,
    "actions/download-artifact": 8,
    "actions/attest-build-provenance": 4,
}


def check_pins(name, workflow):
    """Every action is pinned to a major version that runs on Node 24; a local
    workflow is a path."""
    for job_name, job in workflow["jobs"].items():
        uses = [job["uses"]] if "uses" in job else [s["uses"] for s in job["steps"] if "uses" in s]
        for action in uses:
            if action.startswith("./"):
                continue
            pin = re.fullmatch(r"([\w.-]+/[\w./-]+)@v(\d+)", action)
            if check(pin, f"{name}: job {job_name} uses {action}, not pinned to a major version"):
                least = NODE_24_MAJORS.get(pin.group(1))
                check(least is not None and int(pin.group(2)) >= least,
                      f"{name}: job {job_name} uses {action}; the majors on Node 24 are "
                      f"{NODE_24_MAJORS}")


def only_step(name, job_name, job, action):
    found = steps_using(job, action)
    check(len(found) == 1, f"{name}: job {job_name} has {len(found)} {action} steps, not one")
    return found[0] if found else {}


def ctest_commands(build):
    """The command of every test ctest has in BUILD."""
    ctest = os.environ.get("CTEST", "ctest")
    listing = subprocess.run([ctest, "--show-only=json-v1", "--test-dir", build],
                             stdout=subprocess.PIPE, check=True).stdout
    return [test.get("command", []) for test in json.loads(listing)["tests"]]


def windows_test_files(build, commands):
    """What ctest runs through Wine from tests/windows/ or BUILD/tools: the test
    files the Windows job must run too, as paths relative to the checkout or
    to BUILD."""
    files = set()
    for command in commands:
        if not command or not command[0].endswith("scripts/with-wine"):
            continue
        for argument in command:
            if "/tests/windows/" in argument:
                files.add("tests/windows/" + argument.split("/tests/windows/")[-1])
            elif argument.startswith(build + "/tools/"):
                files.add(os.path.relpath(argument, build))
    return files


def scan_reference(commands):
    """The file ctest's scan comparison saves the host's results in."""
    for command in commands:
        if "--save" in command:
            return command[command.index("--save") + 1]
    check(False, "no ctest test saves the host's scan results (--save)")
    return None


def run_limits(source):
    """The most each Windows test with a run limit of its own may take, in
    seconds: its limit, the clean-up's reserve, and the time an ended
    program's pipes may take to close."""
    sys.path.insert(0, os.path.join(source, "tests", "windows"))
    import dos_namespace
    import exit_codes_test
    import windows_programs
    reap = windows_programs.REAP_SECONDS
    return {"tests/windows/e2e_test.py":
            dos_namespace.RUN_SECONDS + dos_namespace.CLEAN_UP_SECONDS + reap,
            "tests/windows/exit_codes_test.py": exit_codes_test.RUN_SECONDS + reap}


def check_ci(source, build, ci):
    name = "ci.yml"
    triggers = ci["on"]
    check({"push", "pull_request", "workflow_call"} <= set(triggers),
          f"{name} runs on {sorted(triggers)}, not push, pull_request and workflow_call")
    check(ci.get("permissions") == {"contents": "read"},
          f"{name}: top-level permissions are {ci.get('permissions')}, not contents: read")
    check_pins(name, ci)
    linux, windows = ci["jobs"].get("linux", {}), ci["jobs"].get("windows", {})
    check(linux.get("container") == "debian:12" and
          any(step.get("run", "").strip() == "scripts/test" for step in linux.get("steps", [])),
          f"{name}: the linux job does not run scripts/test in a debian:12 container")

    upload_step = only_step(name, "linux", linux, "actions/upload-artifact")
    download_step = only_step(name, "windows", windows, "actions/download-artifact")
    upload, download = upload_step.get("with", {}), download_step.get("with", {})
    check(upload.get("name") and download.get("name") == upload.get("name"),
          f"{name}: windows downloads {download.get('name')!r}, linux uploads "
          f"{upload.get('name')!r}")
    check_hand_over(name, linux, upload_step)
    check(windows.get("needs") == "linux" and windows.get("if") == "${{ !cancelled() }}",
          f"{name}: windows needs {windows.get('needs')!r} and runs if {windows.get('if')!r}, "
          "not after linux however that ended")
    downloaded = f"${{{{ !cancelled() && steps.{download_step.get('id')}.outcome == 'success' }}}}"
    matrix = windows.get("strategy", {})
    check(matrix.get("matrix", {}).get("os") == CI_WINDOWS_RUNNERS and
          matrix.get("fail-fast") is False and windows.get("runs-on") == "${{ matrix.os }}",
          f"{name}: windows runs on {matrix}, not {CI_WINDOWS_RUNNERS} with fail-fast off")
    check(isinstance(windows.get("timeout-minutes"), int),
          f"{name}: the windows job has no time limit")

    # Uploaded paths are relative to the checkout; the artifact keeps them
    # below their common folder, which the windows job downloads into the
    # folder ZENDREL_BUILD names.
    patterns = upload.get("path", "").split()
    relative_build = os.path.relpath(build, source)
    needed = [os.path.join(relative_build, "Zendrel.exe")]
    needed += [os.path.relpath(path, source)
               for path in glob.glob(os.path.join(build, "tools", "*.exe"))]
    commands = ctest_commands(build)
    reference = scan_reference(commands)
    if reference:
        needed.append(os.path.relpath(reference, source))
    for path in needed:
        check(any(fnmatch.fnmatchcase(path, pattern) for pattern in patterns),
              f"{name}: the artifact lacks {path}, which the Windows job reads")
    common = os.path.commonpath([os.path.dirname(pattern) for pattern in patterns] or ["?"])
    check(common == relative_build and download.get("path") == relative_build,
          f"{name}: the artifact's folder {common} is downloaded to {download.get('path')}, "
          f"not to {relative_build}")
    zendrel_build = windows.get("env", {}).get("ZENDREL_BUILD", "").replace("\\", "/")
    check(zendrel_build == "${{ github.workspace }}/" + relative_build,
          f"{name}: ZENDREL_BUILD is {zendrel_build!r}, not the downloaded folder")

    steps = windows.get("steps", [])
    runs = [step.get("run", "").replace("\\", "/") for step in steps]
    record = next((i for i, run in enumerate(runs) if "GITHUB_STEP_SUMMARY" in run), None)
    check(record is not None and all(word in runs[record] for word in
                                     ("BuildNumber", "OSArchitecture", "PROCESSOR_IDENTIFIER",
                                      "Administrator")),
          f"{name}: the windows job does not record the OS build, the system's architecture, "
          "the processor and the elevation in the job summary")
    check(record is not None and steps[record].get("if") == "${{ !cancelled() }}",
          f"{name}: the machine is not recorded where the download failed")
    limits = run_limits(source)
    for path in sorted(windows_test_files(build, commands)):
        running = [i for i, run in enumerate(runs) if path in run]
        check(running, f"{name}: the windows job does not run {path}, which ctest runs")
        check(all(record is not None and i > record and "timeout-minutes" in steps[i]
                  for i in running),
              f"{name}: {path} runs before the machine is recorded, or without a time limit")
        check(download_step.get("id") and all(steps[i].get("if") == downloaded for i in running),
              f"{name}: {path} does not run after an earlier step failed, or runs without "
              "the programs: its step's condition is not " + downloaded)
        # A minute for Python and the runner around the test's own limit.
        check(all(steps[i].get("timeout-minutes", 0) * 60 >= limits.get(path, 0) + 60
                  for i in running),
              f"{name}: the step that runs {path} may be stopped before the test's own "
              f"limit of {limits.get(path)} s ends it")
    step_minutes = sum(step.get("timeout-minutes", 0) for step in steps)
    check(isinstance(windows.get("timeout-minutes"), int) and
          windows["timeout-minutes"] >= step_minutes + 5,
          f"{name}: the windows job's limit does not cover its steps' {step_minutes} minutes "
          "and five for the set-up")
    if reference:
        check(any(f"--reference \"$env:ZENDREL_BUILD/{os.path.basename(reference)}\"" in run
                  for run in runs),
              f"{name}: the scan comparison does not take {os.path.basename(reference)} "
              "from the artifact")


def check_hand_over(name, linux, upload_step):
    """The linux job uploads the programs after its tests, wherever its build
    succeeded, whatever the tests said."""
    steps = linux.get("steps", [])
    index = {id(step): i for i, step in enumerate(steps)}
    builds = [step for step in steps if "scripts/build" in step.get("run", "").split()]
    tests = [step for step in steps if step.get("run", "").strip() == "scripts/test"]
    if not check(len(builds) == 1 and builds[0].get("id"),
                 f"{name}: the linux job has {len(builds)} build steps, not one with an id"):
        return
    built = f"${{{{ !cancelled() && steps.{builds[0]['id']}.outcome == 'success' }}}}"
    check(upload_step.get("if") == built,
          f"{name}: the programs are handed over if {upload_step.get('if')!r}, not {built!r}")
    check(tests and index[id(builds[0])] < index[id(tests[0])] < index[id(upload_step)],
          f"{name}: the linux job does not build, then test, then hand the programs over")


def concurrency_group(workflow):
    value = workflow.get("concurrency")
    return value.get("group") if isinstance(value, dict) else value


def check_concurrency(release, ci):
    """A tag pushed again waits for the release run before it. ci.yml runs
    inside that run: a group of the same name there would wait on itself."""
    group = concurrency_group(release) or ""
    check("github.ref" in group and release["concurrency"].get("cancel-in-progress") is False,
          f"release.yml: no concurrency group a tag's runs wait in, but "
          f"{release.get('concurrency')}")
    check(concurrency_group(ci) != group, "ci.yml has release.yml's concurrency group")


def needs(job):
    value = job.get("needs", [])
    return [value] if isinstance(value, str) else value


def ancestors(jobs, name):
    found = set()
    for parent in needs(jobs[name]):
        found |= {parent} | ancestors(jobs, parent)
    return found


def step_named(job, words):
    return next((step for step in job.get("steps", []) if words in step.get("run", "")), {})


def run_shell(script, cwd, variables):
    return subprocess.run(["bash", "-e", "-c", script], cwd=cwd, env=dict(os.environ, **variables),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)


def address_for(pack_script, repository, tag):
    """What the packing step's own lines give --url for REPOSITORY and TAG."""
    lines = [line for line in pack_script.splitlines()
             if re.match(r"\s*(version|url)=", line)]
    result = run_shell("\n".join(lines) + '\nprintf %s "$url"', None, {
        "GITHUB_SERVER_URL": "https://github.com", "GITHUB_REPOSITORY": repository,
        "GITHUB_REF_NAME": tag})
    return result.stdout.decode()


def release_tree(source, scratch, version):
    """A scratch checkout in which the packing job's steps can run: what
    packing reads, with the version's changelog section dated."""
    tree = os.path.join(scratch, "checkout")
    os.makedirs(os.path.join(tree, "scripts"))
    os.makedirs(os.path.join(tree, "docs"))
    for name in ("CMakeLists.txt", "README.md", os.path.join("docs", "windows.md"), "LICENSE",
                 os.path.join("scripts", "package"),
                 os.path.join("scripts", "manifests"), os.path.join("scripts", "windows-readme"),
                 os.path.join("scripts", "release-check")):
        shutil.copy2(os.path.join(source, name), os.path.join(tree, name))
    with open(os.path.join(source, "CHANGELOG.md"), encoding="utf-8") as file:
        changelog = file.read().replace(f"## [{version}] - Unreleased", f"## [{version}] - 2026-12-01")
    with open(os.path.join(tree, "CHANGELOG.md"), "w", encoding="utf-8") as file:
        file.write(changelog)
    return tree


def check_release(source, build, release):
    name = "release.yml"
    check(release["on"] == {"push": {"tags": ["v*"]}},
          f"{name} runs on {release['on']}, not on a pushed tag v*")
    check(release.get("permissions") == {"contents": "read"},
          f"{name}: top-level permissions are {release.get('permissions')}, not contents: read")
    check_pins(name, release)
    jobs = release["jobs"]
    checks = [job for job, body in jobs.items()
              if any("scripts/release-check \"$GITHUB_REF_NAME\"" == step.get("run", "").strip()
                     for step in body.get("steps", []))]
    if not check(len(checks) == 1, f"{name}: {len(checks)} jobs check the tag, not one"):
        return
    first = checks[0]
    check(not needs(jobs[first]), f"{name}: the tag check waits for {needs(jobs[first])}")
    for job in jobs:
        check(job == first or first in ancestors(jobs, job),
              f"{name}: job {job} does not wait for the tag check")
    tests = [job for job, body in jobs.items() if body.get("uses") == "./.github/workflows/ci.yml"]
    check(len(tests) == 1, f"{name}: {len(tests)} jobs run ci.yml, not one")

    packing = [job for job, body in jobs.items() if step_named(body, "scripts/package")]
    attesting = [job for job, body in jobs.items() if steps_using(body, "actions/attest-build-provenance")]
    if not (check(len(packing) == 1, f"{name}: {len(packing)} jobs pack, not one") and
            check(len(attesting) == 1, f"{name}: {len(attesting)} jobs attest, not one")):
        return
    pack, publish = jobs[packing[0]], jobs[attesting[0]]
    check(tests and tests[0] in ancestors(jobs, packing[0]),
          f"{name}: the packing job does not wait for the tests")
    for job, body in jobs.items():
        granted = body.get("permissions", {})
        wants = {"id-token": "write", "attestations": "write"}
        check((job == attesting[0]) == (wants.items() <= granted.items()),
              f"{name}: job {job} has permissions {granted}")

    # The address: made from the repository and the tag, for any of them.
    pack_script = step_named(pack, "scripts/package")["run"]
    check(re.search(r'scripts/package --no-build .*--url "\$url"', pack_script),
          f"{name}: scripts/package is not given --url \"$url\" for the tested build")
    for repository, tag in [("example/zendrel", "v0.4.0.0"), ("someone-else/fork", "v1.2.3.4")]:
        expected = (f"https://github.com/{repository}/releases/download/{tag}/"
                    f"Zendrel-{tag[1:]}.zip")
        got = address_for(pack_script, repository, tag)
        check(got == expected, f"{name}: --url for {repository} and {tag} is {got!r}, "
              f"not {expected!r}")
    with open(os.path.join(source, ".github", "workflows", name), encoding="utf-8") as file:
        written = re.findall(r"https://github\.com/\S+", file.read())
    check(not written, f"{name} writes addresses by hand: {written}")

    # The files: gather them as the packing job does, then see which the
    # publishing job uploads and which it attests.
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as file:
        version = re.search(r"^project\(Zendrel VERSION ([0-9.]+)", file.read(), re.M)[1]
    tag = f"v{version}"
    upload = only_step(name, packing[0], pack, "actions/upload-artifact").get("with", {})
    download = only_step(name, attesting[0], publish, "actions/download-artifact").get("with", {})
    check(upload.get("name") == download.get("name") and upload.get("path") == download.get("path"),
          f"{name}: the publishing job takes {download}, the packing job hands over {upload}")
    with tempfile.TemporaryDirectory(prefix="zendrel-workflow-") as scratch:
        tree = release_tree(source, scratch, version)
        url = address_for(pack_script, "example/zendrel", tag)
        result = run_shell(f'scripts/package --no-build --url "{url}"', tree,
                           {"ZENDREL_BUILD": build, "GITHUB_REF_NAME": tag,
                            "SOURCE_DATE_EPOCH": "1700000000"})
        if not check(result.returncode == 0, f"packing for the workflow: {result.stdout!r}"):
            return
        gather = step_named(pack, "release-check")["run"]
        result = run_shell(gather, tree, {"GITHUB_REF_NAME": tag})
        if not check(result.returncode == 0, f"{name}: gathering the release failed: "
                     f"{result.stdout.decode(errors='replace')}"):
            return
        draft = shlex.split(step_named(publish, "gh release create")["run"])
        # The files are the command's operands: neither options nor their values.
        operands = [word for i, word in enumerate(draft) if not word.startswith("-") and
                    draft[i - 1] not in GH_OPTIONS_WITH_VALUES]
        uploaded = sorted(path for pattern in operands if pattern.startswith(upload["path"] + "/")
                          for path in glob.glob(os.path.join(tree, pattern)))
        attest = only_step(name, attesting[0], publish, "actions/attest-build-provenance")
        attested = sorted(path for pattern in attest["with"]["subject-path"].split()
                          for path in glob.glob(os.path.join(tree, pattern)))
        names = sorted(os.path.basename(path) for path in uploaded)
        expected = sorted([f"Zendrel-{version}.zip", f"Zendrel-{version}.zip.sha256",
                           "zendrel.json", "Zendrel.Zendrel.yaml",
                           "Zendrel.Zendrel.installer.yaml", "Zendrel.Zendrel.locale.en-US.yaml"])
        check(names == expected, f"{name}: the draft release uploads {names}, not {expected}")
        zips = [path for path in uploaded if path.endswith(".zip")]
        check(zips and set(zips) <= set(attested),
              f"{name}: the attestation names {attested}, not the uploaded zip {zips}")
        programs = [path for path in attested if os.path.basename(path) == "Zendrel.exe"]
        if check(len(programs) == 1 and len(zips) == 1,
                 f"{name}: the attestation names {programs}, not one Zendrel.exe"):
            with zipfile.ZipFile(zips[0]) as archive, open(programs[0], "rb") as file:
                check(file.read() == archive.read("Zendrel.exe"),
                      f"{name}: the attested Zendrel.exe is not the one in the uploaded zip")
        check(set(attested) <= set(uploaded) | set(programs),
              f"{name}: the attestation names files the release does not hold: {attested}")
        notes = [draft[i + 1] for i, word in enumerate(draft) if word == "--notes-file"]
        notes_path = os.path.join(tree, notes[0]) if notes else ""
        check(os.path.isfile(notes_path) and os.path.getsize(notes_path) > 0,
              f"{name}: the draft's notes {notes} are not the changelog's section")


def main():
    source, build = (os.path.abspath(path) for path in sys.argv[1:3])
    workflows = {name: load(source, name) for name in ("ci.yml", "release.yml")}
    validated = check_schema(source, workflows)
    check_ci(source, build, workflows["ci.yml"])
    check_release(source, build, workflows["release.yml"])
    check_concurrency(workflows["release.yml"], workflows["ci.yml"])
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print("ok: ci.yml and release.yml wired" +
          ("" if validated else "; SKIPPED: the workflows against the published schema"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
