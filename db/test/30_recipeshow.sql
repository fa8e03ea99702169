-- Instances whose command texts the recipeshow tests read (OIDs 2000 to
-- 2999).  2999 is left free: no instance.
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES (2000, 'make');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS) VALUES
    -- One defined command, nothing executed.
    (2001, 'main.o', 'src', 'v1', 2000, 'cc -c main.c', NULL),
    -- Neither defined nor executed commands: both fallback lines.
    (2002, 'all', '.', 'v1', 2000, NULL, NULL),
    -- Both texts present but empty: no line under either heading.
    (2003, 'empty', 'src', 'v1', 2000, '', ''),
    -- No defined command but an empty executed one, and the reverse.
    (2004, 'mixed', 'src', 'v1', 2000, NULL, ''),
    (2005, 'mixed2', 'src', 'v1', 2000, '', NULL),
    -- Several lines: a leading empty line, one of 131 characters that wraps
    -- twice, an empty line between two commands, and a trailing newline.
    (2006, 'prog', 'bin', 'v1', 2000,
     E'\ncc -o prog ' || repeat('object.o ', 13) || E'-lm\n\necho done\n',
     E'cc -o prog main.o\necho done');
