-- A small recorded build in two versions, "v1" and "v2", for the demo.
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES
    (10, 'make all'),
    (20, 'make all');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS,
                          INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN) VALUES
    (1001, 'main.c', '/proj/src', 'v1', 10, NULL, NULL, '0', '0', '0'),
    (1002, 'main.o', '/proj/src', 'v1', 10, 'cc -O2 -c main.c', 'cc -O2 -c main.c', '0', '1', '0'),
    (1003, 'prog',   '/proj',     'v1', 10, 'cc -o prog src/main.o', 'cc -o prog src/main.o', '0', '1', '0'),
    (2001, 'main.c', '/proj/src', 'v2', 20, NULL, NULL, '0', '0', '0'),
    (2002, 'main.o', '/proj/src', 'v2', 20, 'cc -g -c main.c', 'cc -g -c main.c', '0', '1', '0'),
    (2003, 'prog',   '/proj',     'v2', 20, 'cc -o prog src/main.o', 'cc -o prog src/main.o', '0', '1', '0');

INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES
    ('CC        ', 'cc', 1, 10),
    ('CFLAGS    ', '-O2', 3, 10),
    ('CC        ', 'cc', 1, 20),
    ('CFLAGS    ', '-g', 3, 20);
