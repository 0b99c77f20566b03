#!/usr/bin/env python3
"""The scanner as shipped stores what the host build stores.

   scan_target_test.py HOST_REPLAY WIN32_REPLAY [--save REFERENCE]
   scan_target_test.py --reference REFERENCE WIN32_REPLAY

Both programs replay the same generated scans (scan_replay.cpp): the host
one natively, the one linked from the release objects in a single process,
on Windows or under Wine. Where there is no host build, as on Windows, the
host's results come from a REFERENCE file that a run with --save wrote. The list leans on floating inputs at the edges of the double
range, where the x87 unit's wide registers could otherwise show through:
fractions of 20 to 400 digits, exponents near +-308 and +-600, subnormal
results, values around the largest double; a share are integer scans.

The results must agree exactly: the count, every stored byte, and the bytes
left unread. The allowances are where a double passes through the subnormal
range, which the x87 unit rounds twice (to 53 bits, then to the subnormal's
fewer bits):
- a double whose host value is subnormal may be one unit in the last place
  away, of the same sign and not zero;
- the one step that can have a subnormal result without it being the last is
  value + fraction / scale, with no whole part and a fraction whose first 308
  digits are 307 zeros and a 1 or 2. An exponent then scales that one unit
  of the subnormal up: the double may be up to SCALED_STEP_UNITS units away,
  of the same sign.
"""

import argparse
import hashlib
import os
import random
import re
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import windows_programs  # noqa: E402

SEED = 0x5CA7
CASES = 12000
SMALLEST_NORMAL = 2.2250738585072014e-308
SCALED_STEP_UNITS = 8
SUBNORMAL_QUOTIENT = re.compile(r"[+-]?0*\.0{307}[12]")
REFERENCE_HEADER = "host results of the scans"


def digits(rng, count, first_nonzero=False):
    text = "".join(rng.choice("0123456789") for _ in range(count))
    if first_nonzero and count:
        text = rng.choice("123456789") + text[1:]
    return text


def mantissa(rng):
    """A decimal with up to 20 significant digits, the point anywhere."""
    whole = digits(rng, rng.randint(1, 3), first_nonzero=True)
    return whole + "." + digits(rng, rng.randint(0, 17))


def signed(rng, text):
    return rng.choice(["", "", "-", "+"]) + text


def floating_input(rng):
    kind = rng.randrange(8)
    if kind == 0:  # long fractions, short of the scale's limit and past it
        text = digits(rng, rng.randint(0, 3)) + "." + digits(rng, rng.randint(20, 308))
    elif kind == 1:
        text = "0." + digits(rng, rng.randint(300, 400))
    elif kind == 2:  # leading zeros take the fraction toward the smallest doubles
        zeros = rng.randint(280, 307)
        text = "0." + "0" * zeros + digits(rng, rng.randint(1, 400 - zeros), True)
        if rng.randrange(3) == 0:
            text += "e" + str(rng.randint(1, 40))
    elif kind == 3:  # exponents near the ends of the range, and twice as far
        edge = rng.choice([308, 600])
        text = mantissa(rng) + "e" + rng.choice(["", "+", "-"]) + str(edge + rng.randint(-25, 25))
    elif kind == 4:  # subnormal results
        text = mantissa(rng) + "e-" + str(rng.randint(308, 326))
    elif kind == 5:  # around the largest double
        text = "1.797693134862315" + digits(rng, rng.randint(1, 6)) + "e308"
    elif kind == 6:  # long whole parts, finite and overflowing
        text = digits(rng, rng.randint(20, 320), True) + rng.choice(["", "." + digits(rng, 5)])
    else:  # ordinary numbers with exponents
        text = mantissa(rng) + rng.choice(["e", "E"]) + rng.choice(["", "-"]) + \
            str(rng.randint(0, 330))
    return signed(rng, text) + rng.choice(["", " ", "\n", "x"])


FIXED_FLOATS = [
    "0." + "0" * 299 + "1e600", "1e-308", "1.7582993294e-310", "1e308", "1e309",
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
    "2.2250738585072014e-308", "2.2250738585072011e-308", "4.9406564584124654e-324",
    "2.4703282292062328e-324", "2.4703282292062327e-324", "0e600", "0e-600",
    "0." + "0" * 307 + "1", "0." + "0" * 307 + "2", "0." + "0" * 307 + "1e5",
    "0." + "0" * 307 + "55", "9" * 309, "1" + "0" * 308 + "e-1",
]

# Products that round differently when the unit works to 64 bits instead of
# 53: a start-up that sets the wrong precision shows here.
PRECISION_SENSITIVE = [
    "+899.36486691821e291", "591.6856e-298", "60.87171e+297", "+223.6651367409E186",
    "849.73118206028876E-216", "+9.93375e149", "70.73609121522986e39", "-2.6001165210e32",
    "+21.248e60", "-29.4885433E-51", "642.2396626270033691E-116", "-751.557E118",
    "93.77108e-190", "-2.2e-195", "28.e-62", "12.859006683e-286",
]

FLOAT_FORMATS = [("%lf", "double"), ("%le", "double"), ("%Lg", "double"), ("%f", "float"),
                 ("%lf%n", "double"), ("%40lf", "double")]
INTEGER_FORMATS = ["%d", "%u", "%x", "%o", "%lld", "%hhd", "%hd", "%3d", "%d%n", "%*d%n"]


