// CConnect against the throwaway server: statement texts and results, the
// cursor, transactions, error codes and texts, value reads and a lost connection
// (one table of calls on one connection), and the batch. The connection's
// parameters reach the foreign server of the first step, whose state tests and
// chain cases use them; a connection that cannot open is the host's exit 2.
#include <gtest/gtest.h>

#include "Qarn/Base/StringUtil.h"
#include "TestServer.h"
#include "db_layer/CConnect.h"
#include "db_layer/ErrorCodes.h"

using db_layer::CConnect;
namespace ErrorCode = db_layer::ErrorCode;

namespace {

int LastCode(CConnect& conn, std::string* pText = nullptr) {
    std::string strText;
    return conn.GetLastError(pText != nullptr ? *pText : strText);
}

std::string LastText(CConnect& conn) {
    std::string strText;
    LastCode(conn, &strText);
    return strText;
}

// The batch's contract kept one statement at a time: what ExecuteBatch must match.
struct COneByOne : CConnect {
    std::size_t ExecuteBatch(const std::vector<std::string>& vecSql, const BatchReader& fnReader) override {
        return ExecuteOneByOne(vecSql, fnReader);
    }
};

// kQueryInts: a query whose column v is read with GetInt.
enum ECall { kExec, kQuery, kQueryInts, kBegin, kCommit, kRollback };

// One call and what must follow it: the result; the cursor's column v row by row ("<NULL>" for NULL);
// the last error's code and a part of its text; the rows of t that another session sees.
struct SStep {
    SStep(ECall eCall, std::string strSql = "", bool bOk = true, const char* szRows = nullptr, int nCode = 0,
          std::string strText = "", const char* szCount = nullptr)
        : eCall(eCall),
          strSql(std::move(strSql)),
          bOk(bOk),
          szRows(szRows),
          nCode(nCode),
          strText(std::move(strText)),
          szCount(szCount) {}
    ECall eCall;
    std::string strSql;
    bool bOk;
    const char* szRows;  // nullptr: not read
    int nCode;           // 0: not checked
    std::string strText;
    const char* szCount;  // nullptr: not counted
};

void RunSteps(const vsu_test::CTestDatabase& db, CConnect& conn, const std::vector<SStep>& steps) {
    for (const SStep& step : steps) {
        SCOPED_TRACE(std::to_string(&step - steps.data()) + ": " + step.strSql);
        const bool bOk = step.eCall == kExec                                ? conn.Execute(step.strSql)
                         : step.eCall == kQuery || step.eCall == kQueryInts ? conn.Query(step.strSql)
                         : step.eCall == kBegin                             ? conn.BeginTransaction()
                         : step.eCall == kCommit                            ? conn.Commit()
                                                                            : conn.Rollback();
        EXPECT_EQ(bOk, step.bOk) << LastText(conn);
        if (step.szRows != nullptr) {
            std::string strRows;
            for (bool bFirst = true; !conn.IsEOF(); conn.MoveNext(), bFirst = false) {
                strRows += bFirst ? "" : ",";
                strRows += step.eCall == kQueryInts ? std::to_string(conn.GetInt("v"))
                           : conn.IsNull("v")       ? "<NULL>"
                                                    : conn.GetString("v");
            }
            EXPECT_EQ(strRows, step.szRows);
        }
        std::string strText;
        EXPECT_EQ(LastCode(conn, &strText) == step.nCode || step.nCode == 0, true) << LastCode(conn) << " " << strText;
        EXPECT_NE(strText.find(step.strText), std::string::npos) << strText;
        if (step.szCount != nullptr) {
            EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), step.szCount);
        }
    }
}

}  // namespace

