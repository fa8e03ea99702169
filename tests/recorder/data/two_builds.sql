-- Two small hand-made recorded builds of one project, "cmp-a" in /w/a and
-- "cmp-b" in /w/b, for the tests of the exports.  From a to b: CFLAGS of the
-- lib sub-make gains -Wextra (add.o and libcalc.a rebuilt), lib/mul.c and
-- lib/mul.o are new, lib/old.h is gone, src/calc's recipe gains -lm,
-- lib/gen.c lost its digest (deleted after use), lib/tmp.i too but it was
-- also made by another command, "src/my file.txt" changed,
-- /usr/include/stdio.h is outside both trees and the same.  cmp-b was
-- stopped before its end.  "cmp-empty" holds no instance, "cmp-far" nothing
-- at a place the others have.
INSERT INTO ZTR_BUILD (BLD_LABEL, BLD_TOPDIR, BLD_CMDLINE, BLD_STATUS, BLD_COMPLETE, BLD_TOPPROC) VALUES
    ('cmp-a', '/w/a', 'make all', 0, 1, 7001),
    ('cmp-b', '/w/b', 'make all', 130, 0, 8001),
    ('cmp-empty', '/w/e', 'make', 0, 1, 9001),
    ('cmp-far', '/w/f', 'make', 0, 1, 9501);

INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE, PS_VERSION, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR) VALUES
    (7001, 'make all', 'cmp-a', NULL, NULL, 0, '/w/a'),
    (7002, 'make -C lib', 'cmp-a', 7001, 7101, 0, '/w/a/lib'),
    (7003, 'make -C src', 'cmp-a', 7001, 7101, 1, '/w/a/src'),
    (8001, 'make all', 'cmp-b', NULL, NULL, 0, '/w/b'),
    (8002, 'make -C lib', 'cmp-b', 8001, 8101, 0, '/w/b/lib'),
    (8003, 'make -C src', 'cmp-b', 8001, 8101, 1, '/w/b/src'),
    (9001, 'make', 'cmp-empty', NULL, NULL, 0, '/w/e'),
    (9501, 'make', 'cmp-far', NULL, NULL, 0, '/w/f');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS,
                          INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN, INST_ISGOAL, INST_DBLCOUNT, INST_DIGEST) VALUES
    (7101, 'all', '/w/a', 'cmp-a', 7001, E'$(MAKE) -C lib\n$(MAKE) -C src', E'make -C lib\nmake -C src', '1', '1', '0', 1, 0, NULL),
    (7102, 'clean', '/w/a', 'cmp-a', 7001, 'rm -f *~', NULL, '1', '1', '1', 0, 2, NULL),
    (7111, 'all', '/w/a/lib', 'cmp-a', 7002, NULL, NULL, '1', '1', '0', 1, 0, NULL),
    (7112, 'libcalc.a', '/w/a/lib', 'cmp-a', 7002, '$(AR) rv $@ $^', 'ar rv libcalc.a add.o', '0', '1', '0', 0, 0, 'L1'),
    (7113, 'add.o', '/w/a/lib', 'cmp-a', 7002, '$(CC) $(CFLAGS) -c $<', 'gcc -O2 -c add.c -I/w/a/lib', '0', '1', '0', 0, 0, 'A1'),
    (7114, 'add.c', '/w/a/lib', 'cmp-a', 7002, NULL, NULL, '0', '0', '0', 0, 0, 'C1'),
    (7115, 'old.h', '/w/a/lib', 'cmp-a', 7002, NULL, NULL, '0', '0', '0', 0, 0, 'H1'),
    (7116, 'gen.c', '/w/a/lib', 'cmp-a', 7002, 'sed s/x/y/ gen.in > $@', 'sed s/x/y/ gen.in > gen.c', '0', '1', '0', 0, 0, 'G1'),
    (7117, 'tmp.i', '/w/a/lib', 'cmp-a', 7002, 'cpp $< > $@', 'cpp add.c > tmp.i', '0', '1', '0', 0, 0, 'T1'),
    (7121, 'all', '/w/a/src', 'cmp-a', 7003, NULL, NULL, '1', '1', '0', 1, 0, NULL),
    (7122, 'calc', '/w/a/src', 'cmp-a', 7003, '$(CC) -o $@ $^', 'gcc -o calc main.o ../lib/libcalc.a', '0', '1', '0', 0, 0, 'K1'),
    (7123, 'main.o', '/w/a/src', 'cmp-a', 7003, '$(CC) -c $<', 'gcc -c main.c', '0', '1', '0', 0, 0, 'M1'),
    (7124, 'main.c', '/w/a/src', 'cmp-a', 7003, NULL, NULL, '0', '0', '0', 0, 0, 'S1'),
    (7125, 'libcalc.a', '/w/a/lib', 'cmp-a', 7003, NULL, NULL, '0', '0', '0', 0, 0, 'L1'),
    (7126, 'my file.txt', '/w/a/src', 'cmp-a', 7003, 'touch "$@"', 'touch "my file.txt"', '0', '1', '0', 0, 0, 'W1'),
    (7127, 'stdio.h', '/usr/include', 'cmp-a', 7003, NULL, NULL, '0', '0', '0', 0, 0, 'X1'),
    (8101, 'all', '/w/b', 'cmp-b', 8001, E'$(MAKE) -C lib\n$(MAKE) -C src', E'make -C lib\nmake -C src', '1', '1', '0', 1, 0, NULL),
    (8102, 'clean', '/w/b', 'cmp-b', 8001, 'rm -f *~', NULL, '1', '1', '1', 0, 2, NULL),
    (8111, 'all', '/w/b/lib', 'cmp-b', 8002, NULL, NULL, '1', '1', '0', 1, 0, NULL),
    (8112, 'libcalc.a', '/w/b/lib', 'cmp-b', 8002, '$(AR) rv $@ $^', 'ar rv libcalc.a add.o mul.o', '0', '1', '0', 0, 0, 'L2'),
    (8113, 'add.o', '/w/b/lib', 'cmp-b', 8002, '$(CC) $(CFLAGS) -c $<', 'gcc -O2 -Wextra -c add.c -I/w/b/lib', '0', '1', '0', 0, 0, 'A2'),
    (8114, 'add.c', '/w/b/lib', 'cmp-b', 8002, NULL, NULL, '0', '0', '0', 0, 0, 'C1'),
    (8116, 'gen.c', '/w/b/lib', 'cmp-b', 8002, 'sed s/x/y/ gen.in > $@', 'sed s/x/y/ gen.in > gen.c', '0', '1', '0', 0, 0, NULL),
    (8117, 'mul.o', '/w/b/lib', 'cmp-b', 8002, '$(CC) $(CFLAGS) -c $<', 'gcc -O2 -Wextra -c mul.c -I/w/b/lib', '0', '1', '0', 0, 0, 'U1'),
    (8118, 'mul.c', '/w/b/lib', 'cmp-b', 8002, NULL, NULL, '0', '0', '0', 0, 0, 'V1'),
    (8119, 'tmp.i', '/w/b/lib', 'cmp-b', 8002, 'cpp $< > $@', 'cpp -DX add.c > tmp.i', '0', '1', '0', 0, 0, NULL),
    (8121, 'all', '/w/b/src', 'cmp-b', 8003, NULL, NULL, '1', '1', '0', 1, 0, NULL),
    (8122, 'calc', '/w/b/src', 'cmp-b', 8003, '$(CC) -o $@ $^ -lm', 'gcc -o calc main.o ../lib/libcalc.a', '0', '1', '0', 0, 0, 'K2'),
    (8123, 'main.o', '/w/b/src', 'cmp-b', 8003, '$(CC) -c $<', 'gcc -c main.c', '0', '1', '0', 0, 0, 'M1'),
    (8124, 'main.c', '/w/b/src', 'cmp-b', 8003, NULL, NULL, '0', '0', '0', 0, 0, 'S1'),
    (8125, 'libcalc.a', '/w/b/lib', 'cmp-b', 8003, NULL, NULL, '0', '0', '0', 0, 0, 'L2'),
    (8126, 'my file.txt', '/w/b/src', 'cmp-b', 8003, 'touch "$@"', 'touch "my file.txt" ', '0', '1', '0', 0, 0, 'W2'),
    (8127, 'stdio.h', '/usr/include', 'cmp-b', 8003, NULL, NULL, '0', '0', '0', 0, 0, 'X1'),
    -- cmp-far's instances lie among cmp-a's OIDs, as hand-made rows may.
    (7118, 'other.c', '/w/f/x', 'cmp-far', 9501, NULL, NULL, '0', '0', '0', 0, 0, 'F1'),
    (7119, 'other.o', '/w/f/x', 'cmp-far', 9501, 'cc -c $<', 'cc -c other.c', '0', '1', '0', 0, 0, 'F2');