def integer_input(rng):
    base = rng.choice(["0123456789", "01234567", "0123456789abcdefABCDEF"])
    text = "".join(rng.choice(base) for _ in range(rng.randint(1, 12)))
    return rng.choice(["", " ", "\t"]) + signed(rng, text) + rng.choice(["", " ", "z"])


def generate():
    rng = random.Random(SEED)
    cases = [(form, kind, text) for text in FIXED_FLOATS + PRECISION_SENSITIVE
             for form, kind in FLOAT_FORMATS[:4]]
    while len(cases) < CASES:
        if rng.randrange(5) == 0:
            cases.append((rng.choice(INTEGER_FORMATS), "integer", integer_input(rng)))
        else:
            form, kind = rng.choice(FLOAT_FORMATS)
            cases.append((form, kind, floating_input(rng)))
    return cases


def replay(command, cases):
    lines = "".join(f"{form.encode().hex()} {text.encode().hex()}\n" for form, _, text in cases)
    # Megabytes of scans: from a file, so that a replay that stops reading
    # cannot hold the test past its limit while they are written. A replay
    # changes nothing, so a start that stalls is tried again.
    with tempfile.TemporaryFile() as scans:
        scans.write(lines.encode())
        scans.seek(0)
        result = windows_programs.run_command(command, stdin=scans, timeout=100,
                                              changes_nothing=True)
    if result.returncode != 0:
        raise SystemExit(f"FAIL: {' '.join(command)} exited with {result.returncode}: "
                         f"{result.stderr.decode(errors='replace')}")
    rows = result.stdout.decode().replace("\r\n", "\n").splitlines()
    if len(rows) != len(cases):
        raise SystemExit(f"FAIL: {command[-1]} replayed {len(rows)} of {len(cases)} scans")
    return [row.split(" ") for row in rows]


def as_double(hex_bytes):
    return struct.unpack("<d", bytes.fromhex(hex_bytes))[0]


def units_apart(host_hex, target_hex):
    """Units in the last place between two doubles of one sign; None across signs."""
    if (as_double(host_hex) < 0) != (as_double(target_hex) < 0):
        return None
    host, target = (struct.unpack("<q", bytes.fromhex(h))[0] for h in (host_hex, target_hex))
    return abs(host - target)


def one_subnormal_step(host_hex, target_hex):
    """True when the host double is subnormal and the target's is its neighbour."""
    host = as_double(host_hex)
    subnormal = host != 0 and abs(host) < SMALLEST_NORMAL
    return subnormal and as_double(target_hex) != 0 and units_apart(host_hex, target_hex) == 1


def scaled_subnormal_step(text, host_hex, target_hex):
    """True for a fraction whose quotient is subnormal, scaled up a few units apart."""
    apart = units_apart(host_hex, target_hex)
    return (SUBNORMAL_QUOTIENT.match(text) is not None and apart is not None
            and apart <= SCALED_STEP_UNITS)


def inputs_digest(cases):
    """Names the generated scans, so a reference is only used for the same ones."""
    text = "".join(f"{form}\0{text}\0" for form, _, text in cases)
    return hashlib.sha256(text.encode()).hexdigest()


def save_reference(path, cases, host):
    with open(path, "w", encoding="ascii", newline="\n") as file:
        file.write(f"{REFERENCE_HEADER} {inputs_digest(cases)}\n")
        file.writelines(" ".join(row) + "\n" for row in host)


def load_reference(path, cases):
    with open(path, encoding="ascii") as file:
        rows = file.read().splitlines()
    if not rows or rows[0] != f"{REFERENCE_HEADER} {inputs_digest(cases)}":
        raise SystemExit(f"FAIL: {path} holds the results of other scans than these")
    if len(rows) != len(cases) + 1:
        raise SystemExit(f"FAIL: {path} holds {len(rows) - 1} results for {len(cases)} scans")
    return [row.split(" ") for row in rows[1:]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("replays", nargs="+", metavar="REPLAY",
                        help="HOST_REPLAY WIN32_REPLAY, or WIN32_REPLAY with --reference")
    parser.add_argument("--save", metavar="REFERENCE",
                        help="also write the host's results here, for a run elsewhere")
    parser.add_argument("--reference", metavar="REFERENCE",
                        help="the host's results as --save wrote them, instead of a host replay")
    options = parser.parse_args()
    if len(options.replays) != (1 if options.reference else 2) or (
            options.reference and options.save):
        parser.error("give HOST_REPLAY WIN32_REPLAY [--save REFERENCE], "
                     "or --reference REFERENCE WIN32_REPLAY")
    cases = generate()
    if options.reference:
        host = load_reference(options.reference, cases)
    else:
        host = replay([options.replays[0]], cases)
        if options.save:
            save_reference(options.save, cases, host)
    target = replay(windows_programs.command(options.replays[-1]), cases)
    failures = []
    steps = scaled = 0
    for (form, kind, text), ours, theirs in zip(cases, host, target):
        if ours == theirs:
            continue
        if kind == "double" and ours[0] == theirs[0] and ours[2:] == theirs[2:]:
            if one_subnormal_step(ours[1], theirs[1]):
                steps += 1
                continue
            if scaled_subnormal_step(text, ours[1], theirs[1]):
                scaled += 1
                continue
        failures.append(f"{form} on {text!r}: host {' '.join(ours)}, 32-bit {' '.join(theirs)}")
    for failure in failures[:20]:
        print("FAIL:", failure)
    print(f"{len(cases)} scans, {len(failures)} differ; {steps} subnormal doubles one unit "
          f"apart, {scaled} scaled from a subnormal quotient")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
