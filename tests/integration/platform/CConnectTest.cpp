// CConnect against the throwaway server: statement texts and results, the
// cursor, transactions, error codes and texts, value reads, connection state.
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

}  // namespace

TEST(PlatformConnect, ScriptsRunWholeQueryReadsTheLastResultAndUnreadResultsNeverBlock) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    auto conn = db.Connect();
    ASSERT_TRUE(
        conn->Execute("CREATE TABLE t (id int PRIMARY KEY, name text);\n"
                      "INSERT INTO t VALUES (1, 'a');\n"
                      "-- a comment between statements\n"
                      "INSERT INTO t VALUES (2, 'b'), (3, 'c');"))
        << LastText(*conn);
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "3");
    ASSERT_TRUE(conn->Query("SELECT 'first' AS name; SELECT id, name FROM t WHERE id >= 2 ORDER BY id"));
    ASSERT_FALSE(conn->IsEOF());
    EXPECT_EQ(conn->GetInt("id"), 2);
    EXPECT_EQ(conn->GetString("name"), "b");
    conn->MoveNext();
    ASSERT_FALSE(conn->IsEOF());
    EXPECT_EQ(conn->GetInt(0), 3);
    EXPECT_FALSE(conn->MoveNext());
    EXPECT_TRUE(conn->IsEOF());
    // The last statement decides the cursor, also when it returns no rows.
    EXPECT_TRUE(conn->Query("SELECT id FROM t; UPDATE t SET name = 'z' WHERE id = 1") && conn->IsEOF());
    EXPECT_TRUE(conn->Query("SELECT id FROM t WHERE id > 100") && conn->IsEOF());
    // Execute reads no rows: nothing of its result stays as a cursor.
    EXPECT_TRUE(conn->Execute("SELECT id FROM t") && conn->IsEOF());
    // A text of comments only is a valid, empty script; an empty text is a caller error.
    EXPECT_TRUE(conn->Execute("-- nothing to do\n  \n/* really nothing */"));
    EXPECT_FALSE(conn->Execute(""));
    EXPECT_EQ(LastCode(*conn), ErrorCode::kEmptyStatement);
    // Results nobody reads never block the next statement.
    ASSERT_TRUE(conn->Execute("CREATE TABLE big AS SELECT g AS id FROM generate_series(1, 50000) g"));
    ASSERT_TRUE(conn->Query("SELECT id FROM big ORDER BY id; SELECT id FROM big ORDER BY id DESC"));
    EXPECT_EQ(conn->GetInt("id"), 50000);
    ASSERT_TRUE(conn->Execute("INSERT INTO big VALUES (0)")) << LastText(*conn);
    ASSERT_TRUE(conn->Query("SELECT min(id) AS m FROM big"));
    EXPECT_EQ(conn->GetInt("m"), 0);
}

TEST(PlatformConnect, TransactionsTakeEffectWholeOrNotAtAllAndAFailedCommitFails) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec("CREATE TABLE t (id int PRIMARY KEY)");
    auto conn = db.Connect();
    ASSERT_TRUE(conn->BeginTransaction());
    ASSERT_TRUE(conn->Execute("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0") << "visible before commit";
    EXPECT_TRUE(conn->Rollback());
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0");
    ASSERT_TRUE(conn->BeginTransaction());
    ASSERT_TRUE(conn->Execute("INSERT INTO t VALUES (1)"));
    ASSERT_TRUE(conn->Execute("INSERT INTO t VALUES (2)"));
    EXPECT_TRUE(conn->Commit()) << LastText(*conn);
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "2");
    // Commit and Rollback without a transaction are refused, not silently accepted.
    EXPECT_FALSE(conn->Commit());
    EXPECT_EQ(LastCode(*conn), ErrorCode::kTransactionState);
    EXPECT_FALSE(conn->Rollback());
    EXPECT_EQ(LastCode(*conn), ErrorCode::kTransactionState);
    ASSERT_TRUE(conn->BeginTransaction());
    EXPECT_FALSE(conn->BeginTransaction());
    EXPECT_EQ(LastCode(*conn), ErrorCode::kTransactionState);
    EXPECT_TRUE(conn->Rollback());
    db.Exec("DELETE FROM t");
    // A failed transaction: its COMMIT is answered with ROLLBACK and must fail.
    ASSERT_TRUE(conn->BeginTransaction());
    ASSERT_TRUE(conn->Execute("INSERT INTO t VALUES (1)"));
    EXPECT_FALSE(conn->Execute("INSERT INTO t VALUES (1)"));
    EXPECT_FALSE(conn->Execute("INSERT INTO t VALUES (2)"));  // the server refuses in a failed transaction
    EXPECT_EQ(LastCode(*conn), db_layer::SqlStateToCode("25P02"));
    std::string strText;
    EXPECT_FALSE(conn->Commit());
    EXPECT_EQ(LastCode(*conn, &strText), ErrorCode::kTransactionState);
    EXPECT_NE(strText.find("rolled back"), std::string::npos) << strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0");
    // The connection is usable again afterwards.
    EXPECT_TRUE(conn->Execute("INSERT INTO t VALUES (3)"));
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "1");
}

