// SPDX-License-Identifier: Apache-2.0
// SQLite filling and querying an in-memory database through memmgr_sqlite.h.
#include "adapter_test.h"
#include "memmgr_sqlite.h"

namespace {

char const kFill[] =
    "CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)"
    "  INSERT INTO t SELECT i, printf('row %05d ', i) || hex(randomblob(40)) FROM n;"
    "CREATE INDEX tv ON t(v);";

// Installs the adapter, fills and queries a database, and shuts SQLite down (which releases
// everything it holds); the last status, SQLITE_ROW with the count, when all went through.
int FillAndQuery(int64_t& held, int64_t& rows) {
  sqlite3* db = nullptr;
  sqlite3_stmt* query = nullptr;
  int status = memmgr_sqlite_install();
  if (status == SQLITE_OK) status = sqlite3_open(":memory:", &db);
  if (status == SQLITE_OK) status = sqlite3_exec(db, kFill, nullptr, nullptr, nullptr);
  if (status == SQLITE_OK) {
    status = sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE v >= 'row 01001'", -1, &query,
                                nullptr);
  }
  if (status == SQLITE_OK && (status = sqlite3_step(query)) == SQLITE_ROW) {
    rows = sqlite3_column_int64(query, 0);
    held = GTMC_GetTotalUsedMemory();
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  sqlite3_shutdown();
  return status;
}

TEST_F(AdapterTest, SQLiteWorksWithinTheBudgetAndReportsNoMemoryWithout) {
  int64_t rows = 0;
  ExpectBudgeted([&](int64_t& held) { return FillAndQuery(held, rows); }, SQLITE_ROW, SQLITE_NOMEM);
  EXPECT_EQ(rows, 4000);
}

}  // namespace
