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
    // Files at corresponding places are not enough: two unrelated projects
    // both have a Makefile.  One file of both with the same content is.
    bool shared = false;
    for (recorded::Index i = 0; i < c.a.insts.size() && !shared; ++i) {
        const recorded::Index j = c.pairs.partner_a[i];
        shared = j != recorded::none && !c.a.insts[i].digest.empty() && c.a.insts[i].digest == c.b.insts[j].digest;
    }
    if (!shared)
        throw recorded::BuildError("the builds '" + label1 + "' (" + c.a.root + ") and '" + label2 + "' (" + c.b.root +
                                   ") have nothing in common: no file at a corresponding place with the same content");
    if (!c.pairs.folders.marks(0).empty()) {
        recorded::load_sums(c.conn.get(), c.a, c.pairs.folders.marks(0));
        recorded::load_sums(c.conn.get(), c.b, c.pairs.folders.marks(1));
    }
    c.set = changes::find_changes(c.a, c.b, c.pairs);
    return c;
}