TEST(PlatformConnect, ServerErrorsCarrySqlStateCodeAndTextAndStayUntilTheNextFailure) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    auto conn = db.Connect();
    std::string strText;
    EXPECT_FALSE(conn->Execute("SELECT * FROM x"));
    EXPECT_EQ(LastCode(*conn, &strText), db_layer::SqlStateToCode("42P01"));
    EXPECT_EQ(strText, "relation \"x\" does not exist (SQLSTATE 42P01)");
    // A success does not clear the last failure.
    ASSERT_TRUE(conn->Execute("CREATE TABLE t (id int PRIMARY KEY)") && conn->Query("SELECT 1 AS one"));
    EXPECT_EQ(LastCode(*conn, &strText), db_layer::SqlStateToCode("42P01"));
    EXPECT_EQ(strText, "relation \"x\" does not exist (SQLSTATE 42P01)");
    // Detail and the line within a script; statements after the failing one do
    // not run, and the text ran as one implicit transaction.
    EXPECT_FALSE(conn->Query("INSERT INTO t VALUES (1);\nINSERT INTO t VALUES (1);\nINSERT INTO t VALUES (2);"));
    EXPECT_EQ(LastCode(*conn, &strText), db_layer::SqlStateToCode("23505"));
    EXPECT_NE(strText.find("constraint \"t_pkey\"; detail: Key (id)=(1) already exists."), std::string::npos)
        << strText;
    EXPECT_NE(strText.find("(SQLSTATE 23505)"), std::string::npos) << strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0");
    EXPECT_FALSE(conn->Execute("SELECT 1;\nSELECT 2;\nSELECT nope FROM t;"));
    EXPECT_NE(LastText(*conn).find("at line 3"), std::string::npos) << LastText(*conn);
    // An error raised inside a DO block names its context.
    EXPECT_FALSE(conn->Execute("DO $$ BEGIN RAISE EXCEPTION 'stop here' USING HINT = 'fix it'; END $$"));
    EXPECT_EQ(LastCode(*conn, &strText), db_layer::SqlStateToCode("P0001"));
    EXPECT_NE(strText.find("stop here; hint: fix it; context: PL/pgSQL function"), std::string::npos) << strText;
}

TEST(PlatformConnect, NullEmptyAndSpecialTextsReadBackExactly) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    // The database's own default must not matter: every connection turns it on.
    db.Exec("ALTER DATABASE \"" + db.Name() + "\" SET standard_conforming_strings = off");
    auto conn = db.Connect();
    ASSERT_TRUE(conn->Query(
        "SELECT current_setting('standard_conforming_strings') AS s, current_setting('client_encoding') e"));
    EXPECT_EQ(conn->GetString("s") + " " + conn->GetString("e"), "on UTF8");
    const std::string strValue = "it's a \\ back\\\\slash \\n 'quoted' Zo\xC3\xAB \xE6\xBC\xA2";
    ASSERT_TRUE(conn->Execute("CREATE TABLE t (id int, v text); INSERT INTO t VALUES (1, '" +
                              Qarn::Base::StringUtil::StringReplace(strValue, "'", "''") + "'), (2, ''), (3, NULL)"))
        << LastText(*conn);
    ASSERT_TRUE(conn->Query("SELECT id, v FROM t ORDER BY id"));
    const std::pair<std::string, bool> rows[] = {{strValue, false}, {"", false}, {"", true}};
    for (const auto& [strExpected, bNull] : rows) {
        EXPECT_EQ(conn->GetString("v"), strExpected);
        EXPECT_EQ(conn->IsNull("v"), bNull);
        conn->MoveNext();
    }
    EXPECT_TRUE(conn->Execute("SELECT 1")) << "reading NULL is not a failure";
}

