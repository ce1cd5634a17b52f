"""Reads the sanitizer logs of a run (tools/sanitize.sh) and decides it.

Usage: python tools/sanitizer_report.py LOG_DIR

Fails (exit 1) for
- any AddressSanitizer error (overrun, use after free, double free, ...) or
  failed internal check (which stops the process),
- any UndefinedBehaviorSanitizer report ("runtime error", found in the
  suite's standard error stream, LOG_DIR/stderr),
- a fatal error of the interpreter or a call that ran too long (the fuzz
  suite's watchdog) in that stream,
- any leak whose allocation stack passes through one of our extension modules.
Leaks with no frame of ours are the interpreter's and NumPy's own state,
which CPython never tears down at exit; they are counted, not shown. The
allocations our design keeps for the life of the process are suppressed by
tools/lsan.supp before LeakSanitizer writes its report, and the report lists
the suppressions that matched.
"""
import pathlib
import re
import sys

OUR_MODULES = re.compile(
    r"/(cellcoef|fieldplot|surfloss|blockdraw|stagedraw|_bandsolve|arcfind|viarow|rlearray|"
    r"yeestep)"
    r"\.cpython-[^/]*\.so\b")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")


def leak_blocks(lines):
    """(head, stack lines) of every leak in a LeakSanitizer report."""
    block = None
    for line in lines:
        if LEAK_HEAD.match(line):
            if block:
                yield block
            block = (line, [])
        elif block is not None:
            if line.strip().startswith("#"):
                block[1].append(line)
            else:
                yield block
                block = None
    if block:
        yield block


def main(log_dir):
    logs = sorted(pathlib.Path(log_dir).glob("*"))
    failures = []
    foreign_leaks = 0
    foreign_bytes = 0
    suppressed = []
    for log in logs:
        text = log.read_text(errors="replace")
        lines = text.splitlines()
        if log.name == "stderr":
            for n, line in enumerate(lines):
                if "runtime error:" in line or "Fatal Python error" in line or \
                        line.startswith("Timeout ("):
                    failures.append(f"{log.name}:\n" + "\n".join(lines[n:n + 40]))
                    break
            continue
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text or \
                "ERROR: UndefinedBehaviorSanitizer" in text or "CHECK failed" in text:
            failures.append(f"{log.name}:\n{text}")
            continue
        for head, stack in leak_blocks(lines):
            if any(OUR_MODULES.search(frame) for frame in stack):
                failures.append(f"{log.name}: {head}\n" + "\n".join(stack))
            else:
                foreign_leaks += 1
                foreign_bytes += int(LEAK_HEAD.match(head).group(2))
        in_suppressions = False
        for line in lines:
            if line.startswith("Suppressions used:"):
                in_suppressions = True
            elif in_suppressions and re.match(r"^\s+\d+\s+\d+\s+\S", line):
                suppressed.append(line.split(None, 2))
            elif in_suppressions and not line.strip().startswith("count"):
                in_suppressions = False

    totals = {}
    for count, nbytes, pattern in suppressed:
        c, b = totals.get(pattern, (0, 0))
        totals[pattern] = (c + int(count), b + int(nbytes))
    print(f"sanitizer logs: {len(logs)} processes reported")
    for pattern, (count, nbytes) in sorted(totals.items()):
        print(f"  suppressed {pattern}: {count} allocations, {nbytes} bytes kept by design")
    print(f"  interpreter and NumPy state left at exit: {foreign_leaks} leaks, "
          f"{foreign_bytes} bytes (not ours, ignored)")
    for failure in failures:
        print("\n" + failure)
    if failures:
        print(f"\nsanitizer: {len(failures)} problem(s) in our modules")
        return 1
    print("sanitizer: no errors, no leaks in our modules")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
