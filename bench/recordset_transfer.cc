// Export and import of an 8-column table through the toolkit side by side
// with the tools that do the same with tab-separated text: the sqlite3
// command-line tool (.mode tabs / .import) for the DAO engine over SQLite,
// and psql's \copy for the ADO engine into PostgreSQL.
//
//   bench_recordset [rows] [--repeat N] [--profile export|import|pg-import]
//
// --profile runs only that toolkit phase, N times in this process, without
// the peers: a target for a profiler. (pg-import appends to the table
// bench_profile, which must exist, on BENCH_PG_PORT.)
//
// Each toolkit phase runs in a child process of its own, so that its peak
// resident size is its own; a phase's time is the best of N runs (the
// machine is shared). Wall and CPU times are both printed; the SQLite
// comparisons are judged on CPU time (both sides are one process bound by
// the CPU, and CPU time hardly moves with the machine's load), the
// PostgreSQL one on wall time (the server does much of the work). The PostgreSQL peer runs when BENCH_PG_PORT (or
// QUILLON_TEST_PG_PORT) names a server on 127.0.0.1 that user postgres
// reaches without a password, and psql is installed.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engines/module.h"
#include "quillon/component/registration.h"
#include "quillon/recordset/recordset.h"

namespace {

namespace rs = quillon::recordset;
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

long Count(const std::string& path, const char* table) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = std::string("SELECT count(*) FROM ") + table;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return n;
}

