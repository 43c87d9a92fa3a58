#!/usr/bin/env python3
"""Fails when a source file uses a waiting facility built on atomic waits.

The C++ library of the mingw-w64 compiler implements std::atomic<T>::wait and
everything built on it (latch, barrier, the semaphores) without a platform
wait primitive, and that implementation can lose a notification: a thread
parks for ever. A mutex and a condition variable do the same job safely.

Usage: check_sources.py <root> [folder ...]   (folders relative to root)
"""
import os
import re
import sys

EXTENSIONS = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".inl")

# Facilities that are forbidden by name, wherever they appear.
NAMED = re.compile(
    r"\bstd::(latch|barrier|counting_semaphore|binary_semaphore)\b"
    r"|#\s*include\s*<(latch|barrier|semaphore)>"
    r"|\batomic_(wait|wait_explicit|notify_one|notify_all)\b"
    r"|\batomic_flag_(wait|wait_explicit|notify_one|notify_all)\b"
)
# Declarations of atomics (std::atomic<T> x, std::atomic_flag x, std::atomic_ref<T> x{...}).
ATOMIC_DECL = re.compile(
    r"\bstd::atomic(?:_flag|_ref\s*<[^;{()]*?>|\s*<[^;{()]*?>)\s*&?\s*(\w+)\s*(?:[{;=(\[]|$)"
)
# A wait or notify on a receiver; checked against the atomic names found above.
CALL = re.compile(r"\b(\w+)\s*(?:\.|->)\s*(wait|notify_one|notify_all)\s*\(")
# A temporary atomic_ref used at once: std::atomic_ref<T>(x).wait(...)
TEMP_REF = re.compile(r"\bstd::atomic_ref\s*<[^;]*?>\s*\([^;]*?\)\s*\.\s*(wait|notify_one|notify_all)\s*\(")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def sources(root, folders):
    for folder in folders:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
            dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
            for f in sorted(filenames):
                if f.endswith(EXTENSIONS):
                    yield os.path.join(dirpath, f)


def main(argv):
    root = argv[1] if len(argv) > 1 else "."
    folders = argv[2:] or ["src", "engine", "tools", "tests"]
    texts = {}
    for path in sources(root, folders):
        with open(path, encoding="utf-8", errors="replace") as f:
            texts[path] = strip_comments(f.read())
    atomics = set()
    for text in texts.values():
        atomics.update(m.group(1) for m in ATOMIC_DECL.finditer(text))
    findings = []
    for path, text in texts.items():
        for number, line in enumerate(text.splitlines(), 1):
            hit = NAMED.search(line) or TEMP_REF.search(line)
            if not hit:
                hit = next((m for m in CALL.finditer(line) if m.group(1) in atomics), None)
            if hit:
                findings.append(f"{os.path.relpath(path, root)}:{number}: {hit.group(0).strip()}")
    if findings:
        print("Atomic waits lose wake-ups with mingw's C++ library; use a mutex and a condition variable:")
        print("\n".join(findings))
        return 1
    print(f"checked {len(texts)} files: no atomic waits")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
