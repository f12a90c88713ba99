#!/usr/bin/python3
"""Summary of a ctest run, read from its JUnit file (ctest --output-junit).

    scripts/ctest-summary.py FILE NAME

Prints, each line starting with "NAME: ", the tests that failed, the skip
reasons with their counts, and last "P passed, F failed, S skipped (T tests,
W s)". A test that ctest could not start (no executable, a fixture that
failed) counts as failed, as ctest counts it, although its JUnit entry says
"notrun". The skip reasons come from the tests' output: GoogleTest's
"<file>:<line>: Skipped" and the line after it, unittest's "... skipped
'<reason>'" (for a case skipped inside a test that passed, ctest must keep
the whole output of passed tests: --test-output-size-passed).
Exit status 1 when the file is missing, unreadable or lists no test.
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

UNITTEST_SKIP = re.compile(r" \.\.\. skipped (['\"])(.*)\1$")


def skip_reasons(output):
    lines = output.splitlines()
    for i, line in enumerate(lines):
        match = UNITTEST_SKIP.search(line)
        if match:
            yield match.group(2)
        elif line.endswith(": Skipped"):
            following = lines[i + 1].strip() if i + 1 < len(lines) else ""
            yield following or "(no reason given)"


def main(path, name):
    try:
        suite = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as err:
        print(f"{name}: no test results in {path}: {err}", file=sys.stderr)
        return 1
    counts = collections.Counter()
    failed = []
    reasons = collections.Counter()
    for case in suite.iter("testcase"):
        status = case.get("status", "")
        skipped = case.find("skipped")
        why = skipped.get("message", "") if skipped is not None else ""
        if status == "notrun" and why.startswith("SKIP_"):
            status = "skipped"
        elif status == "notrun":
            status = "fail"
            failed.append(f"{case.get('name')} (not run: {why or 'no reason given'})")
        elif status not in ("run", "disabled"):
            status = "fail"
            failed.append(f"{case.get('name')} ({float(case.get('time', 0)):.1f} s)")
        counts[status] += 1
        reasons.update(skip_reasons(case.findtext("system-out") or ""))
    total = sum(counts.values())
    for test in failed:
        print(f"{name}: failed: {test}")
    if reasons:
        print(f"{name}: skip reasons (count, reason):")
        for reason, count in sorted(reasons.items()):
            print(f"{count:7d} {reason}")
    disabled = f", {counts['disabled']} disabled" if counts["disabled"] else ""
    print(f"{name}: {counts['run']} passed, {counts['fail']} failed, {counts['skipped']} skipped{disabled}"
          f" ({total} tests, {suite.get('time', '?')} s)")
    if total == 0:
        print(f"{name}: ctest ran no test", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