TEST(PlatformConnect, UnreadableValuesReadAsZeroAndRefuseTheNextStatementOnce) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec("CREATE TABLE t (id int)");
    auto conn = db.Connect();
    std::string strText;
    ASSERT_TRUE(conn->Query("SELECT max(id) AS m, -2147483648::bigint AS lo, 2147483647::bigint AS hi FROM t"));
    EXPECT_EQ(conn->GetInt("m"), 0);  // range query on an empty table
    EXPECT_EQ(conn->GetInt("lo"), -2147483648LL);
    EXPECT_EQ(conn->GetInt("hi"), 2147483647);
    EXPECT_TRUE(conn->Execute("SELECT 1"));
    const std::pair<const char*, const char*> cases[] = {{"2147483648::bigint", "2147483648"},
                                                         {"-2147483649::bigint", "-2147483649"},
                                                         {"'12abc'::text", "12abc"},
                                                         {"1.5::numeric", "1.5"},
                                                         {"true", "t"}};
    for (const auto& [szSelect, szValue] : cases) {
        SCOPED_TRACE(szSelect);
        ASSERT_TRUE(conn->Query(std::string("SELECT ") + szSelect + " AS big"));
        EXPECT_EQ(conn->GetInt("big"), 0);
        EXPECT_EQ(LastCode(*conn, &strText), ErrorCode::kUnreadableValue);
        EXPECT_NE(strText.find("\"big\""), std::string::npos) << strText;
        EXPECT_NE(strText.find(std::string("'") + szValue + "'"), std::string::npos) << strText;
        EXPECT_FALSE(conn->Execute("INSERT INTO t VALUES (1)"));
        EXPECT_EQ(LastCode(*conn), ErrorCode::kUnreadableValue);
        EXPECT_EQ(db.Scalar("SELECT count(*) FROM t"), "0") << "the refused statement ran";
        EXPECT_TRUE(conn->Execute("SELECT 1")) << "the refusal lasts one statement";
    }
    // An unknown column, or a read without a current row, is refused the same way.
    ASSERT_TRUE(conn->Query("SELECT 5 AS id"));
    EXPECT_EQ(conn->GetString("missing"), "");
    EXPECT_EQ(LastCode(*conn, &strText), ErrorCode::kUnreadableValue);
    EXPECT_NE(strText.find("\"missing\""), std::string::npos) << strText;
    EXPECT_FALSE(conn->Query("SELECT 1 AS one"));
    ASSERT_TRUE(conn->Query("SELECT id FROM t"));
    EXPECT_EQ(conn->GetInt("id"), 0);
    EXPECT_EQ(LastCode(*conn), ErrorCode::kUnreadableValue);
    EXPECT_FALSE(conn->Execute("SELECT 1"));
    ASSERT_TRUE(conn->Query("SELECT 1 AS one"));
    EXPECT_EQ(conn->GetInt(3), 0);
    EXPECT_FALSE(conn->Execute("SELECT 1"));
    EXPECT_TRUE(conn->Execute("SELECT 1"));
}

TEST(PlatformConnect, ParametersClosedAndLostConnectionsAreReported) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    std::string strText;
    CConnect conn;
    EXPECT_FALSE(conn.IsOpen() || conn.Execute("SELECT 1"));
    EXPECT_EQ(LastCode(conn), ErrorCode::kNoConnection);
    ASSERT_TRUE(conn.Open(db.ConnInfo() + " password='pw 1'")) << LastText(conn);
    EXPECT_TRUE(conn.IsOpen());
    ASSERT_TRUE(
        conn.Query("SELECT current_setting('port')::int AS port, current_database() AS db, current_user AS u, "
                   "current_setting('unix_socket_directories') AS sock"));
    const db_layer::DBParam param = conn.GetParam();
    EXPECT_EQ(param.port, conn.GetInt("port"));
    EXPECT_EQ(param.dbname, db.Name());
    EXPECT_EQ(param.user, "postgres");
    EXPECT_EQ(param.password, "pw 1");
    EXPECT_EQ(param.host, conn.GetString("sock"));
    conn.Close();
    EXPECT_FALSE(conn.IsOpen() || conn.Query("SELECT 1"));
    EXPECT_EQ(LastCode(conn), ErrorCode::kNoConnection);
    CConnect refused;
    EXPECT_FALSE(refused.Open(db.ConnInfo() + " dbname=no_such_database_vsu"));
    EXPECT_EQ(LastCode(refused, &strText), ErrorCode::kNoConnection);
    EXPECT_NE(strText.find("no_such_database_vsu"), std::string::npos) << strText;
    auto lost = db.Connect();
    EXPECT_FALSE(lost->Execute("SELECT pg_terminate_backend(pg_backend_pid())"));
    EXPECT_EQ(LastCode(*lost, &strText), ErrorCode::kConnectionLost);
    EXPECT_NE(strText.find("SQLSTATE 57P01"), std::string::npos) << strText;
    EXPECT_FALSE(lost->IsOpen());
    EXPECT_FALSE(lost->Query("SELECT 1"));
    EXPECT_EQ(LastCode(*lost), ErrorCode::kConnectionLost);
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
