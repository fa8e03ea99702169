// Removal of recorded builds that a test wrote into the shared test cluster.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

/// Deletes every row of the builds `labels` (plain words, no quotes) from every table.
inline void delete_builds(PgSession &db, const std::vector<std::string> &labels)
{
    std::string list;
    for (const std::string &label : labels)
        list += (list.empty() ? "('" : ", '") + label + "'";
    list += ")";
    db.exec("DELETE FROM ZTR_REASON WHERE RSN_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION IN " + list + ");"
            "DELETE FROM ZTR_PREREQ WHERE PRQ_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION IN " + list + ");"
            "DELETE FROM ZTR_TARGETVAR WHERE TV_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION IN " + list + ");"
            "DELETE FROM ZTR_VARIABLE WHERE VAR_PROC IN (SELECT OID FROM ZTR_MAKEPROC WHERE PS_VERSION IN " + list + ");"
            "DELETE FROM ZTR_FILEINST WHERE INST_VERSION IN " + list + ";"
            "DELETE FROM ZTR_MAKEPROC WHERE PS_VERSION IN " + list + ";"
            "DELETE FROM ZTR_BUILD WHERE BLD_LABEL IN " + list + ";");
}

} // namespace testsupport
