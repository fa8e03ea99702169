#!/usr/bin/env python3
"""Writes the demo's sample recorded build in its three forms.

    scripts/gen-sample.py [REPO_DIR]

The sample is a small C project, "calc", built twice: version "v1" in
/home/dev/calc-v1 and version "v2" in /home/dev/calc-v2.  Each build is a
top-level `make all CC=gcc PREFIX=/usr/local` that starts one sub-make in
each of lib/, src/ and doc/.  From one description of both builds this
script writes:

  db/sample_trace.sql  the trace as the recording component stores it: make
                       processes, file instances, variables
  demo/sample.rsf      the same builds as relations for relplot: directories,
                       files and their make properties, DEPENDON and INVOKE
                       edges, the versions as two layers paired by SAME
  demo/sample.list     the files that changed from v1 to v2, for changescan

What changes from v1 to v2:
  - CFLAGS gains -Wextra -fstack-protector-strong, so every object is rebuilt;
  - lib/mul.c is new (and with it lib/mul.o), calc.h and parse.c are edited;
  - lib/compat.h is removed;
  - src/calc is linked with -L../lib -lcalc $(LDLIBS) instead of naming
    the archive, and LDLIBS = -lm is new;
  - the doc sub-make gets VERSION on its command line instead of -e, and
    VERSION goes from 1.0 to 1.1, so doc/calc.1 is regenerated.

The RSF names every file node by the OID of its instance, so the DIFF lines
that changescan prints (first-version OID as the subject) mark the v1 node of
each changed file.  A file seen by a make process outside its own directory
(src's view of ../lib/libcalc.a and ../lib/calc.h) has an instance of its
own in the trace, but the picture shows each file once: by the instance of
the make process that runs in the file's directory.
"""

import os
import sys
from dataclasses import dataclass, field

VERSIONS = ("v1", "v2")
# Every OID of one version lies in its own hundred: processes from x01,
# instances from x11.
OID_BASE = {"v1": 16400, "v2": 16500}

PATH = ("/home/dev/.local/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:"
        "/usr/bin:/sbin:/bin:/usr/local/games:/usr/games")
CFLAGS = {
    "v1": "-O2 -g -Wall -Wmissing-prototypes -Wstrict-prototypes -fno-common",
    "v2": "-O2 -g -Wall -Wextra -Wmissing-prototypes -Wstrict-prototypes "
          "-fno-common -fstack-protector-strong",
}
VERSION = {"v1": "1.0", "v2": "1.1"}

# Make's own defaults (origin 0): recorded, but outside the codes that the
# query tools list.
DEFAULTS = [
    ("AR", "ar", 0),
    ("ARFLAGS", "rv", 0),
    ("RM", "rm -f", 0),
    ("SHELL", "/bin/sh", 0),
    ("COMPILE.c", "$(CC) $(CFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c", 0),
]


def directory(version, subdir):
    """The absolute directory of a subdirectory of one build."""
    top = f"/home/dev/calc-{version}"
    return f"{top}/{subdir}" if subdir else top


@dataclass
class Inst:
    """One file instance: a file as one make process saw it."""
    name: str
    subdir: str                  # "" for the project's top directory
    cmds: str | None = None      # recipe text as the makefile has it
    executed: str | None = None  # the commands that ran, None when none did
    phony: bool = False
    target: bool = False
    dblcln: int = 0              # number of double-colon rules, 0 for none
    goal: bool = False           # a goal of its make process
    deps: list = field(default_factory=list)  # (subdir, name) prerequisites
    oid: int = 0


@dataclass
class Proc:
    """One make process, its variables and the instances it handled."""
    subdir: str
    cmdline: str
    variables: list
    insts: list
    invokes: list = field(default_factory=list)  # subdirs of its sub-makes
    oid: int = 0


def compiled(version, subdir, name, cppflags, extra_deps=()):
    """The instance of an object file compiled from the source of its name."""
    stem = name[:-2]
    return Inst(name, subdir,
                cmds="$(CC) $(CPPFLAGS) $(CFLAGS) -c -o $@ $<",
                executed=f"gcc {cppflags} {CFLAGS[version]} -c -o {name} {stem}.c",
                target=True,
                deps=[(subdir, f"{stem}.c"), ("lib", "calc.h"), *extra_deps])


def source(subdir, name):
    """A file that make only reads: no rule, nothing executed."""
    return Inst(name, subdir)


