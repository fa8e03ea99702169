-- Processes, instances and variables that the envshow tests read
-- (OIDs 1000 to 1999).  Names are padded with blanks to ten characters, as
-- the recording component stores them.  1999 is left free: no instance.
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES
    (1000, 'make'),
    (1010, 'make'),
    (1020, 'make');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC) VALUES
    -- Two instances of one process with two short variables.
    (1001, 'main.o', 'src', 'v1', 1000),
    (1002, 'util.o', 'src', 'v1', 1000),
    -- Ordering, wrapping, display names and codes outside 1 to 6.
    (1011, 'app', 'bin', 'v1', 1010),
    -- A process whose variables all have codes outside 1 to 6.
    (1021, 'lib.a', 'lib', 'v1', 1020),
    -- A process that has no row and no variables.
    (1031, 'orphan.o', 'src', 'v1', 1030);

INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES
    -- The two-variable environment of 1001 and 1002.
    ('SHELL     ', '/bin/sh', 3, 1000),
    ('CC        ', 'gcc', 1, 1000),

    -- 1011: inserted out of order; listed by code, then by name.
    -- Nine letters and a blank: the blank is among the last three, so the
    -- whole name is shown, blank included.
    ('MAKEFLAGS ', '-j2', 6, 1010),
    ('CFLAGS    ', '-O2 -g', 1, 1010),
    ('CC        ', 'cc', 1, 1010),
    -- 130 characters: a header line and two continuation lines.
    ('PATH      ', repeat('/usr/local/bin:', 8) || '/usr/bin::', 2, 1010),
    -- A name without any blank is shown whole.
    ('NOSPACE', 'x', 4, 1010),
    -- A single inner blank: the name up to it, it and one more character.
    ('ab cde    ', 'y', 4, 1010),
    -- The first blank among the last three characters: shown whole.
    ('ABCDEFGH  ', 'z', 4, 1010),
    -- A NULL value reads as empty text: the header line alone.
    ('EMPTY     ', NULL, 5, 1010),
    -- A name of 70 characters: its header does not fit one line.
    (repeat('L', 70), 'long', 5, 1010),
    -- Codes that are never listed.
    ('ZERO      ', 'never', 0, 1010),
    ('SEVEN     ', 'never', 7, 1010),
    ('NEGATIVE  ', 'never', -1, 1010),
    ('NOCODE    ', 'never', NULL, 1010),

    -- 1021: nothing with a code from 1 to 6.
    ('HIDDEN    ', 'never', 0, 1020),
    ('HIDDEN2   ', 'never', 9, 1020);
