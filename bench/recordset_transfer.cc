// Export and import of a 100,000-row, 8-column table through the toolkit
// (DAO-shaped engine, recordset text) side by side with the sqlite3
// command-line tool doing the same with tab-separated text and .import.
//
//   bench_recordset [rows]      (ENGINES_LIBRARY is built in)
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engines/module.h"
#include "quillon/component/registration.h"
#include "quillon/recordset/recordset.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

bool Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    sqlite3_free(error);
    return false;
  }
  return true;
}

long Count(sqlite3* db, const char* table) {
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = std::string("SELECT count(*) FROM ") + table;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quillon-bench-rs-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("QUILLON_REGISTRY", (dir / "registry").c_str(), 1);
  if (quillon::com::Failed(quillon::com::RegisterComponentLibrary(
          ENGINES_LIBRARY, nullptr, quillon::engines::EngineClasses()))) {
    std::fprintf(stderr, "cannot register %s\n", ENGINES_LIBRARY);
    return 1;
  }
  const std::string path = (dir / "bench.db").string();
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  const char* columns =
      "(id INTEGER PRIMARY KEY, name TEXT, amount REAL, day DATE, flag BOOLEAN, data BLOB, "
      "note TEXT, qty INTEGER)";
  bool ok = Exec(db, std::string("CREATE TABLE t ") + columns) &&
            Exec(db, std::string("CREATE TABLE toolkit ") + columns) &&
            Exec(db, std::string("CREATE TABLE cli ") + columns) &&
            // Blobs of printable bytes, so that the tool's raw blob output
            // survives its own tab-separated import.
            Exec(db,
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                     std::to_string(rows) +
                     ") INSERT INTO t SELECT i, 'name-' || i, i * 0.25, "
                     "printf('2024-%02d-%02d', 1 + i % 12, 1 + i % 28), i % 2, "
                     "CAST(printf('%08X', i * 2654435761 % 4294967296) AS BLOB), "
                     "CASE WHEN i % 10 = 0 THEN NULL ELSE 'note ' || i END, i * 7 FROM n");
  sqlite3_close(db);
  if (!ok) return 1;

  namespace rs = quillon::recordset;
  auto start = Clock::now();
  const std::string text = rs::ExportRecordset(rs::qlDAO36, path, "t");
  const double ours_export = Seconds(start);
  start = Clock::now();
  rs::ImportRecordset(rs::qlDAO36, path, "toolkit", text);
  const double ours_import = Seconds(start);

  const std::string tsv = (dir / "t.tsv").string();
  start = Clock::now();
  int status = std::system(("sqlite3 -batch '" + path + "' '.mode tabs' '.output " + tsv +
                            "' 'SELECT * FROM t;'")
                               .c_str());
  const double cli_export = Seconds(start);
  start = Clock::now();
  status |= std::system(("sqlite3 -batch '" + path + "' '.mode tabs' '.import " + tsv + " cli'")
                            .c_str());
  const double cli_import = Seconds(start);

  sqlite3_open(path.c_str(), &db);
  const long ours_rows = Count(db, "toolkit");
  const long cli_rows = Count(db, "cli");
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  if (status != 0 || ours_rows != rows || cli_rows != rows) {
    std::fprintf(stderr, "rows: toolkit %ld, sqlite3 %ld (of %ld); sqlite3 status %d\n",
                 ours_rows, cli_rows, rows, status);
    return 1;
  }
  const double ours = ours_export + ours_import;
  const double cli = cli_export + cli_import;
  std::printf("recordset transfer, %ld rows x 8 columns (%zu bytes of text)\n", rows, text.size());
  std::printf("  toolkit  export %7.3f s  import %7.3f s  total %7.3f s\n", ours_export,
              ours_import, ours);
  std::printf("  sqlite3  export %7.3f s  import %7.3f s  total %7.3f s\n", cli_export,
              cli_import, cli);
  std::printf("  ratio toolkit / sqlite3: %.2f\n", ours / cli);
  return 0;
}