def phony(subdir, name, cmds=None, executed=None, goal=False, deps=(), dblcln=0):
    """A phony target of one directory's makefile."""
    return Inst(name, subdir, cmds=cmds, executed=executed, phony=True, target=True,
                goal=goal, deps=list(deps), dblcln=dblcln)


def environment(version, origin):
    """The process environment that the top-level make was started in."""
    return [
        ("PATH", PATH, origin),
        ("HOME", "/home/dev", origin),
        ("LANG", "C.UTF-8", origin),
        ("USER", "dev", origin),
        ("PWD", directory(version, ""), origin),
    ]


# Variables given on the top-level command line; sub-makes receive them
# through MAKEFLAGS, still as command-line variables (origin 4).
COMMAND_VARS = [("CC", "gcc", 4), ("PREFIX", "/usr/local", 4)]
SUB_MAKEFLAGS = "w -- PREFIX=/usr/local CC=gcc"


def sub_make_environment(version, subdir, origin=1, makeflags=SUB_MAKEFLAGS, version_origin=None):
    """What a sub-make inherits: the environment, with the exported CFLAGS and
    VERSION, MAKEFLAGS and MAKELEVEL, and the command-line variables."""
    return environment(version, origin) + COMMAND_VARS + [
        ("MAKELEVEL", "1", origin),
        ("MAKEFLAGS", makeflags, origin),
        ("CFLAGS", CFLAGS[version], origin),
        ("VERSION", VERSION[version], version_origin or origin),
        ("CURDIR", directory(version, subdir), 2),
    ]


