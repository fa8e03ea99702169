-- Environments that the envdiff tests compare (instance and process OIDs
-- 4000 to 4999).  Each instance has a process of the same OID unless said
-- otherwise; the OID 4999 is kept free for "no such instance".
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES
    (4001, 'make'), (4002, 'make'), (4003, 'make'), (4004, 'make'),
    (4011, 'make'), (4012, 'make'), (4021, 'make'), (4022, 'make'),
    (4031, 'make'), (4032, 'make'), (4041, 'make'), (4042, 'make');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC) VALUES
    -- The worked example: two instances of main.o.
    (4001, 'main.o', 'src', 'v1', 4001),
    (4002, 'main.o', 'src', 'v2', 4002),
    -- The second pair of the five-argument form.
    (4003, 'util.o', 'lib', 'v1', 4003),
    (4004, 'util.o', 'lib', 'v2', 4004),
    -- Another instance of the process of 4001: the same environment.
    (4005, 'other.o', 'src', 'v1', 4001),
    -- Names and values that differ in blanks at their ends, tabs, letter case.
    (4011, 'blanks.o', 'src', 'v1', 4011),
    (4012, 'blanks.o', 'src', 'v2', 4012),
    -- Names whose server order differs from the trimmed byte order.
    (4021, 'order.o', 'src', 'v1', 4021),
    (4022, 'order.o', 'src', 'v2', 4022),
    -- One name under several source numbers.
    (4031, 'multi.o', 'src', 'v1', 4031),
    (4032, 'multi.o', 'src', 'v2', 4032),
    -- Variables with source numbers outside 1 to 6 only, and none at all.
    (4041, 'nosource.o', 'src', 'v1', 4041),
    (4042, 'novars.o', 'src', 'v1', 4042);

INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC) VALUES
    -- Worked example, first side; names padded with blanks as the recorder
    -- stores them.
    ('CC        ', 'gcc', 1, 4001),
    ('CFLAGS    ', '-O2', 3, 4001),
    ('LANG      ', 'C', 1, 4001),
    -- Source 7 is never listed, so HOME does not show up as one-sided.
    ('HOME      ', '/root', 7, 4001),
    -- Worked example, second side; CC is the same and is not written.
    ('CC        ', 'gcc', 1, 4002),
    ('CFLAGS    ', '-g', 3, 4002),
    ('SHELL     ', '/bin/sh', 3, 4002),
    -- Second pair: X differs, Y is only on the first side.
    ('X', '1', 2, 4003),
    ('Y', 'only-a', 2, 4003),
    ('X', '2', 2, 4004),
    -- Blanks at the ends of names and values count for nothing.
    ('  PATH', '/bin', 1, 4011),
    ('PATH  ', '  /bin  ', 1, 4012),
    -- A tab at the end of a value counts.
    ('TABBED', E'x\t', 1, 4011),
    ('TABBED', 'x', 1, 4012),
    -- Letter case of a value counts.
    ('UPPER', 'abc', 1, 4011),
    ('UPPER', 'ABC', 1, 4012),
    -- Letter case of a name counts: two one-sided names.
    ('Mixed', 'm', 1, 4011),
    ('MIXED', 'm', 1, 4012),
    -- A tab at the start of a name counts: two one-sided names.
    (E'\tTNAME', 't', 1, 4011),
    ('TNAME', 't', 1, 4012),
    -- Server order (byte order, blanks included) of 4021: '  alpha', 'Zed',
    -- 'beta'; trimmed byte order: 'Zed', 'alpha', 'beta'.
    ('  alpha', 'same', 1, 4021),
    ('Zed', 'z1', 1, 4021),
    ('beta', 'b1', 1, 4021),
    ('Zonly', 'z', 1, 4021),
    ('alpha', 'same', 1, 4022),
    ('Zed', 'z2', 1, 4022),
    ('beta', 'b2', 1, 4022),
    ('aonly', 'a', 1, 4022),
    -- CC under sources 1, 3, 5 against 2, 4: gcc pairs with gcc (same value,
    -- other source: not written), clang with cc, icc finds no partner.
    ('CC', 'icc', 5, 4031),
    ('CC', 'gcc', 1, 4031),
    ('CC', 'clang', 3, 4031),
    ('CC', 'cc', 4, 4032),
    ('CC', 'gcc', 2, 4032),
    -- Only sources that are never listed.
    ('IGNORED', 'x', 0, 4041),
    ('IGNORED', 'y', 7, 4041);
