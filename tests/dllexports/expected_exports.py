"""The names each native library of the release must export, and nothing else.

dactylink: one JNI function per `native` method of the Java classes (named as
JNI names them) plus JNI_OnLoad and JNI_OnUnload; the Tavoro plug-in: the
seven OMR_* functions; the engine: its two entry points.
"""
import os
import re

PLUGIN = {"OMR_GetPrefix", "OMR_GetDeviceList", "OMR_OpenDevice", "OMR_CloseDevice", "OMR_ShutdownDevice",
          "OMR_GetMaxSize", "OMR_GetImage"}
ENGINE = {"GetDefaultConfig", "ExtractMinutiae"}

_NATIVE = re.compile(r"\bnative\s+[\w.\[\]<>]+\s+(\w+)\s*\(")


def _mangle(name):
    out = []
    for ch in name:
        if ch == "_":
            out.append("_1")
        elif ch.isascii() and ch.isalnum():
            out.append(ch)
        else:
            out.append("_0%04x" % ord(ch))
    return "".join(out)


def jni_exports(java_src):
    """JNI names of every native method declared in the .java files below java_src."""
    names = set()
    for root, _, files in os.walk(java_src):
        for f in files:
            if not f.endswith(".java"):
                continue
            text = open(os.path.join(root, f), encoding="utf-8").read()
            # Comments may mention "native"; only code counts.
            code = re.sub(r"/\*.*?\*/|//[^\n]*", "", text, flags=re.S)
            pkg = re.search(r"^\s*package\s+([\w.]+)\s*;", code, re.M)
            cls = f[:-5]
            parts = (pkg.group(1).split(".") if pkg else []) + [cls]
            prefix = "Java_" + "_".join(_mangle(p) for p in parts)
            for m in _NATIVE.finditer(code):
                names.add(prefix + "_" + _mangle(m.group(1)))
    return names


def expected(file_name, java_src):
    """The exports of a library file of the release, by its name (DLL or Linux .so)."""
    base = os.path.basename(file_name).lower()
    if base in ("dactylink.dll", "libdactylink.so"):
        return jni_exports(java_src) | {"JNI_OnLoad", "JNI_OnUnload"}
    if base.startswith("omr_tavoro_64."):
        return set(PLUGIN)
    if base.startswith("omextract."):
        return set(ENGINE)
    raise ValueError("no export list for " + file_name)
