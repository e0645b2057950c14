"""Checks both float renderings of the console against Python's own float repr.

Python's repr gives the shortest digits that read back to the same double, so
it is an independent source for the digits; the layout around them is done
here with decimal.Decimal. Usage: format_oracle.py PATH_TO_FORMAT_TOOL
"""

import decimal
import math
import random
import struct
import subprocess
import sys

SEED = 20240611
RANDOM_PATTERNS = 12000


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double_of(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def neighbours(x):
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


def sample_bits():
    rng = random.Random(SEED)
    bits = []
    # Arbitrary bit patterns: every exponent, NaNs with any payload and sign.
    bits += [rng.getrandbits(64) for _ in range(RANDOM_PATTERNS)]
    # Powers of ten and their neighbours, both signs: where the layout shifts
    # between integral, fractional and (for the text form) scientific.
    for e in range(-325, 309):
        x = float(f"1e{e}")
        for y in neighbours(x):
            bits += [bits_of(y), bits_of(-y)]
    # Integers, small and near the limits of exact representation.
    for n in list(range(-200, 201)) + [2**52, 2**53, 2**53 + 1, 2**63, 2**64]:
        bits.append(bits_of(float(n)))
    for _ in range(1500):
        bits.append(bits_of(float(rng.getrandbits(rng.randrange(1, 64)))))
    # Subnormals and the normal/subnormal boundary.
    bits += list(range(0, 64))
    bits += [0x000FFFFFFFFFFFFF - i for i in range(32)] + [0x0010000000000000 + i for i in range(32)]
    bits += [rng.getrandbits(52) for _ in range(1500)]
    # Short decimals that people actually type.
    for _ in range(1500):
        bits.append(bits_of(rng.randrange(-10**6, 10**6) / 10 ** rng.randrange(0, 9)))
    bits += [bits_of(v) for v in (math.inf, -math.inf, 0.0, -0.0, 1.7976931348623157e308)]
    bits += [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF]
    return bits


def digits_and_exponent(x):
    """Shortest digits of |x| from repr, and the decimal exponent of the first."""
    d = decimal.Decimal(repr(abs(x))).normalize()
    sign, digits, exponent = d.as_tuple()
    return "".join(map(str, digits)), exponent + len(digits) - 1


def signed(render):
    """Both formats: NaN without a sign, every other value with a leading
    minus when negative (negative zero included), and infinity as inf;
    render(m) writes the magnitude of a finite value."""

    def expected(x):
        if math.isnan(x):
            return "NaN"
        sign = "-" if math.copysign(1.0, x) < 0 else ""
        return sign + ("inf" if math.isinf(x) else render(abs(x)))

    return expected


def plain_digits(m):
    return format(decimal.Decimal(repr(m)).normalize(), "f")


expected_console = signed(plain_digits)


@signed
def expected_text(m):
    if m >= 1e16 or (m != 0 and m < 1e-4):
        digits, exponent = digits_and_exponent(m)
        mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
        return f"{mantissa}e{exponent}"
    plain = plain_digits(m)
    return plain if "." in plain else plain + ".0"


def repr_text(x):
    """The text form as a rewrite of repr, whose own switch to exponent form
    happens at the same bounds: a second opinion on expected_text."""
    r = repr(x).replace("nan", "NaN")
    if "e" in r:
        mantissa, exponent = r.split("e")
        if mantissa.endswith(".0"):
            mantissa = mantissa[:-2]
        r = f"{mantissa}e{int(exponent)}"
    return r


def reads_back(text, x):
    y = float(text)
    return y == x and math.copysign(1.0, y) == math.copysign(1.0, x)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    bits = sample_bits()
    values = [double_of(b) for b in bits]
    tool_input = "".join(f"{b:016x}\n" for b in bits)
    run = subprocess.run([sys.argv[1]], input=tool_input, capture_output=True, text=True, check=False)
    if run.returncode != 0:
        print(f"format_tool failed with {run.returncode}: {run.stderr}", file=sys.stderr)
        return 1
    lines = run.stdout.split("\n")
    if lines[-1] != "" or len(lines) - 1 != len(values):
        print(f"expected {len(values)} lines from format_tool, got {len(lines) - 1}", file=sys.stderr)
        return 1

    mismatches = 0
    for b, x, line in zip(bits, values, lines):
        console, _, text = line.partition("\t")
        problems = []
        want_console, want_text = expected_console(x), expected_text(x)
        if console != want_console:
            problems.append(f"console {console!r} != {want_console!r}")
        if text != want_text:
            problems.append(f"text {text!r} != {want_text!r}")
        if want_text != repr_text(x):
            problems.append(f"oracle disagrees with repr: {want_text!r} vs {repr_text(x)!r}")
        if math.isfinite(x):
            if "e" in console or "E" in console or not reads_back(console, x):
                problems.append(f"console {console!r} does not read back")
            if not reads_back(text, x):
                problems.append(f"text {text!r} does not read back")
        if problems:
            mismatches += 1
            if mismatches <= 20:
                print(f"{b:016x} ({x!r}): " + "; ".join(problems), file=sys.stderr)

    print(f"format oracle: {len(values)} doubles, {mismatches} mismatches")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
