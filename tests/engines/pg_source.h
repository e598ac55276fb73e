// The test run's PostgreSQL (QUILLON_TEST_PG_PORT) as an ODBC connection
// string. Each test process works in a schema of its own, made and chosen
// when a connection opens, so that tests run in parallel (one process per
// test) never meet in a table.
#ifndef QUILLON_TESTS_ENGINES_PG_SOURCE_H_
#define QUILLON_TESTS_ENGINES_PG_SOURCE_H_

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quillon::testing {

// "" when the run started no PostgreSQL.
inline std::string PgConnectionString(bool bools_as_char = false) {
  const char* port = std::getenv("QUILLON_TEST_PG_PORT");
  if (port == nullptr) return {};
  const std::string schema = "quillon_test_" + std::to_string(getpid());
  return std::string("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=") + port +
         ";Database=postgres;Uid=postgres;" + (bools_as_char ? "" : "BoolsAsChar=0;") +
         "ConnSettings={CREATE SCHEMA IF NOT EXISTS " + schema + "; SET search_path TO " +
         schema + "};";
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_ENGINES_PG_SOURCE_H_