TEST(PlatformConnect, StatementsTransactionsAndServerErrorsGiveTheirResultCodeAndText) {
    VSU_REQUIRE_SERVER();
    using db_layer::SqlStateToCode;
    using ErrorCode::kTransactionState;
    vsu_test::CTestDatabase db;
    // The database's own default must not matter: every connection turns it on.
    db.Exec("ALTER DATABASE \"" + db.Name() + "\" SET standard_conforming_strings = off");
    auto conn = db.Connect();
    const std::string strValue = "it's a \\ back\\\\slash \\n 'quoted' Zo\xC3\xAB \xE6\xBC\xA2";
    const std::string strValueRows = strValue + ",,<NULL>";  // the steps keep its c_str(): it must outlive them
    std::vector<SStep> steps = {
        // Scripts run whole; a query's cursor is its last result, also when that has no rows.
        {kExec,
         "CREATE TABLE t (id int PRIMARY KEY, v text);\nINSERT INTO t VALUES (1, 'a');\n"
         "-- a comment between statements\nINSERT INTO t VALUES (2, 'b'), (3, 'c');",
         true, nullptr, 0, "", "3"},
        {kQuery, "SELECT 'first' AS v; SELECT v, id FROM t WHERE id >= 2 ORDER BY id", true, "b,c"},
        {kQuery, "SELECT v FROM t; UPDATE t SET v = 'z' WHERE id = 1", true, ""},
        {kQuery, "SELECT v FROM t WHERE id > 100", true, ""},
        {kExec, "SELECT v FROM t", true, ""},  // Execute reads no rows: nothing stays as a cursor
        // A text of comments only is a valid, empty script; an empty text is a caller error.
        {kExec, "-- nothing to do\n  \n/* really nothing */"},
        {kExec, "", false, nullptr, ErrorCode::kEmptyStatement},
        // Results nobody reads never block the next statement.
        {kExec, "CREATE TABLE big AS SELECT g AS id FROM generate_series(1, 50000) g"},
        {kQuery, "SELECT id FROM big ORDER BY id; SELECT id FROM big ORDER BY id DESC"},
        {kExec, "INSERT INTO big VALUES (0)"},
        {kQuery, "SELECT min(id) AS v FROM big", true, "0"},
        // Texts read back exactly, whatever the database's defaults.
        {kQuery, "SELECT current_setting('standard_conforming_strings') || current_setting('client_encoding') AS v",
         true, "onUTF8"},
        {kExec, "CREATE TABLE s (id int, v text); INSERT INTO s VALUES (1, '" +
                    Qarn::Base::StringUtil::StringReplace(strValue, "'", "''") + "'), (2, ''), (3, NULL)"},
        {kQuery, "SELECT v FROM s ORDER BY id", true, strValueRows.c_str()},
        {kExec, "SELECT 1"},  // reading NULL is not a failure
        // Transactions take effect whole or not at all.
        {kExec, "DELETE FROM t", true, nullptr, 0, "", "0"},
        {kBegin, ""},
        {kExec, "INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)", true, nullptr, 0, "", "0"},
        {kRollback, "", true, nullptr, 0, "", "0"},
        {kBegin, ""},
        {kExec, "INSERT INTO t VALUES (1)"},
        {kExec, "INSERT INTO t VALUES (2)"},
        {kCommit, "", true, nullptr, 0, "", "2"},
        // Commit, Rollback and Begin out of place are refused, not silently accepted.
        {kCommit, "", false, nullptr, kTransactionState},
        {kRollback, "", false, nullptr, kTransactionState},
        {kBegin, ""},
        {kBegin, "", false, nullptr, kTransactionState},
        {kRollback, ""},
        {kExec, "DELETE FROM t", true, nullptr, 0, "", "0"},
        // A failed transaction: the server refuses what follows, and its COMMIT (answered with ROLLBACK) fails.
        {kBegin, ""},
        {kExec, "INSERT INTO t VALUES (1)"},
        {kExec, "INSERT INTO t VALUES (1)", false},
        {kExec, "INSERT INTO t VALUES (2)", false, nullptr, SqlStateToCode("25P02")},
        {kCommit, "", false, nullptr, kTransactionState, "rolled back", "0"},
        {kExec, "INSERT INTO t VALUES (3)", true, nullptr, 0, "", "1"},
        // Server errors carry their SQLSTATE as code and text, and stay until the next failure.
        {kExec, "SELECT * FROM x", false, nullptr, SqlStateToCode("42P01"),
         "relation \"x\" does not exist (SQLSTATE 42P01)"},
        {kQuery, "SELECT 1 AS v", true, "1", SqlStateToCode("42P01"), "relation \"x\" does not exist"},
        // Detail and the line within a script; a script fails whole, as one implicit transaction.
        {kQuery, "INSERT INTO t VALUES (1);\nINSERT INTO t VALUES (3);\nINSERT INTO t VALUES (2);", false, nullptr,
         SqlStateToCode("23505"), "constraint \"t_pkey\"; detail: Key (id)=(3) already exists.", "1"},
        {kExec, "SELECT 1;\nSELECT 2;\nSELECT nope FROM t;", false, nullptr, SqlStateToCode("42703"), "at line 3"},
        // An error raised inside a DO block names its context.
        {kExec, "DO $$ BEGIN RAISE EXCEPTION 'stop here' USING HINT = 'fix it'; END $$", false, nullptr,
         SqlStateToCode("P0001"), "stop here; hint: fix it; context: PL/pgSQL function"},
        // A value that cannot be read as asked reads as 0 and refuses the next statement, once; NULL reads as 0.
        {kQueryInts, "SELECT max(id) AS v FROM t WHERE false UNION ALL SELECT -2147483648 UNION ALL SELECT 2147483647",
         true, "0,-2147483648,2147483647"},
        {kExec, "SELECT 1"},
        {kQueryInts, "SELECT 5 AS id", true, "0", ErrorCode::kUnreadableValue, "\"v\": the result has no such column"},
        {kQuery, "SELECT 1 AS v", false, nullptr, ErrorCode::kUnreadableValue},
    };
    for (const auto& [szSelect, szShown] : {std::pair{"2147483648", "'2147483648'"},
                                            {"-2147483649", "'-2147483649'"},
                                            {"'12abc'::text", "'12abc'"},
                                            {"1.5", "'1.5'"},
                                            {"true", "'t'"}}) {
        steps.insert(steps.end(),
                     {{kQueryInts, std::string("SELECT ") + szSelect + " AS v", true, "0", ErrorCode::kUnreadableValue,
                       std::string("\"v\" as a 32-bit integer: ") + szShown},
                      {kExec, "INSERT INTO t VALUES (7)", false, nullptr, ErrorCode::kUnreadableValue, "", "1"},
                      {kExec, "SELECT 1"}});
    }
    RunSteps(db, *conn, steps);
    // A read without a current row, or of a position the result lacks, refuses the next statement too.
    for (const auto& [szSql, nColumn] : {std::pair{"SELECT 1 AS v WHERE false", 0}, {"SELECT 1 AS v", 3}}) {
        ASSERT_TRUE(conn->Query(szSql));
        EXPECT_EQ(conn->GetInt(nColumn), 0);
        EXPECT_FALSE(conn->Execute("SELECT 1"));
        EXPECT_TRUE(conn->Execute("SELECT 1"));
    }
    // A lost connection stays lost.
    RunSteps(db, *conn,
             {{kExec, "SELECT pg_terminate_backend(pg_backend_pid())", false, nullptr, ErrorCode::kConnectionLost,
               "SQLSTATE 57P01"},
              {kQuery, "SELECT 1", false, nullptr, ErrorCode::kConnectionLost}});
    EXPECT_FALSE(conn->IsOpen());
}