INSERT INTO ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY) VALUES
    (7111, 7112, 0, 0), (7112, 7113, 0, 0), (7113, 7114, 0, 0), (7113, 7115, 1, 0),
    (7121, 7122, 0, 0), (7122, 7123, 0, 0), (7122, 7125, 1, 0), (7123, 7124, 0, 0),
    (8111, 8112, 0, 0), (8112, 8113, 0, 0), (8112, 8117, 1, 0), (8113, 8114, 0, 0), (8117, 8118, 0, 0),
    (8121, 8122, 0, 0), (8122, 8123, 0, 0), (8122, 8125, 1, 0), (8123, 8124, 0, 0),
    (7119, 7118, 0, 0);

INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES
    ('PATH', '/usr/bin:/bin', 1, 7002), ('CFLAGS    ', '-O2', 2, 7002), ('CURDIR', '/w/a/lib', 2, 7002),
    ('@', 'add.o', 6, 7002), ('AR', 'ar', 0, 7002),
    ('PATH', '/usr/bin:/bin', 1, 8002), ('CFLAGS    ', '-O2 -Wextra', 2, 8002), ('CURDIR', '/w/b/lib', 2, 8002),
    ('@', 'mul.o', 6, 8002), ('AR', 'gcc-ar', 0, 8002),
    ('PATH', '/usr/bin:/bin', 1, 7003), ('CURDIR', '/w/a/src', 2, 7003),
    ('PATH', '/usr/bin:/bin', 1, 8003), ('CURDIR', '/w/b/src', 2, 8003);
