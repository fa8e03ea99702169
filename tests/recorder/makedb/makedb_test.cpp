// make's data base as real make 4.3 prints it for small makefiles written
// here, read back: variables with their origins, files with their flags,
// recipes and prerequisites, in English and in other languages.
#include "makedb/makedb.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "../make_run.h"

using namespace testsupport;

namespace {

using Files = std::map<std::string, std::string>;

const char *const everything_makefile = R"(CFLAGS = -O2
SIMPLE := a$$b
override OVR = ov
define MULTI
line1
line2
endef
ENVV = from-makefile
vpath %.c src
.SUFFIXES: .x
.PHONY: all clean
all: prog | outdir
prog: main.o it's back\slash two\ words
	@echo link $@
	-touch $@
prog: TV = tv
prog: override TO := to
%.o: %.c
	cp $< $@
clean::
	rm a
clean::
	rm b
.c.x: ; cp $< $@
outdir: ; mkdir -p $@
it's: ; touch "$@"
back\slash: ; touch 'back\slash'
two\ words: ; touch 'two words'
)";

const makedb::File *file_named(const makedb::Database &db, const std::string &name)
{
    for (const makedb::File &file : db.files)
        if (file.name == name)
            return &file;
    return nullptr;
}

TEST(MakeDatabase, VariablesCarryTheirOrigins)
{
    MakeProject project({{"Makefile", everything_makefile}, {"src/main.c", ""}});
    struct Case {
        std::vector<std::string> args;
        std::string name, op, value;
        makedb::Source source;
    } cases[] = {
        {{}, "CFLAGS", "=", "-O2", makedb::source_makefile},
        {{}, "SIMPLE", ":=", "a$$b", makedb::source_makefile},
        {{}, "OVR", "=", "ov", makedb::source_override},
        {{}, "MULTI", "define", "line1\nline2", makedb::source_makefile},
        {{}, "ENVV", "=", "from-makefile", makedb::source_makefile},
        {{"-e"}, "ENVV", "=", "from-env", makedb::source_environment_override},
        {{}, "PLAIN_ENV", "=", "plain", makedb::source_environment},
        {{"CV=1"}, "CV", "=", "1", makedb::source_command_line},
        {{"OVR=cl"}, "OVR", "=", "ov", makedb::source_override},
        {{}, "CC", "=", "cc", makedb::source_default},
        {{}, "@D", "=", "$(patsubst %/,%,$(dir $@))", makedb::source_automatic},
    };
    for (const Case &c : cases) {
        const makedb::Database db = project.database(c.args, {"ENVV=from-env", "PLAIN_ENV=plain"});
        const makedb::Variable *var = db.variable(c.name);
        ASSERT_NE(var, nullptr) << c.name;
        EXPECT_EQ(var->op, c.op) << c.name;
        EXPECT_EQ(var->value, c.value) << c.name;
        EXPECT_EQ(var->source, c.source) << c.name;
    }
}

