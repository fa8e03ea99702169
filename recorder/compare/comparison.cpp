#include "compare/comparison.h"

pg::Connection open_snapshot()
{
    pg::Connection conn = pg::connect();
    pg::query(conn.get(), "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    return conn;
}

Comparison compare_builds(const std::string &label1, const std::string &label2)
{
    Comparison c;
    c.conn = open_snapshot();
    std::tie(c.a, c.b) = recorded::load_two_builds(c.conn.get(), label1, label2);
    c.pairs = pairing::pair_builds(c.a, c.b);
    bool shared = false;
    for (std::uint32_t f = 0; f < c.pairs.file_count() && !shared; ++f)
        shared = c.pairs.files_a.has(f) && c.pairs.files_b.has(f);
    if (!shared)
        throw recorded::BuildError("the builds '" + label1 + "' (" + c.a.root + ") and '" + label2 + "' (" + c.b.root +
                             ") have nothing in common: no file at the same place relative to their top directories");
    c.set = changes::find_changes(c.a, c.b, c.pairs);
    return c;
}
