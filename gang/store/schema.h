// The station database's schema: its version, and the steps that create it
// or bring an older one up to this version.
#pragma once
#include <string>

#include "gang/store/sql_db.h"

// The version this program writes; a database of a newer one is refused.
constexpr int SCHEMA_VERSION = 1;

// Creates or upgrades the schema in one transaction; "" or the message.
std::string schema_prepare(sql_db& db, const std::string& url);
