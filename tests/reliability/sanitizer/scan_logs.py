"""Judges the reports that the sanitizer run left in a log directory and its subfolders.

    python scan_logs.py LOG_DIR

A finding is any AddressSanitizer error, any UndefinedBehaviorSanitizer report, and any leak whose
allocation stack has a frame in the module (its shared object or its sources). Leaks without such a
frame are what the interpreter and its libraries keep for the life of the process: they are counted,
not failed. Prints every finding in full and a summary; exits 1 when there is a finding.
"""
import os
import re
import sys

MODULE_FRAME = re.compile(r"argchecker")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
FRAME = re.compile(r"^\s+#\d+ ")


def leak_blocks(lines):
    """(head line, frame lines) of every leak in one report."""
    blocks, current = [], None
    for line in lines:
        if LEAK_HEAD.match(line):
            current = (line, [])
            blocks.append(current)
        elif current is not None and FRAME.match(line):
            current[1].append(line)
        elif current is not None and line.strip() == "":
            current = None
    return blocks


def scan_file(path):
    with open(path, errors="replace") as f:
        text = f.read()
    lines = text.splitlines()
    findings, kept = [], [0, 0]
    for i, line in enumerate(lines):
        if "runtime error:" in line:  # UBSan
            findings.append("\n".join(lines[i:i + 25]))
        elif re.search(r"ERROR: AddressSanitizer", line):
            findings.append("\n".join(lines[i:i + 60]))
    for head, frames in leak_blocks(lines):
        if any(MODULE_FRAME.search(fr) for fr in frames):
            findings.append("\n".join([head] + frames))
        else:
            m = LEAK_HEAD.match(head)
            kept[0] += 1
            kept[1] += int(m.group(2))
    return findings, kept


def main(logdir):
    files = sorted(os.path.join(d, n) for d, _, names in os.walk(logdir) for n in names)
    findings, kept_reports, kept_bytes = [], 0, 0
    for path in files:
        f, (n, b) = scan_file(path)
        findings.extend((path, x) for x in f)
        kept_reports += n
        kept_bytes += b
    for path, report in findings:
        print("=== sanitizer finding in {} ===\n{}\n".format(os.path.relpath(path, logdir), report))
    print("sanitizer: {} log file(s), {} finding(s); {} leak report(s) without a module frame "
          "({} bytes, kept by the interpreter and libraries)".format(
              len(files), len(findings), kept_reports, kept_bytes))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
