#pragma once

#include "database.h"

#include <vector>

// One step of the schema: the statements that take a database from the
// version before it to this version.
struct Migration
{
    int version;
    const char *sql;
};

// The service's schema steps for a back end, oldest first.
const std::vector<Migration> &schemaMigrations(Database::Kind kind);

// The schema version a database records; 0 when it records none.
int schemaVersion(Database &db);

// Brings the database to the last of the migrations, applying the ones it
// lacks in order inside one transaction: a step that fails leaves the
// database as it was. A database made by a newer program is refused.
// A database without a version table but with the service's tables was made
// before versions were kept; it is completed as those builds did and taken
// as version 1.
void migrate(Database &db, const std::vector<Migration> &migrations);