TEST(PlatformConnect, BatchFailsAtTheStatementOneByOneWouldWithItsErrorAndNothingAfterItTakesEffect) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec("CREATE TABLE t (id int PRIMARY KEY); CREATE SEQUENCE s");
    const std::string strDraw = "SELECT nextval('s') AS n", strOne = "INSERT INTO t VALUES (1)";
    const struct {
        const char* szCase;
        std::vector<std::string> vecSql;
        std::size_t nFailed;
    } cases[] = {{"first", {"SELECT * FROM nope", strDraw, strOne}, 0},
                 {"middle", {strOne, strDraw, strOne, strDraw, "INSERT INTO t VALUES (2)"}, 2},
                 {"last, on its second line", {strOne, strDraw, "SELECT 1,\n nope"}, 2},
                 {"empty text", {strDraw, ""}, 1},
                 {"unreadable value refuses the next", {"SELECT 2147483648::bigint", strOne}, 1},
                 {"connection lost", {strDraw, "SELECT pg_terminate_backend(pg_backend_pid())", strDraw}, 1},
                 {"none", {strDraw, strOne, strDraw}, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        auto run = [&](CConnect& conn) {
            db.Exec("ALTER SEQUENCE s RESTART");
            EXPECT_TRUE(conn.Open(db.ConnInfo()) && conn.BeginTransaction());
            std::vector<int> vecRead;
            const std::size_t nDone = conn.ExecuteBatch(c.vecSql, [&](std::size_t i, CConnect& rows) {
                if (!rows.IsEOF()) vecRead.push_back(static_cast<int>(i) * 1000 + rows.GetInt(0));
            });
            const std::string strError = std::to_string(LastCode(conn)) + " " + LastText(conn);
            const bool bRolledBack = conn.Rollback();
            return std::make_tuple(
                nDone, strError, vecRead, bRolledBack, conn.Execute("SELECT 1"),
                db.Scalar("SELECT count(*) || (SELECT ' ' || last_value || is_called FROM s) FROM t"));
        };
        CConnect batch;
        COneByOne oneByOne;
        const auto expected = run(oneByOne);
        EXPECT_EQ(std::get<0>(expected), c.nFailed);
        EXPECT_EQ(run(batch), expected);
    }
    // Outside a transaction block the batch is one implicit transaction; a long one cannot jam the socket.
    auto conn = db.Connect();
    std::vector<std::string> vecMany;
    for (int i = 0; i < 20000; ++i) vecMany.push_back("INSERT INTO t VALUES (" + std::to_string(i) + ") --" + strDraw);
    vecMany.push_back(strOne);
    EXPECT_EQ(conn->ExecuteBatch(vecMany, {}), vecMany.size() - 1) << LastText(*conn);
    EXPECT_EQ(LastCode(*conn), db_layer::SqlStateToCode("23505"));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0");
}
