#!/usr/bin/env bash
# Writes a project of the shape of large recursive builds into DIR: the top
# make starts one sub-make per source folder, all of them in one object
# folder outside the source tree (`make -C OBJ -f SRC/rules.mk obj=DIR`);
# each compile also writes a dependency record that the next build there
# includes.  Build it with `make -jN O=../OBJDIR` in DIR.
#
#   bench/compare/large_project.sh DIR [FOLDERS] [SOURCES_PER_FOLDER]   (default 320 and 12)
set -euo pipefail
dir=$1
folders=${2:-320}
sources=${3:-12}
mkdir -p "$dir/include"
echo '#define COMMON 1' >"$dir/include/common.h"
echo '#define EXTRA 1' >"$dir/include/extra.h"
dirs=
for ((d = 0; d < folders; d++)); do
  dirs+=" d$d"
  mkdir -p "$dir/d$d"
  objs=
  for ((s = 0; s < sources; s++)); do
    echo "int f${d}_$s;" >"$dir/d$d/f$s.c"
    objs+=" f$s.o"
  done
  echo "objs :=$objs" >"$dir/d$d/files.mk"
done
cat >"$dir/Makefile" <<MAKEFILE
O ?= out
SRC := \$(CURDIR)
DIRS :=$dirs
all: \$(DIRS)
\$(DIRS):
	@mkdir -p \$(O)/\$@
	+\$(MAKE) -C \$(O) -f \$(SRC)/rules.mk obj=\$@ src=\$(SRC)/\$@ inc=\$(SRC)/include
.PHONY: all \$(DIRS)
MAKEFILE
cat >"$dir/rules.mk" <<'MAKEFILE'
include $(src)/files.mk
all: $(obj)/lib.a
-include $(wildcard $(obj)/*.d)
$(obj)/%.o: $(src)/%.c $(inc)/common.h
	sed 's/^/compiled: /' $< > $@
	echo '$@: $(inc)/extra.h' > $(@:.o=.d)
$(obj)/lib.a: $(addprefix $(obj)/,$(objs))
	cat $^ > $@
MAKEFILE
