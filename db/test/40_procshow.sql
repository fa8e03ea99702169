-- Make processes and instances whose command lines the procshow tests read
-- (OIDs 3000 to 3999).  3999 is left free: no instance.
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES
    (3000, 'make all'),
    (3010, NULL),
    (3020, ''),
    -- 75 characters, a newline, then a second line.
    (3030, 'make -C ' || repeat('sub/', 15) || E'dir all\nV=1');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC) VALUES
    -- Two instances made by one process: the same command line twice.
    (3001, 'main.o', 'src', 'v1', 3000),
    (3002, 'util.o', 'lib', 'v1', 3000),
    -- A NULL and an empty command line: nothing between the separators.
    (3011, 'null.o', 'src', 'v1', 3010),
    (3021, 'empty.o', 'src', 'v1', 3020),
    -- A command line that wraps and holds a newline.
    (3031, 'deep.o', 'sub', 'v1', 3030),
    -- The process 3040 has no row: found as if the instance were missing.
    (3041, 'lost.o', 'src', 'v1', 3040);