TEST(MakeDatabase, FilesWithFlagsRecipesAndPrerequisites)
{
    MakeProject project({{"Makefile", everything_makefile}, {"src/main.c", ""}});
    const makedb::Database db = project.database({});
    struct Case {
        std::string name;
        bool target, phony, double_colon;
        int rules;
        std::vector<std::string> prereqs, order_only;
        std::optional<std::string> recipe;
    } cases[] = {
        {"all", true, true, false, 0, {"prog"}, {"outdir"}, std::nullopt},
        {"prog", true, false, false, 0, {"main.o", "it's", "back\\slash", "two words"}, {}, "@echo link $@\n-touch $@"},
        // vpath: the prerequisite is the file as found.
        {"main.o", true, false, false, 0, {"src/main.c"}, {}, "cp $< $@"},
        {"src/main.c", false, false, false, 0, {}, {}, std::nullopt},
        {"clean", true, true, true, 2, {}, {}, "rm a\nrm b"},
        {"it's", true, false, false, 0, {}, {}, " touch \"$@\""},
        {"back\\slash", true, false, false, 0, {}, {}, " touch 'back\\slash'"},
        {"two words", true, false, false, 0, {}, {}, " touch 'two words'"},
    };
    for (const Case &c : cases) {
        const makedb::File *file = file_named(db, c.name);
        ASSERT_NE(file, nullptr) << c.name;
        EXPECT_FALSE(db.left_out(*file)) << c.name;
        EXPECT_EQ(file->is_target, c.target) << c.name;
        EXPECT_EQ(file->phony, c.phony) << c.name;
        EXPECT_EQ(file->double_colon, c.double_colon) << c.name;
        EXPECT_EQ(file->rule_count, c.rules) << c.name;
        EXPECT_EQ(file->prereqs, c.prereqs) << c.name;
        EXPECT_EQ(file->order_only, c.order_only) << c.name;
        EXPECT_EQ(file->recipe, c.recipe) << c.name;
    }
    // Built-in rules, suffix rules (also the makefile's own) and special targets are left out.
    for (const char *name : {".c.o", ".c.x", ".c", ".PHONY", ".SUFFIXES", ".DEFAULT"}) {
        const makedb::File *file = file_named(db, name);
        EXPECT_TRUE(file == nullptr || db.left_out(*file)) << name;
    }
    EXPECT_EQ(file_named(db, "%.o"), nullptr);

    const makedb::File *prog = file_named(db, "prog");
    ASSERT_EQ(prog->variables.size(), 2u);
    std::vector<std::pair<std::string, makedb::Source>> vars;
    for (const auto &var : prog->variables)
        vars.emplace_back(var.name + " " + std::string(var.op) + " " + var.value, var.source);
    std::sort(vars.begin(), vars.end());
    EXPECT_EQ(vars[0], std::pair(std::string("TO := to"), makedb::source_override));
    EXPECT_EQ(vars[1], std::pair(std::string("TV = tv"), makedb::source_makefile));
}

TEST(MakeDatabase, GoalsAreTheCommandLineTargetsOrTheDefault)
{
    MakeProject project({{"Makefile", everything_makefile}, {"src/main.c", ""}});
    EXPECT_EQ(project.database({}).goals(), std::vector<std::string>{"all"});
    EXPECT_EQ(project.database({"outdir", "it's"}).goals(), (std::vector<std::string>{"outdir", "it's"}));
}

TEST(MakeDatabase, OneShellRecipeIsReadAsWritten)
{
    MakeProject project(Files{{"Makefile", ".ONESHELL:\nall:\n\t@x=1\n\t  echo $$x\n\t-true \\\n\t  more\n"}});
    const makedb::Database db = project.database({});
    const makedb::File *all = file_named(db, "all");
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->recipe, "@x=1\n  echo $$x\n-true \\\n\t  more");
    EXPECT_TRUE(db.left_out(*file_named(db, ".ONESHELL")));
}

// Recipes under another .RECIPEPREFIX and lines continued with a backslash
// read as make keeps them: make prints a changed prefix on a line of its own
// before the entry, and the lines after a backslash-newline as written.
TEST(MakeDatabase, RecipesReadWhateverTheirPrefixAndContinuations)
{
    struct Case {
        const char *what;
        std::string makefile;
        std::map<std::string, std::optional<std::string>> recipes;
    } cases[] = {
        {"a prefix set and set back",
         ".RECIPEPREFIX = >\nall: a b\n>@echo one\n>touch x\na:\n>touch a\n.RECIPEPREFIX =\nb:\n\techo b\n",
         {{"all", "@echo one\ntouch x"}, {"a", "touch a"}, {"b", "echo b"}}},
        {"a prefix still set at the end",
         "b:\n\techo b\n.RECIPEPREFIX := +\nall: b c\n+@echo one\nc: ; touch c\n",
         {{"all", "@echo one"}, {"b", "echo b"}, {"c", " touch c"}}},
        {"continued onto a line indented by blanks",
         "all:\n\t@echo one \\\n    two > d\n\t@echo three\n",
         {{"all", "@echo one \\\n    two > d\n@echo three"}}},
        {"continued onto lines that begin with a tab and a '#'",
         "all:\n\techo b \\\n\t\t# no comment \\\n\t  x\n\techo next\n",
         {{"all", "echo b \\\n\t\t# no comment \\\n\t  x\necho next"}}},
        {"an escaped backslash ends the line",
         "all:\n\techo a\\\\\n\techo b\n",
         {{"all", "echo a\\\\\necho b"}}},
        {"continued under another prefix",
         ".RECIPEPREFIX = >\nall:\n>echo one \\\ntwo\n>echo three\n",
         {{"all", "echo one \\\ntwo\necho three"}}},
    };
    for (const Case &c : cases) {
        MakeProject project(Files{{"Makefile", c.makefile}});
        const makedb::Database db = project.database({"-n"});
        for (const auto &[name, recipe] : c.recipes) {
            const makedb::File *file = file_named(db, name);
            ASSERT_NE(file, nullptr) << c.what << ": " << name;
            EXPECT_FALSE(db.left_out(*file)) << c.what << ": " << name;
            EXPECT_EQ(file->recipe, recipe) << c.what << ": " << name;
        }
    }
}

