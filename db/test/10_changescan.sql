-- Instances that the changescan tests look up (OIDs 100 to 999).
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE) VALUES (100, 'make'), (200, 'make');

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC) VALUES
    -- util.c in src: one instance under "old", two under "new";
    -- main.c: under "old" only, so the record main.c src app yields nothing.
    (101, 'util.c', 'src', 'old', 100),
    (102, 'main.c', 'src', 'old', 100),
    (201, 'util.c', 'src', 'new', 200),
    (202, 'util.c', 'src', 'new', 200),
    -- pair.c in lib: two instances under "old", three under "new".
    (111, 'pair.c', 'lib', 'old', 100),
    (112, 'pair.c', 'lib', 'old', 100),
    (211, 'pair.c', 'lib', 'new', 200),
    (212, 'pair.c', 'lib', 'new', 200),
    (213, 'pair.c', 'lib', 'new', 200),
    -- Quotes in the name, the directories and a version label.
    (121, 'it''s.c', 'o''dir', 'old', 100),
    (221, 'it''s.c', 'n''dir', 'new', 200),
    (122, 'q.c', 'src', 'v''1', 100),
    (222, 'q.c', 'src', 'new', 200),
    -- A name far longer than any fixed buffer.
    (131, repeat('n', 3000) || '.c', 'src', 'old', 100),
    (231, repeat('n', 3000) || '.c', 'src', 'new', 200);
