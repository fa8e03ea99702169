-- The trace database "DAVER" as the query tools read it: the tables and
-- columns that their queries name, and the indexes that keep those queries
-- fast on a large recorded build.  The recording component may keep more
-- columns; the tools never touch them.

-- One row per recorded make process.
CREATE TABLE ZTR_MAKEPROC (
    OID         bigint PRIMARY KEY,
    PS_CMDLINE  text
);

-- One row per file instance: one file or target as seen by one make process.
CREATE TABLE ZTR_FILEINST (
    OID            bigint PRIMARY KEY,
    INST_NAME      text,
    INST_DIR       text,
    INST_VERSION   text,
    INST_PROC      bigint,
    INST_CMDSTXT   text,
    INST_EXECMDS   text,
    INST_ISPHONY   text,
    INST_ISTARGET  text,
    INST_ISDBLCLN  text
);

-- One row per variable definition in force in one make process.
CREATE TABLE ZTR_VARIABLE (
    VAR_NAME    text,
    VAR_VALUE   text,
    VAR_SOURCE  integer,
    VAR_PROC    bigint
);

-- changescan looks instances up by version, name and directory.
CREATE INDEX ztr_fileinst_lookup ON ZTR_FILEINST (INST_VERSION, INST_NAME, INST_DIR);
-- procshow joins instances to their process.
CREATE INDEX ztr_fileinst_proc ON ZTR_FILEINST (INST_PROC);
-- envshow and envdiff join a process to its variables.
CREATE INDEX ztr_variable_proc ON ZTR_VARIABLE (VAR_PROC);