// Under a language that make has a catalog for, the same makefile reads the
// same as in English: origins, markers and sections are all recognised.
TEST(MakeDatabase, TranslatedDataBaseReadsAsTheEnglishOne)
{
    MakeProject project({{"Makefile", everything_makefile}, {"src/main.c", ""}});
    const makedb::Database english = project.database({"-e", "CV=1"}, {"LANG=C", "LC_ALL=C", "ENVV=e"});
    struct Case {
        std::vector<std::string> env;
        bool english; // make prints English under it
    } cases[] = {
        {{"LANG=C", "LC_ALL=de_DE.UTF-8"}, false},
        // de_DE alone is ISO-8859-1: make's words come in that codeset.
        {{"LANG=C", "LC_ALL=de_DE"}, false},
        {{"LANG=fr_FR.UTF-8", "LC_ALL="}, false},
        {{"LANG=C", "LC_ALL=ja_JP.UTF-8"}, false},
        // LANGUAGE chooses the language unless the locale is C.
        {{"LC_ALL=de_DE.UTF-8", "LANGUAGE=xx:fr"}, false},
        {{"LC_ALL=C", "LANGUAGE=fr"}, true},
        // A locale that is not installed leaves make in C.
        {{"LC_ALL=xx_YY.UTF-8"}, true},
    };
    for (const Case &c : cases) {
        std::vector<std::string> env = c.env;
        env.push_back("ENVV=e");
        const std::string locale = c.env.back();
        const std::string text = project.database_text({"-e", "CV=1"}, env);
        ASSERT_EQ(text.find("# Files\n") != std::string::npos, c.english) << locale;
        const makedb::Database translated = makedb::parse(text);
        ASSERT_EQ(translated.files.size(), english.files.size()) << locale;
        for (std::size_t i = 0; i < english.files.size(); ++i) {
            const makedb::File &a = english.files[i], &b = translated.files[i];
            EXPECT_EQ(a.name, b.name) << locale;
            EXPECT_EQ(a.is_target, b.is_target) << locale << " " << a.name;
            EXPECT_EQ(a.phony, b.phony) << locale << " " << a.name;
            EXPECT_EQ(a.builtin, b.builtin) << locale << " " << a.name;
            EXPECT_EQ(a.recipe, b.recipe) << locale << " " << a.name;
            EXPECT_EQ(a.variables.size(), b.variables.size()) << locale << " " << a.name;
        }
        for (const makedb::Variable &var : english.variables) {
            if (var.name.starts_with("LC_") || var.name.starts_with("LANG"))
                continue;
            const makedb::Variable *other = translated.variable(var.name);
            ASSERT_NE(other, nullptr) << locale << " " << var.name;
            EXPECT_EQ(other->source, var.source) << locale << " " << var.name;
        }
        EXPECT_EQ(translated.goals(), english.goals()) << locale;
    }
}

TEST(MakeDatabase, WhatIsNoDataBaseGivesNothing)
{
    for (const char *text : {"", "hello\nworld\n", "# Files\n\n"}) {
        const makedb::Database db = makedb::parse(text);
        EXPECT_TRUE(db.variables.empty()) << text;
        EXPECT_TRUE(db.files.empty()) << text;
    }
}

} // namespace
