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

-- What the recorder (tracemake) keeps beyond the columns above.  The query
-- tools never read these; the recorder's exports and the front end do.

-- OIDs of make processes and file instances, unique across every recorded
-- build and never reused.  It starts high so that hand-made rows with small
-- OIDs (test data, the sample trace) never meet a recorded one.
CREATE SEQUENCE ZTR_OID_SEQ START 1000000;

-- One row per recorded build.
CREATE TABLE ZTR_BUILD (
    BLD_LABEL     text PRIMARY KEY,  -- the label given to `tracemake record`; INST_VERSION of its instances
    BLD_TOPDIR    text,              -- directory the build was started in
    BLD_CMDLINE   text,              -- the make command as the user gave it
    BLD_START     timestamptz,
    BLD_END       timestamptz,
    BLD_STATUS    integer,           -- the build's exit status (128 + N when ended by signal N)
    BLD_COMPLETE  integer,           -- 1 recorded whole, 0 stopped early (Ctrl-C): what is known
    BLD_TOPPROC   bigint             -- OID of the top make process
);

ALTER TABLE ZTR_MAKEPROC
    ADD COLUMN PS_VERSION    text,        -- label of the build
    ADD COLUMN PS_PARENT     bigint,      -- OID of the make process whose recipe started it; NULL for the top make
    ADD COLUMN PS_PARENTINST bigint,      -- OID of the file instance whose recipe started it; NULL when not known
    ADD COLUMN PS_SEQ        integer,     -- position among the sub-makes of its parent, in order of start, from 0
    ADD COLUMN PS_DIR        text,        -- working directory of the process (after -C)
    ADD COLUMN PS_STATUS     integer,     -- exit status
    ADD COLUMN PS_START      timestamptz,
    ADD COLUMN PS_END        timestamptz;

ALTER TABLE ZTR_FILEINST
    ADD COLUMN INST_ISGOAL   integer,     -- 1 when a goal of its make process (command-line target or default goal)
    ADD COLUMN INST_DBLCOUNT integer,     -- number of double-colon rules
    ADD COLUMN INST_DIGEST   text,        -- SHA-256 (hex) of the file's content when its make process ended; NULL when no such file
    ADD COLUMN INST_MTIME    timestamptz; -- the file's modification time when its digest was taken; NULL when no digest or not recorded

-- Prerequisites: one row per prerequisite of an instance, both instances of
-- the same make process.
CREATE TABLE ZTR_PREREQ (
    PRQ_INST       bigint,   -- the target's instance
    PRQ_PREREQ     bigint,   -- the prerequisite's instance
    PRQ_POS        integer,  -- position in the target's prerequisite list, from 0
    PRQ_ORDERONLY  integer   -- 1 for an order-only prerequisite
);

-- A build's instances are found by ztr_fileinst_lookup, whose first column is INST_VERSION.
CREATE INDEX ztr_makeproc_version ON ZTR_MAKEPROC (PS_VERSION);
CREATE INDEX ztr_prereq_inst ON ZTR_PREREQ (PRQ_INST);

-- Target-specific variables (`target: NAME = value`): one row per variable
-- of an instance.  They stay out of ZTR_VARIABLE, whose rows hold for every
-- target of their make process.
CREATE TABLE ZTR_TARGETVAR (
    TV_INST    bigint,   -- the instance whose target the variable belongs to
    TV_NAME    text,
    TV_OP      text,     -- '=', ':=' or '+=' (appended to the value in force elsewhere)
    TV_VALUE   text,     -- as the data base prints it, like VAR_VALUE
    TV_SOURCE  integer   -- as VAR_SOURCE
);
CREATE INDEX ztr_targetvar_inst ON ZTR_TARGETVAR (TV_INST);

-- Why make ran the commands of an instance: one row per reason, for every
-- instance whose commands ran (INST_EXECMDS not NULL), decided after the
-- build from make's data base and what make saw of each file before it
-- updated anything (its existence and modification time at make's first
-- look).  RSN_KIND is one of
--   missing       the file did not exist; for an intermediate file the prerequisites
--                 newer than the file that needed it follow as newer rows
--   phony         a phony target
--   forced        make ran with -B
--   double-colon  a double-colon rule without prerequisites
--   newer         RSN_PREREQ is newer than the file (or was remade before it)
--   what-if       RSN_PREREQ was named by -W
--   always        RSN_PREREQ is always out of date: phony, or without recipe
--                 and without file (the FORCE idiom); listed after the real reasons
--   makefile      the file is one of its make's makefiles (remade before the rest)
--   unchanged     the commands ran but left the file as it was: not rebuilt
--   unknown       nothing make saw explains it
--   unrecorded    what make saw was not recorded (a spool of an older recorder):
--                 the reasons are missing, not guessed
-- Order-only prerequisites are never a reason.
CREATE TABLE ZTR_REASON (
    RSN_INST    bigint,   -- the instance whose commands ran
    RSN_POS     integer,  -- 0 for the reason make acted on, then the others in order
    RSN_KIND    text,
    RSN_PREREQ  bigint,   -- the prerequisite's instance (same make process) for newer, what-if, always
    RSN_REMADE  integer,  -- newer: 1 when the prerequisite was itself remade in this build, else 0
    RSN_NOTE    text      -- newer: 'future' (dated after its make ended: clock skew),
                          -- 'deleted' (gone when its make ended), else NULL
);
CREATE INDEX ztr_reason_inst ON ZTR_REASON (RSN_INST);