// The file's bytes in one string of its size (a string stream would hold
// them twice and count in the import's peak).
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(std::filesystem::file_size(path), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

struct Measure {
  double seconds = -1;  // wall
  double cpu = -1;      // user + system of the process doing the work
  long peak_kb = 0;
};

double CpuSeconds(const struct rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The wall and CPU time of `phase`.
Measure Timed(const std::function<void()>& phase) {
  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  phase();
  Measure m;
  m.seconds = Seconds(start);
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  m.cpu = CpuSeconds(after) - CpuSeconds(before);
  return m;
}

// Runs `work` in a child process: its times (what `work` returns) and the
// child's peak resident size. A failing child gives seconds < 0.
Measure InChild(const std::function<Measure()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Measure m;
    try {
      m = work();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "failed: %s\n", e.what());
      m.seconds = -1;
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    m.peak_kb = usage.ru_maxrss;
    if (write(fds[1], &m, sizeof m) != sizeof m) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  Measure m;
  if (read(fds[0], &m, sizeof m) != sizeof m) m.seconds = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return m;
}

// The best time of `repeat` runs of `once` (after `before` each), the
// largest peak.
Measure Best(int repeat, const std::function<void()>& before,
             const std::function<Measure()>& once) {
  Measure best;
  for (int i = 0; i < repeat; ++i) {
    before();
    const Measure m = InChild(once);
    if (m.seconds < 0) return m;
    if (best.seconds < 0 || m.seconds < best.seconds) best.seconds = m.seconds;
    if (best.cpu < 0 || m.cpu < best.cpu) best.cpu = m.cpu;
    best.peak_kb = std::max(best.peak_kb, m.peak_kb);
  }
  return best;
}

// A shell command's wall time, and the CPU time of its processes.
Measure TimeCommand(const std::string& command) {
  struct rusage before {};
  getrusage(RUSAGE_CHILDREN, &before);
  const auto start = Clock::now();
  Measure m;
  if (std::system(command.c_str()) != 0) return m;
  m.seconds = Seconds(start);
  struct rusage after {};
  getrusage(RUSAGE_CHILDREN, &after);
  m.cpu = CpuSeconds(after) - CpuSeconds(before);
  return m;
}

void KeepBest(Measure* best, const Measure& m) {
  if (best->seconds < 0 || m.seconds < best->seconds) best->seconds = m.seconds;
  if (best->cpu < 0 || m.cpu < best->cpu) best->cpu = m.cpu;
}

// Wall times and their ratio, then CPU times and theirs (on a shared
// machine the CPU figures are the steadier), against the target.
void Report(const char* what, const Measure& ours, const Measure& peer, const char* peer_name,
            double target, bool cpu_counts) {
  const double wall_ratio = ours.seconds / peer.seconds;
  const double cpu_ratio = ours.cpu / peer.cpu;
  std::printf("  %-22s toolkit %6.3f s wall %6.3f s cpu, peak RSS %6.1f MB | %-7s %6.3f s wall "
              "%6.3f s cpu | ratio wall %.2f cpu %.2f (target %.1f)%s\n",
              what, ours.seconds, ours.cpu, ours.peak_kb / 1024.0, peer_name, peer.seconds,
              peer.cpu, wall_ratio, cpu_ratio, target,
              (cpu_counts ? cpu_ratio : wall_ratio) > target ? "  MISSED" : "");
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 100000;
  int repeat = 3;
  std::string profile;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
      profile = argv[++i];
    } else {
      rows = std::atol(argv[i]);
    }
  }
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
  const char* columns =
      "(id INTEGER PRIMARY KEY, name TEXT, amount REAL, day DATE, flag BOOLEAN, data BLOB, "
      "note TEXT, qty INTEGER)";
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const bool ok =
        Exec(db, std::string("CREATE TABLE t ") + columns) &&
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
  }

  if (!profile.empty()) {
    const std::string exported = rs::ExportRecordset(rs::qlDAO36, path, "t");
    for (int i = 0; i < repeat; ++i) {
      const auto start = Clock::now();
      if (profile == "export") {
        rs::ExportRecordset(rs::qlDAO36, path, "t");
      } else if (profile == "pg-import") {
        const char* port = std::getenv("BENCH_PG_PORT");
        if (port == nullptr) return 1;
        const std::string cs = std::string("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=") +
                               port + ";Database=postgres;Uid=postgres;BoolsAsChar=0;";
        rs::ImportRecordset(rs::qlADO, cs, "bench_profile", exported);
      } else {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        Exec(db, "DELETE FROM toolkit");
        sqlite3_close(db);
        rs::ImportRecordset(rs::qlDAO36, path, "toolkit", exported);
      }
      std::printf("%s %.3f s\n", profile.c_str(), Seconds(start));
    }
    std::filesystem::remove_all(dir);
    return 0;
  }

  const std::string text_file = (dir / "t.txt").string();
  const Measure ours_export = Best(repeat, [] {}, [&] {
    std::string text;
    const Measure m = Timed([&] { text = rs::ExportRecordset(rs::qlDAO36, path, "t"); });
    std::ofstream(text_file, std::ios::binary) << text;
    return m;
  });
  // The text itself is read only where it is needed: a forked phase shares
  // (and counts in its peak) whatever this process holds.
  const auto text_size = static_cast<size_t>(std::filesystem::file_size(text_file));
  auto empty = [&](const char* table) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, std::string("DELETE FROM ") + table);
    sqlite3_close(db);
  };
  const Measure ours_import = Best(repeat, [&] { empty("toolkit"); }, [&] {
    const std::string input = ReadFile(text_file);
    return Timed([&] { rs::ImportRecordset(rs::qlDAO36, path, "toolkit", input); });
  });

  const std::string tsv = (dir / "t.tsv").string();
  Measure cli_export, cli_import;
  for (int i = 0; i < repeat; ++i) {
    const Measure e = TimeCommand("sqlite3 -batch '" + path + "' '.mode tabs' '.output " + tsv +
                                  "' 'SELECT * FROM t;'");
    empty("cli");
    const Measure im = TimeCommand("sqlite3 -batch '" + path + "' '.mode tabs' '.import " + tsv +
                                   " cli'");
    if (e.seconds < 0 || im.seconds < 0) return 1;
    KeepBest(&cli_export, e);
    KeepBest(&cli_import, im);
  }
  const long ours_rows = Count(path, "toolkit");
  const long cli_rows = Count(path, "cli");
  if (ours_export.seconds < 0 || ours_import.seconds < 0 || ours_rows != rows ||
      cli_rows != rows) {
    std::fprintf(stderr, "rows: toolkit %ld, sqlite3 %ld (of %ld)\n", ours_rows, cli_rows, rows);
    return 1;
  }
  std::printf("recordset transfer, %ld rows x 8 columns (%zu bytes of text), best of %d\n", rows,
              text_size, repeat);
  Report("DAO/SQLite export", ours_export, cli_export, "sqlite3", 1.0, /*cpu_counts=*/true);
  Report("DAO/SQLite import", ours_import, cli_import, "sqlite3", 1.2, /*cpu_counts=*/true);

  // PostgreSQL through ODBC against psql's \copy of the same rows.
  const char* port = std::getenv("BENCH_PG_PORT");
  if (port == nullptr) port = std::getenv("QUILLON_TEST_PG_PORT");
  const std::string psql_path = std::filesystem::exists("/usr/lib/postgresql/15/bin/psql")
                                    ? "/usr/lib/postgresql/15/bin/psql"
                                    : "psql";
  if (port == nullptr || std::system((psql_path + " --version >/dev/null 2>&1").c_str()) != 0) {
    std::printf("  (PostgreSQL peer skipped: set BENCH_PG_PORT and install psql)\n");
    std::filesystem::remove_all(dir);
    return 0;
  }
  const std::string psql =
      psql_path + " -q -X -h 127.0.0.1 -p " + port + " -U postgres -d postgres -v ON_ERROR_STOP=1";
  const char* pg_columns =
      "(id integer PRIMARY KEY, name text, amount double precision, day date, flag boolean, "
      "data bytea, note text, qty integer)";
  auto reset = [&](const char* table) {
    std::system((psql + " -c 'DROP TABLE IF EXISTS " + table + "' -c 'CREATE TABLE " + table +
                 " " + pg_columns + "' >/dev/null")
                    .c_str());
  };
  // The same rows as \copy's text form: LF line ends (no value here holds a
  // tab, a line break or a backslash but the blobs' \\x prefix, which \copy
  // reads as bytea's hex form).
  const std::string copy_file = (dir / "t.copy").string();
  {
    const std::string text = ReadFile(text_file);
    std::string copy;
    copy.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      copy += text[i];
    }
    std::ofstream(copy_file, std::ios::binary) << copy << "\n";
  }
  const std::string cs = std::string("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=") +
                         port + ";Database=postgres;Uid=postgres;BoolsAsChar=0;";
  const Measure pg_import = Best(repeat, [&] { reset("bench_toolkit"); }, [&] {
    const std::string input = ReadFile(text_file);
    return Timed([&] { rs::ImportRecordset(rs::qlADO, cs, "bench_toolkit", input); });
  });
  Measure pg_copy;
  for (int i = 0; i < repeat; ++i) {
    reset("bench_copy");
    const Measure c = TimeCommand(psql + " -c \"\\copy bench_copy FROM '" + copy_file + "'\"");
    if (c.seconds < 0) return 1;
    KeepBest(&pg_copy, c);
  }
  FILE* counted = popen((psql + " -tA -c 'SELECT count(*) FROM bench_toolkit'").c_str(), "r");
  long pg_rows = -1;
  if (counted != nullptr) {
    if (std::fscanf(counted, "%ld", &pg_rows) != 1) pg_rows = -1;
    pclose(counted);
  }
  if (pg_import.seconds < 0 || pg_rows != rows) {
    std::fprintf(stderr, "PostgreSQL rows: toolkit %ld (of %ld)\n", pg_rows, rows);
    return 1;
  }
  // Most of both sides' work is in the server: wall time decides here.
  Report("ADO/PostgreSQL import", pg_import, pg_copy, "\\copy", 2.0, /*cpu_counts=*/false);
  std::system((psql + " -c 'DROP TABLE bench_toolkit' -c 'DROP TABLE bench_copy' >/dev/null")
                  .c_str());
  std::filesystem::remove_all(dir);
  return 0;
}