def build(version):
    """The make processes of one recorded build, top-level make first."""
    top = directory(version, "")
    v2 = version == "v2"
    doc_cmdline = "make -C doc VERSION=1.1 all" if v2 else "make -e -C doc all"

    top_all_cmds = "$(MAKE) -C lib all\n$(MAKE) -C src all\n" + (
        "$(MAKE) -C doc VERSION=$(VERSION) all" if v2 else "$(MAKE) -e -C doc all")
    top_proc = Proc(
        "", "make all CC=gcc PREFIX=/usr/local",
        environment(version, 1) + COMMAND_VARS + [
            ("SUBDIRS", "lib src doc", 2),
            ("CFLAGS", CFLAGS[version], 2),
            ("VERSION", VERSION[version], 2),
            ("CURDIR", top, 2),
            ("@", "all", 6),
            ("^", "", 6),
        ] + DEFAULTS,
        [
            phony("", "all", top_all_cmds,
                  f"make -C lib all\nmake -C src all\n{doc_cmdline}", goal=True),
            phony("", "install", "$(MAKE) -C src install\n$(MAKE) -C doc install",
                  deps=[("", "all")]),
            phony("", "clean",
                  "$(MAKE) -C lib clean\n$(MAKE) -C src clean\n$(MAKE) -C doc clean\n"
                  "rm -f *~ core", dblcln=2),
        ],
        invokes=["lib", "src", "doc"])

    lib_objs = ["add.o", "sub.o"] + (["mul.o"] if v2 else []) + ["parse.o"]
    lib_sources = [o[:-2] + ".c" for o in lib_objs]
    lib_proc = Proc(
        "lib", "make -C lib all",
        sub_make_environment(version, "lib") + [
            ("OBJS", " ".join(lib_objs), 2),
            ("LIB", "libcalc.a", 2),
            ("CPPFLAGS", "-I.", 2),
            ("@", "libcalc.a", 6),
            ("^", " ".join(lib_objs), 6),
        ] + DEFAULTS,
        [phony("lib", "all", goal=True, deps=[("lib", "libcalc.a")]),
         phony("lib", "clean", "$(RM) $(OBJS) $(LIB)"),
         Inst("libcalc.a", "lib", cmds="$(AR) $(ARFLAGS) $@ $^\nranlib $@",
              executed=f"ar rv libcalc.a {' '.join(lib_objs)}\nranlib libcalc.a",
              target=True, deps=[("lib", o) for o in lib_objs])]
        + [compiled(version, "lib", o, "-I.",
                    [] if v2 or o != "parse.o" else [("lib", "compat.h")])
           for o in lib_objs]
        + [source("lib", s) for s in lib_sources]
        + [source("lib", "calc.h")]
        + ([] if v2 else [source("lib", "compat.h")]))

    link_cmds = ("$(CC) $(LDFLAGS) -o $@ $(OBJS) -L../lib -lcalc $(LDLIBS)" if v2
                 else "$(CC) $(LDFLAGS) -o $@ $(OBJS) ../lib/libcalc.a")
    link_executed = ("gcc -Wl,-O1 -o calc main.o -L../lib -lcalc -lm" if v2
                     else "gcc -Wl,-O1 -o calc main.o ../lib/libcalc.a")
    src_proc = Proc(
        "src", "make -C src all",
        sub_make_environment(version, "src") + [
            ("OBJS", "main.o", 2),
            ("LDFLAGS", "-Wl,-O1", 2),
            ("CPPFLAGS", "-I../lib", 5),
            ("@", "calc", 6),
            ("^", "main.o ../lib/libcalc.a", 6),
        ] + ([("LDLIBS", "-lm", 2)] if v2 else []) + DEFAULTS,
        [phony("src", "all", goal=True, deps=[("src", "calc")]),
         phony("src", "install",
               "install -d $(DESTDIR)$(PREFIX)/bin\n"
               "install -m 755 calc $(DESTDIR)$(PREFIX)/bin/calc",
               deps=[("src", "calc")]),
         phony("src", "clean", "$(RM) $(OBJS) calc"),
         Inst("calc", "src", cmds=link_cmds, executed=link_executed, target=True,
              deps=[("src", "main.o"), ("lib", "libcalc.a")]),
         compiled(version, "src", "main.o", "-I../lib"),
         source("src", "main.c"),
         # src's own view of the library's files: instances of this process
         # that live in lib/.
         source("lib", "calc.h"),
         source("lib", "libcalc.a")])

    # v1 runs the doc sub-make with -e: its environment overrides the
    # makefile (origin 3); v2 passes VERSION on the command line instead.
    if v2:
        doc_env = sub_make_environment(version, "doc", 1, "w -- VERSION=1.1 PREFIX=/usr/local CC=gcc", 4)
    else:
        doc_env = sub_make_environment(version, "doc", 3, "e" + SUB_MAKEFLAGS)
    doc_vars = doc_env + [
        ("MANDIR", "$(PREFIX)/share/man/man1", 2),
        ("@", "calc.1", 6),
        ("^", "calc.1.in", 6),
    ] + DEFAULTS
    doc_proc = Proc(
        "doc", doc_cmdline, doc_vars,
        [phony("doc", "all", goal=True, deps=[("doc", "calc.1")]),
         phony("doc", "install",
               "install -d $(DESTDIR)$(MANDIR)\n"
               "install -m 644 calc.1 $(DESTDIR)$(MANDIR)/calc.1",
               deps=[("doc", "calc.1")]),
         phony("doc", "clean", "$(RM) calc.1"),
         Inst("calc.1", "doc",
              cmds="sed -e 's/@VERSION@/$(VERSION)/g' $< > $@.tmp\nmv $@.tmp $@",
              executed=f"sed -e 's/@VERSION@/{VERSION[version]}/g' calc.1.in > calc.1.tmp\n"
                       "mv calc.1.tmp calc.1",
              target=True, deps=[("doc", "calc.1.in")]),
         source("doc", "calc.1.in")])

    procs = [top_proc, lib_proc, src_proc, doc_proc]
    base = OID_BASE[version]
    next_inst = base + 11
    for i, proc in enumerate(procs):
        proc.oid = base + 1 + i
        for inst in proc.insts:
            inst.oid = next_inst
            next_inst += 1
    return procs


def home_instances(version, procs):
    """(subdir, name) -> the instance made by the make process of that directory."""
    return {(inst.subdir, inst.name): inst
            for proc in procs for inst in proc.insts if inst.subdir == proc.subdir}


def sql_text(value):
    """A SQL literal: the text between single quotes, or NULL."""
    if value is None:
        return "NULL"
    if "\n" not in value:
        return "'" + value.replace("'", "''") + "'"
    # Several lines: an escape string literal, so each newline shows as \n.
    escaped = value.replace("\\", "\\\\").replace("'", "\\'").replace("\n", "\\n")
    return f"E'{escaped}'"


