-- Targets that the rulediff tests compare (instance OIDs 5000 to 5999; the
-- OID 5999 is kept free for "no such target").  Flags are texts, so that
-- NULL and non-numeric flags can be stored.
INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC,
                          INST_CMDSTXT, INST_EXECMDS, INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN) VALUES
    -- The worked example: same command text, executed on the first side
    -- only, a target in a makefile on the first side only.
    (5001, 'prog', '/build/a', 'v1', NULL, 'cc -o prog main.o', 'cc -o prog main.o', '0', '1', '0'),
    (5002, 'prog', '/build/b', 'v2', NULL, 'cc -o prog main.o', NULL, '0', '0', '0'),

    -- One flag value each, set on all three flags; commands NULL on both
    -- sides so that the block around the flag lines stays fixed.
    (5010, 'zero', 'flags', 'v1', NULL, NULL, NULL, '0', '0', '0'),
    (5011, 'one', 'flags', 'v1', NULL, NULL, NULL, '1', '1', '1'),
    (5012, 'two', 'flags', 'v1', NULL, NULL, NULL, '2', '2', '2'),
    (5013, 'null', 'flags', 'v1', NULL, NULL, NULL, NULL, NULL, NULL),
    (5014, 'word', 'flags', 'v1', NULL, NULL, NULL, 'yes', 'yes', 'yes'),
    (5015, 'empty', 'flags', 'v1', NULL, NULL, NULL, '', '', ''),
    (5016, 'minus', 'flags', 'v1', NULL, NULL, NULL, '-1', '-1', '-1'),
    (5017, 'blank7', 'flags', 'v1', NULL, NULL, NULL, ' 7', ' 7', ' 7'),
    -- 2^32: as a C int it would wrap round to 0; it is a number other than 0.
    (5018, 'huge', 'flags', 'v1', NULL, NULL, NULL, '4294967296', '4294967296', '4294967296'),
    -- Reads as 0: the digits stop at the x.
    (5019, 'hex', 'flags', 'v1', NULL, NULL, NULL, '0x1', '0x1', '0x1'),
    (5020, 'plus', 'flags', 'v1', NULL, NULL, NULL, '+3', '+3', '+3'),
    -- Different flags on the two sides: phony only, against target and
    -- double colon.
    (5021, 'mixa', 'flags', 'v1', NULL, NULL, NULL, '1', '0', '0'),
    (5022, 'mixb', 'flags', 'v1', NULL, NULL, NULL, '0', '1', '1'),

    -- NULL texts against empty texts.
    (5030, 'nulltxt', 'texts', 'v1', NULL, NULL, NULL, '0', '0', '0'),
    (5031, 'emptytxt', 'texts', 'v1', NULL, '', '', '0', '0', '0'),
    -- Texts that differ only in a trailing blank, in letter case, in a line end.
    (5032, 'a', 'texts', 'v1', NULL, E'gcc -c x.c\ngcc -o x x.o', 'make all', '0', '0', '0'),
    (5033, 'b', 'texts', 'v1', NULL, E'gcc -c x.c\nGCC -o x x.o', 'make all ', '0', '0', '0'),
    (5034, 'c', 'texts', 'v1', NULL, E'gcc -c x.c\ngcc -o x x.o\n', 'make all', '0', '0', '0');
