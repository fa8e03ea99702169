-- Instances whose reports outgrow a page of a file system, for the tests of
-- reports that cannot be written completely (OIDs 7000 to 7999).
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES
    (7000, 'make' || repeat(' -W generated/long-file-name.c', 300));

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS) VALUES
    (7001, 'big.o', 'big', 'v7', 7000, repeat('cc -c big.c -o big.o' || chr(10), 300), repeat('cc -c big.c' || chr(10), 300)),
    (7002, 'big.o', 'other', 'v7', 7000, 'cc -c other.c', NULL);

-- A value of 20,000 characters: a few hundred wrapped lines.
INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES
    ('BIG       ', repeat('0123456789', 2000), 1, 7000);