def write_sql(builds):
    lines = [
        "-- The demo's sample trace: the project \"calc\" built as version v1 in",
        "-- /home/dev/calc-v1 and as version v2 in /home/dev/calc-v2, each by a",
        "-- top-level make and one sub-make in lib/, src/ and doc/.",
        "-- Written by scripts/gen-sample.py; edit that script, not this file.",
        "-- Variable names are padded with blanks to ten characters, as the",
        "-- recording component stores them; sources follow make's origins",
        "-- (0 default, 1 environment, 2 makefile, 3 environment under -e,",
        "-- 4 command line, 5 override, 6 automatic).",
        "",
    ]
    for version, procs in builds.items():
        lines.append(f"-- Version {version}.")
        lines.append("INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES")
        lines.append(",\n".join(f"    ({p.oid}, {sql_text(p.cmdline)})" for p in procs) + ";")
        lines.append("")
        lines.append("INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC,")
        lines.append("                          INST_CMDSTXT, INST_EXECMDS,")
        lines.append("                          INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN) VALUES")
        rows = []
        for p in procs:
            for i in p.insts:
                rows.append(
                    f"    ({i.oid}, {sql_text(i.name)}, {sql_text(directory(version, i.subdir))}, "
                    f"'{version}', {p.oid},\n"
                    f"     {sql_text(i.cmds)},\n"
                    f"     {sql_text(i.executed)},\n"
                    f"     '{int(i.phony)}', '{int(i.target)}', '{int(i.dblcln > 0)}')")
        lines.append(",\n".join(rows) + ";")
        lines.append("")
        lines.append("INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES")
        rows = [f"    ({sql_text(name.ljust(10))}, {sql_text(value)}, {origin}, {p.oid})"
                for p in procs for name, value, origin in p.variables]
        lines.append(",\n".join(rows) + ";")
        lines.append("")
    return "\n".join(lines)


def write_rsf(builds):
    """The relations of both builds; v1 nodes are the subjects of the SAME pairs."""
    records = [("LAYERNAME", "v1", "0"), ("LAYERNAME", "v2", "1"),
               ("ROOT", directory("v1", ""), "-")]
    homes = {v: home_instances(v, procs) for v, procs in builds.items()}
    for version, procs in builds.items():
        for sub in ("lib", "src", "doc"):
            records.append(("CONTAIN", directory(version, ""), directory(version, sub)))
        for proc in procs:
            for inst in proc.insts:
                if inst.subdir != proc.subdir:
                    continue
                node = str(inst.oid)
                records.append(("FILE", node, inst.name))
                records.append(("CONTAIN", directory(version, inst.subdir), node))
                records.append(("LAYER", node, version))
                for flag, relation in ((inst.phony, "PHONY"), (inst.target, "TARGET"),
                                       (inst.goal, "GOAL"), (inst.executed is not None, "EXECUTED")):
                    if flag:
                        records.append((relation, node, "-"))
                if inst.dblcln:
                    records.append(("DBLCLN", node, str(inst.dblcln)))
        for proc in procs:
            for inst in proc.insts:
                if inst.subdir != proc.subdir:
                    continue
                for dep in inst.deps:
                    records.append(("DEPENDON", str(inst.oid), str(homes[version][dep].oid)))
            invoker = homes[version][(proc.subdir, "all")]
            for sub in proc.invokes:
                records.append(("INVOKE", str(invoker.oid), str(homes[version][(sub, "all")].oid)))
    # The directories and files present in both builds, v1 first.
    for sub in ("", "lib", "src", "doc"):
        records.append(("SAME", directory("v1", sub), directory("v2", sub)))
    for key, inst in homes["v1"].items():
        if key in homes["v2"]:
            records.append(("SAME", str(inst.oid), str(homes["v2"][key].oid)))
    return "".join("\t".join(r) + "\n" for r in records)


# The files that differ between the builds, as changescan's list: name,
# directory in v1, directory in v2.  compat.h (v1 only) and mul.c (v2 only)
# are there as a user would list them; they have no pair to report.
CHANGED = [("", "all"), ("lib", "calc.h"), ("lib", "parse.c"), ("lib", "add.o"),
           ("lib", "sub.o"), ("lib", "parse.o"), ("lib", "libcalc.a"),
           ("lib", "compat.h"), ("lib", "mul.c"), ("src", "main.o"),
           ("src", "calc"), ("doc", "calc.1")]


def write_list():
    return "".join(f"{name}\t{directory('v1', sub)}\t{directory('v2', sub)}\n"
                   for sub, name in CHANGED)


def main():
    repo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    builds = {v: build(v) for v in VERSIONS}
    outputs = {"db/sample_trace.sql": write_sql(builds),
               "demo/sample.rsf": write_rsf(builds),
               "demo/sample.list": write_list()}
    for path, text in outputs.items():
        with open(os.path.join(repo, path), "w", encoding="utf-8") as out:
            out.write(text)


if __name__ == "__main__":
    main()
