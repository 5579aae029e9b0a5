#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compiles every C and C++ snippet of the given Markdown files against the installed headers.

A snippet is a fenced block marked c or cpp. It is compiled as it stands at file scope, and,
when that fails, as the body of a function (the statements a host writes inside its own start-up
code). The names a snippet leans on without defining (the host's hooks and logger) are declared
first, as the README's host declares them; a snippet that mentions JNIEXPORT gets the JDK's
jni.h. Exits 1 when a snippet compiles neither way, with the compiler's complaint.

  check_snippets.py <installed include folder> <jni include folder> FILE.md...
"""
import pathlib
import re
import subprocess
import sys
import tempfile

HOST_NAMES = """
int EvictCaches(size_t amount);
void OnOverrun(size_t request, int64_t total, int64_t limit);
void OnMemoryFull(unsigned long request);
void OnPressure(int64_t total, int64_t threshold);
void LogWarning(char const* message);
static int64_t g_fullLimit;
"""
C_PRELUDE = "#include <stddef.h>\n#include <stdint.h>\n#include <string.h>\n#include <memmgr>\n"
CXX_PRELUDE = ("#include <cstddef>\n#include <cstdint>\n#include <cstring>\n#include <memmgr>\n"
               "#include <dlfcn.h>\n")


def snippets(path):
    fence = re.compile(r"^```(c|cpp)\n(.*?)^```$", re.M | re.S)
    text = path.read_text()
    for match in fence.finditer(text):
        yield match.group(1), text.count("\n", 0, match.start()) + 1, match.group(2)


def compiles(language, source, include, jni):
    suffix, compiler, standard = (".c", "cc", "-std=c11") if language == "c" else (
        ".cpp", "c++", "-std=c++20")
    with tempfile.NamedTemporaryFile("w", suffix=suffix) as unit:
        unit.write(source)
        unit.flush()
        result = subprocess.run(
            [compiler, standard, "-fsyntax-only", "-Wall", "-Wno-unused-variable",
             "-Wno-unused-function", "-I", include, "-I", jni, "-I", jni + "/linux", unit.name],
            capture_output=True, text=True)
    return result.returncode == 0, result.stderr


def main():
    include, jni, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    failures = checked = 0
    for name in files:
        for language, line, body in snippets(pathlib.Path(name)):
            prelude = (C_PRELUDE if language == "c" else CXX_PRELUDE) + HOST_NAMES
            if "JNIEXPORT" in body:
                prelude = "#include <jni.h>\n" + prelude
            includes = "".join(l + "\n" for l in body.splitlines() if l.startswith("#include"))
            statements = "".join(l + "\n" for l in body.splitlines()
                                 if not l.startswith("#include"))
            checked += 1
            at_file_scope, complaint = compiles(language, prelude + body, include, jni)
            if at_file_scope:
                continue
            in_function, _ = compiles(
                language, prelude + includes + "void snippet(void) {\n" + statements + "}\n",
                include, jni)
            if not in_function:
                failures += 1
                print(f"{name}:{line}: the {language} snippet does not compile:\n{complaint}",
                      file=sys.stderr)
    print(f"{checked} snippets checked, {failures} failed")
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
