#!/usr/bin/env python3
"""Writes scheme/openglconst.scm: every OpenGL and GLU constant of the system's headers as a Scheme global.

    scripts/make-openglconst.py [--include DIR] [--output FILE]

GL_COLOR_BUFFER_BIT becomes *gl-color-buffer-bit*, GLU_TESS_WINDING_ODD *glu-tess-winding-odd*: lower case,
hyphens for underscores, stars around. Values are written as decimal integers. Read in this order: GL/gl.h,
GL/glext.h, GL/glu.h; the first definition of a name wins. Skipped: values that are not one plain integer literal
(another macro, an expression, a real), values outside 64-bit signed integers (the interpreter's integers), and
the feature-test macros (names with lower case letters, such as GL_ARB_multitexture, and GL_VERSION_1_1 and kin).
"""
import argparse
import re
import sys

HEADERS = ["GL/gl.h", "GL/glext.h", "GL/glu.h"]
DEFINE = re.compile(r"^\s*#\s*define\s+(GLU?_[A-Za-z0-9_]+)\s+(\S+)\s*(?:/[*/].*)?$")
INTEGER = re.compile(r"^(-?)(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*$")
FEATURE = re.compile(r"^GLU?_VERSION_\d+_\d+$")
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def integer_value(text):
    match = INTEGER.match(text)
    if not match:
        return None
    sign, digits = match.groups()
    value = int(digits, 16) if digits[:2] in ("0x", "0X") else int(digits, 10)
    value = -value if sign else value
    return value if INT64_MIN <= value <= INT64_MAX else None


def scheme_name(name):
    return "*" + name.lower().replace("_", "-") + "*"


def read_constants(path, constants):
    with open(path, encoding="utf-8", errors="replace") as header:
        for line in header:
            match = DEFINE.match(line)
            if not match:
                continue
            name, text = match.groups()
            if any(c.islower() for c in name) or FEATURE.match(name):
                continue
            value = integer_value(text)
            if value is None:
                continue
            if name in constants:
                if constants[name] != value:
                    print(f"{path}: {name} redefined as {value}, keeping {constants[name]}", file=sys.stderr)
                continue
            constants[name] = value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--include", default="/usr/include")
    parser.add_argument("--output", default=None)
    args = parser.parse_args()
    constants = {}
    for header in HEADERS:
        read_constants(f"{args.include}/{header}", constants)
    lines = [
        ";;; openglconst.scm -- the OpenGL and GLU constants by name, for the gl: and glu: procedures.",
        ";;; GL_COLOR_BUFFER_BIT is *gl-color-buffer-bit*, GLU_TESS_WINDING_ODD *glu-tess-winding-odd*.",
        ";;; Generated from GL/gl.h, GL/glext.h and GL/glu.h; do not edit. To regenerate:",
        ";;;   scripts/make-openglconst.py --output scheme/openglconst.scm",
        "",
    ]
    lines += [f"(define {scheme_name(name)} {value})" for name, value in constants.items()]
    text = "\n".join(lines) + "\n"
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
    else:
        sys.stdout.write(text)
    print(f"{len(constants)} constants", file=sys.stderr)


if __name__ == "__main__":
    main()
