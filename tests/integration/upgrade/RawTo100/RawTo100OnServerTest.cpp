// The step from a database without version against a real server: the foreign
// server to "lumo" with the delivered scripts, the configuration tables, and
// the visit record copy with its status row, stops and resumes.
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>
#include <sstream>

#include "LumoDatabase.h"
#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CScriptTree;
using vsu_test::CTestDatabase;

namespace {

const char* const kStatusTable =
    "CREATE SCHEMA platform;"
    "CREATE TABLE platform.module_version_status(id serial PRIMARY KEY, module_identity varchar(64) NOT NULL,"
    " version_no varchar(32) NOT NULL, status int NOT NULL DEFAULT 0, schedule int NOT NULL DEFAULT 0,"
    " rate_progress int NOT NULL DEFAULT 0, step_ver varchar(32), install_time timestamp, achieve_time timestamp);"
    "INSERT INTO platform.module_version_status(module_identity, version_no) VALUES ('visitor.s', '1.12.0'),"
    " ('other.module', '1.0.0');";

// The source allows NULLs, which the module's reference database never holds,
// to show that a NULL comes back as NULL.
const char* const kRecordTables =
    "CREATE SCHEMA rt_data; CREATE SCHEMA visitor;"
    "CREATE TABLE rt_data.visitor_record(id integer PRIMARY KEY, object_guid varchar(64), visitor_id integer,"
    " interviewee_id integer, visit_reason integer, visit_reason_detail text, visitor_status integer,"
    " start_valid_time timestamp, end_valid_time timestamp, create_time timestamp, update_time timestamp,"
    " start_time_differ integer, end_time_differ integer, temper varchar(16), temper_status integer,"
    " is_deleted integer);"
    "CREATE TABLE visitor.visitor_record(id serial, object_guid varchar(64), visitor_id integer,"
    " interviewee_id integer, visit_reason integer, visit_reason_detail text, visitor_status integer,"
    " start_valid_time timestamp, end_valid_time timestamp, create_time timestamp, update_time timestamp,"
    " start_time_differ integer, end_time_differ integer, temper varchar(16), temper_status integer,"
    " is_deleted integer NOT NULL DEFAULT 0) PARTITION BY RANGE (create_time);"
    "CREATE TABLE visitor.visitor_record_p2023 PARTITION OF visitor.visitor_record"
    " FOR VALUES FROM ('2023-01-01') TO ('2024-01-01');"
    "CREATE TABLE visitor.visitor_record_default PARTITION OF visitor.visitor_record DEFAULT;";

const char* const kColumns =
    "object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, start_valid_time,"
    " end_valid_time, create_time, update_time, start_time_differ, end_time_differ, temper, temper_status,"
    " is_deleted";

std::string ReadFixture(const std::string& strRelative) {
    std::ifstream file(std::string(VSU_SOURCE_DIR) + "/fixtures/" + strRelative, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Source rows no target row matches column for column (NULL matching NULL), and the other way round.
std::string Mismatches(const CTestDatabase& db) {
    const std::string strCols = kColumns;
    return db.Scalar("SELECT (SELECT count(*) FROM (SELECT " + strCols + " FROM rt_data.visitor_record EXCEPT ALL SELECT " +
                     strCols + " FROM visitor.visitor_record) a) || '/' || (SELECT count(*) FROM (SELECT " + strCols +
                     " FROM visitor.visitor_record EXCEPT ALL SELECT " + strCols + " FROM rt_data.visitor_record) b)");
}

std::string StatusRow(const CTestDatabase& db) {
    return db.Scalar("SELECT status || '|' || schedule || '|' || rate_progress || '|' || coalesce(step_ver, '-')"
                     " FROM platform.module_version_status WHERE module_identity = 'visitor.s'");
}

// A server connection that counts the range queries of the visit record walk.
class CRangeCountingConnect : public db_layer::CConnect {
public:
    int m_nRangeQueries = 0;
    bool Query(const std::string& strSql) override {
        if (strSql.find("WHERE id between") != std::string::npos) ++m_nRangeQueries;
        return CConnect::Query(strSql);
    }
};

struct SRecordsPass {
    explicit SRecordsPass(CTestDatabase& database) : db(database) { EXPECT_TRUE(read.Open(db.ConnInfo())); }
    CTestDatabase& db;
    CRangeCountingConnect read;
    std::unique_ptr<db_layer::CConnect> pWrite = db.Connect();
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
    bool Run() { return step.UpgradeCourse_Records(nCode, strText, &read, pWrite.get(), db_layer::DBParam()); }
};

// The configuration pass's source tables and the tables it writes.
const char* const kConfigTables =
    "CREATE SCHEMA visitor;"
    "CREATE TABLE visitor.visit_reason(id integer PRIMARY KEY, name varchar(128) NOT NULL,"
    " is_deleted integer NOT NULL DEFAULT 0, create_time timestamp, update_time timestamp);"
    "CREATE TABLE visitor.visitor_access_level(id serial PRIMARY KEY, access_level_id integer NOT NULL UNIQUE,"
    " is_default_al integer NOT NULL DEFAULT 0, create_time timestamp, update_time timestamp);"
    "CREATE TABLE visitor.visit_group(id serial PRIMARY KEY, name varchar(128) NOT NULL,"
    " create_time timestamp, update_time timestamp);"
    "CREATE TABLE visitor.visit_group_visitor_rel(id serial PRIMARY KEY, visitor_id integer NOT NULL,"
    " visitor_group_id integer NOT NULL, create_time timestamp, update_time timestamp);"
    "CREATE TABLE public.person_group(id integer PRIMARY KEY, name varchar(128) NOT NULL, type integer,"
    " is_deleted integer);"
    "CREATE TABLE public.person(id integer PRIMARY KEY, person_group_id integer, person_type integer,"
    " is_deleted integer);"
    "CREATE TABLE public.access_group(id integer PRIMARY KEY, is_deleted integer, ag_type integer,"
    " is_default integer);"
    "CREATE TABLE public.access_level_access_group_rel(access_level_id integer, access_group_id integer,"
    " is_deleted integer);"
    "INSERT INTO public.person_group VALUES (2, 'Guests', 2, 0), (7, 'O''Hara''s \\ team', 2, 0),"
    " (8, 'Deleted', 2, 1), (9, 'Staff', 1, 0);"
    "INSERT INTO public.person VALUES (100, 2, 1, 0), (101, 7, 1, 0), (102, 7, 2, 0), (103, 2, 1, 1);"
    "INSERT INTO public.access_group VALUES (1, 0, 1, 1), (2, 0, 1, 0), (3, 0, 2, 0), (4, 1, 1, 0);"
    "INSERT INTO public.access_level_access_group_rel VALUES (10, 1, 0), (11, 1, 0), (11, 2, 0), (12, 2, 0),"
    " (13, 3, 0), (14, 4, 0), (15, 2, 1);";

// What the configuration pass writes, without times and generated ids; "" before any run. The
// foreign server and its user mappings are listed too: no run leaves them behind.
const char* const kConfigWritten =
    "SELECT concat_ws(' / ', (SELECT string_agg(id || ':' || name, '|' ORDER BY id) FROM visitor.visit_reason),"
    " (SELECT string_agg(access_level_id || '=' || is_default_al, ',' ORDER BY access_level_id)"
    "  FROM visitor.visitor_access_level),"
    " (SELECT string_agg(id || ':' || name, '|' ORDER BY id) FROM visitor.visit_group),"
    " (SELECT string_agg(visitor_id || '>' || visitor_group_id, ',' ORDER BY visitor_id, visitor_group_id)"
    "  FROM visitor.visit_group_visitor_rel),"
    " (SELECT string_agg(srvname, ',') FROM pg_foreign_server),"
    " (SELECT string_agg(srvname || ':' || usename, ',') FROM pg_user_mappings),"
    " (SELECT string_agg(nspname, ',') FROM pg_namespace WHERE nspname = 'lumo_import'))";
const char* const kConfigOneRun =
    "1:Business|2:Interview|3:Delivery|4:O'Brien's \\ maintenance|5:Retired reason / 10=1,11=1,12=0 /"
    " 1:Visitors|7:O'Hara's \\ team / 100>1,101>7";
const char* const kDropScriptFixture = "META_INFO/visitor.s/runtime_script/db_init/update_V2.0/FDW_Drop_Tables.sql";

// The configuration pass on two connections of its own, with the delivered foreign-table scripts.
struct SConfigPass {
    SConfigPass(const CTestDatabase& database, const std::string& strUser) : db(database), strRole(strUser) {
        for (const char* szScript : {"FDW_Improt_Tables.sql", "FDW_Drop_Tables.sql"})
            tree.Write("update_V2.0", szScript,
                       ReadFixture(std::string("META_INFO/visitor.s/runtime_script/db_init/update_V2.0/") + szScript));
        Reconnect();
    }
    void Reconnect() {
        const std::string strConnInfo = vsu_test::CTestServer::ConnInfo(db.Name(), strRole);
        for (auto* pConn : {&pRead, &pWrite}) {
            *pConn = std::make_unique<db_layer::CConnect>();
            EXPECT_TRUE((*pConn)->Open(strConnInfo)) << strConnInfo;
        }
        param = pWrite->GetParam();
        // Trust authentication ignores it; the statement must still hold it intact.
        param.password = "it's 'quoted' " + strSecret;
    }
    bool Run() { return step.UpgradeCourse_Config(nCode, strText, pRead.get(), pWrite.get(), param); }
    // A text value read through the writing session.
    std::string Value(const std::string& strExpression) {
        const bool bRead = pWrite->Query("SELECT (" + strExpression + ")::text AS value");
        return bRead && !pWrite->IsEOF() ? pWrite->GetString("value") : "<unread>";
    }

    const CTestDatabase& db;
    std::string strRole;  // "": the server's own superuser
    const std::string strSecret = "pw-" + db.Name();
    CScriptTree tree;
    std::unique_ptr<db_layer::CConnect> pRead, pWrite;
    db_layer::DBParam param;
    CRawTo100 step;
    int nCode = 0;
    std::string strText;
};

// The lines the server wrote to its log from the moment this object was made.
class CServerLogSince {
public:
    CServerLogSince() : m_strPath(vsu_test::CTestServer::LogPath()), m_nStart(Size()) {}
    // Lines that hold every part.
    size_t Count(std::initializer_list<std::string> parts) const {
        std::ifstream file(m_strPath, std::ios::binary);
        file.seekg(m_nStart);
        size_t nLines = 0;
        for (std::string strLine; std::getline(file, strLine);) {
            bool bAll = true;
            for (const std::string& strPart : parts) bAll = bAll && strLine.find(strPart) != std::string::npos;
            nLines += bAll ? 1 : 0;
        }
        return nLines;
    }

private:
    std::streamoff Size() const {
        std::ifstream file(m_strPath, std::ios::binary | std::ios::ate);
        EXPECT_TRUE(file.good()) << "no server log at " << m_strPath;
        return file.good() ? static_cast<std::streamoff>(file.tellg()) : 0;
    }
    std::string m_strPath;
    std::streamoff m_nStart;
};

// A login role of the test server, dropped again at its end: made before the test's
// database, so that the database and what the role owns there are gone by then.
struct STestRole {
    explicit STestRole(const char* szAttributes) {
        EXPECT_TRUE(admin.Open(vsu_test::CTestServer::AdminConnInfo()));
        EXPECT_TRUE(admin.Execute("CREATE ROLE " + strName + " LOGIN " + szAttributes));
    }
    ~STestRole() { EXPECT_TRUE(admin.Execute("DROP ROLE " + strName)); }
    const std::string strName = "vsu_" + std::to_string(std::random_device{}());
    db_layer::CConnect admin;
};

TEST(RawTo100OnServer, ConfigPassImportsFromLumoBuildsItsTablesOnceAndLeavesNoForeignServerOrPasswordBehind) {
    VSU_REQUIRE_SERVER();
    vsu_test::EnsureLumoDatabase();
    CTestDatabase db;
    db.Exec(kConfigTables);
    // An audited site: every statement logged when it starts and with its duration, every transaction
    // sampled, parse trees printed. Only new sessions take these settings.
    for (const char* szSetting : {"log_statement = 'all'", "log_min_duration_statement = 0",
                                  "log_transaction_sample_rate = 1", "debug_print_parse = on"})
        db.Exec("ALTER DATABASE \"" + db.Name() + "\" SET " + szSetting);
    const CServerLogSince log;
    SConfigPass pass(db, "");
    db.Exec("CREATE FUNCTION public.refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
            " RAISE EXCEPTION '% refused', TG_NAME; END $$;"
            "CREATE FUNCTION public.refuse_ddl() RETURNS event_trigger LANGUAGE plpgsql AS $$ BEGIN"
            " RAISE EXCEPTION '% refused', TG_TAG; END $$;");

    // A failure anywhere leaves nothing behind: no imported row, no foreign server or user mapping,
    // no access level or group a rerun would insert twice. The mark table exists after the first run.
    const struct {
        const char* szBreak;       // SQL that makes the pass fail, or a drop script that does
        const char* szDropScript;
        const char* szRepair;
        const char* szError;
    } failures[] = {
        {"", "DROP TABLE visitor.no_such_table;", "", "no_such_table"},
        {"ALTER TABLE visitor.visit_group_visitor_rel ADD CONSTRAINT refused CHECK (visitor_id <> 101);", nullptr,
         "ALTER TABLE visitor.visit_group_visitor_rel DROP CONSTRAINT refused;", "refused"},
        // The foreign server statement itself.
        {"CREATE EVENT TRIGGER no_mapping ON ddl_command_start WHEN TAG IN ('CREATE USER MAPPING')"
         " EXECUTE FUNCTION public.refuse_ddl();",
         nullptr, "DROP EVENT TRIGGER no_mapping;", "CREATE USER MAPPING refused"},
        // The pass's mark, and its COMMIT.
        {"CREATE TRIGGER no_mark BEFORE INSERT ON visitor.module_upgrade_marker FOR EACH ROW"
         " EXECUTE FUNCTION public.refuse();",
         nullptr, "DROP TRIGGER no_mark ON visitor.module_upgrade_marker;", "no_mark refused"},
        {"CREATE CONSTRAINT TRIGGER no_commit AFTER INSERT ON visitor.module_upgrade_marker DEFERRABLE INITIALLY"
         " DEFERRED FOR EACH ROW EXECUTE FUNCTION public.refuse();",
         nullptr, "DROP TRIGGER no_commit ON visitor.module_upgrade_marker;", "no_commit refused"},
        // The session ends in the middle of the pass, as when the host is killed: the server rolls back.
        {"", "SELECT pg_terminate_backend(pg_backend_pid());", "", "connection to the server was lost"},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.szError);
        if (*failure.szBreak) db.Exec(failure.szBreak);
        if (failure.szDropScript) pass.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", failure.szDropScript);
        EXPECT_FALSE(pass.Run());
        EXPECT_NE(pass.strText.find(failure.szError), std::string::npos) << pass.strText;
        EXPECT_EQ(db.Scalar(kConfigWritten), "");
        if (*failure.szRepair) db.Exec(failure.szRepair);
        if (failure.szDropScript)
            pass.tree.Write("update_V2.0", "FDW_Drop_Tables.sql", ReadFixture(kDropScriptFixture));
    }

    pass.Reconnect();
    const std::string strPid = "[" + pass.Value("pg_backend_pid()") + "]";
    ASSERT_TRUE(pass.Run()) << pass.strText;
    const std::string strOneRun = db.Scalar(kConfigWritten);
    // Imported, built, and the foreign server and imported tables gone again.
    EXPECT_EQ(strOneRun, kConfigOneRun);
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_access_level WHERE create_time IS NULL OR"
                        " create_time <> update_time OR abs(extract(epoch FROM now() AT TIME ZONE 'UTC' -"
                        " create_time)) > 300"),
              "0") << "each row carries the current UTC time twice";
    // The session logs as before the pass.
    EXPECT_EQ(pass.Value("SELECT string_agg(setting, '|' ORDER BY name) FROM pg_settings WHERE name IN"
                         " ('log_statement', 'log_min_duration_statement', 'log_min_error_statement',"
                         " 'log_transaction_sample_rate', 'track_activities', 'debug_print_parse')"),
              "on|0|error|all|1|on");
    // Run again, as a host does after a later step failed: the state of one run.
    ASSERT_TRUE(pass.Run()) << pass.strText;
    EXPECT_EQ(db.Scalar(kConfigWritten), strOneRun);
    EXPECT_EQ(db.Scalar("SELECT nextval('visitor.visit_group_id_seq')"), "8");

    // The password is in no line of the server's log, while the statements around it are.
    EXPECT_EQ(log.Count({pass.strSecret}), 0u);
    EXPECT_GE(log.Count({strPid, "statement: SET LOCAL ", "log_statement = 'none'"}), 1u);
    EXPECT_GE(log.Count({strPid, "statement: SELECT SETVAL('visitor.visit_group_id_seq'"}), 1u);
    EXPECT_GE(log.Count({"ERROR:  CREATE USER MAPPING refused"}), 1u);
}

TEST(RawTo100OnServer, ConfigPassRunsForAnySuperuserAndIsNotSentForARoleThatCouldNeitherHideNorUseIt) {
    VSU_REQUIRE_SERVER();
    vsu_test::EnsureLumoDatabase();
    const STestRole superuser("SUPERUSER");
    const STestRole plain("");
    CTestDatabase db;
    db.Exec(std::string(kConfigTables) + "GRANT ALL ON SCHEMA visitor TO " + plain.strName + ";");
    const CServerLogSince log;

    // A role that is no superuser may not create postgres_fdw here: its statement would only fail and
    // be logged whole (log_min_error_statement), so it is not sent.
    SConfigPass refused(db, plain.strName);
    EXPECT_FALSE(refused.Run());
    EXPECT_EQ(refused.nCode, db_layer::SqlStateToCode("42501"));
    EXPECT_NE(refused.strText.find("permission denied for foreign-data wrapper postgres_fdw"), std::string::npos)
        << refused.strText;
    EXPECT_EQ(db.Scalar(kConfigWritten), "");

    // Another superuser than postgres: the mapping is its own.
    SConfigPass pass(db, superuser.strName);
    ASSERT_EQ(pass.param.user, superuser.strName);
    ASSERT_TRUE(pass.Run()) << pass.strText;
    EXPECT_EQ(db.Scalar(kConfigWritten), kConfigOneRun);
    EXPECT_EQ(log.Count({refused.strSecret}), 0u);
}

TEST(RawTo100OnServer, RecordsPassCopiesEveryRowOnceWithQuotesNullsAndTimesIntact) {
    VSU_REQUIRE_SERVER();
    CTestDatabase db;
    db.Exec(std::string(kStatusTable) + kRecordTables);
    // Ids with a gap wider than a range, texts with quotes, backslashes and multi-byte characters,
    // fractional seconds, NULLs in text, time and integer columns.
    db.Exec("INSERT INTO rt_data.visitor_record VALUES"
            " (3, 'g''3', 1, 2, 3, 'O''Reilly said \"back\\slash\" ${x}', 1, '2023-05-01 08:00:00.25',"
            "  '2023-05-01 18:00', '2023-05-01 07:59:59.999999', '2023-05-02', -5, 15, '36''5\\', 0, 0),"
            " (4, 'g4', 5, 6, 1, '', 0, '2024-02-29 00:00', '2024-02-29 23:59', '2024-02-28', '2024-02-28', 0, 0,"
            "  '36.5', 2, 1),"
            " (10004, 'g10004', NULL, 7, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0),"
            " (40000, '\u00e9\u00e8 \u6771\u4eac', 8, 9, 2, 'caf\u00e9', 2, '2023-01-01', '2023-01-02',"
            "  '2023-01-01', '2023-01-01', 1, 1, '37', 1, 0);"
            // A few hundred more, and one at the largest id.
            "INSERT INTO rt_data.visitor_record SELECT g, 'g' || g, g, g, 1, 'd' || g, 0, '2023-03-01', '2023-03-02',"
            " '2023-03-01', '2023-03-01', 0, 0, '36.5', 2, 0 FROM generate_series(100, 399) g;"
            "INSERT INTO rt_data.visitor_record VALUES (2147483647, 'top', 1, 1, 1, 'top', 0, '2023-03-01',"
            " '2023-03-02', '2023-03-01', '2023-03-01', 0, 0, '36.5', 2, 0);");
    SRecordsPass pass(db);

    ASSERT_TRUE(pass.Run()) << pass.strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "305");
    EXPECT_EQ(Mismatches(db), "0/0");
    // The ranges from 3, 10004, 20005 (empty), 30006, 40007 (empty), and the one holding the largest id:
    // the ids between are skipped, not walked.
    EXPECT_EQ(pass.read.m_nRangeQueries, 6);
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record WHERE create_time IS NULL"), "1");
    EXPECT_EQ(StatusRow(db), "1|-1|-1|1.0.0");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM platform.module_version_status WHERE module_identity = 'visitor.s'"
                        " AND install_time IS NOT NULL AND achieve_time >= install_time"),
              "1");
    EXPECT_EQ(db.Scalar("SELECT status || '|' || coalesce(step_ver, '-') FROM platform.module_version_status"
                        " WHERE module_identity = 'other.module'"),
              "0|-") << "another module's row stays untouched";
    EXPECT_EQ(pass.nCode, 0);

    // Finished: a second pass copies nothing.
    ASSERT_TRUE(pass.Run());
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "305");
}

TEST(RawTo100OnServer, StoppedCopyResumesAfterTheLastCommittedRangeAndCopiesEachRowOnce) {
    VSU_REQUIRE_SERVER();
    CTestDatabase db;
    db.Exec(std::string(kStatusTable) + kRecordTables);
    db.Exec("INSERT INTO rt_data.visitor_record SELECT g, 'g' || g, g, g, 1, 'd' || g, 0, '2023-03-01',"
            " '2023-03-02', '2023-03-01', '2023-03-01', 0, 0, '36.5', 2, 0 FROM generate_series(1, 35000) g;"
            "UPDATE rt_data.visitor_record SET object_guid = 'stop here' WHERE id = 25000;"
            // The third range fails on one row, as a stopped host would leave it half way.
            "ALTER TABLE visitor.visitor_record ADD CONSTRAINT not_yet CHECK (object_guid <> 'stop here');");
    SRecordsPass pass(db);
    ASSERT_FALSE(pass.Run());
    EXPECT_EQ(StatusRow(db), "2|0|20003|-");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "20002");

    // The next range's COMMIT is refused by a deferred constraint on one row:
    // the pass fails with the server's error, and that range and its progress
    // are not stored.
    db.Exec("ALTER TABLE visitor.visitor_record DROP CONSTRAINT not_yet;"
            "UPDATE rt_data.visitor_record SET object_guid = 'refused at commit' WHERE id = 32000;"
            "CREATE FUNCTION visitor.refuse_row() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
            " IF NEW.object_guid = 'refused at commit' THEN RAISE EXCEPTION 'visit record % refused', NEW.object_guid"
            " USING ERRCODE = 'check_violation'; END IF; RETURN NULL; END $$;"
            "CREATE CONSTRAINT TRIGGER refuse_row AFTER INSERT ON visitor.visitor_record DEFERRABLE INITIALLY"
            " DEFERRED FOR EACH ROW EXECUTE FUNCTION visitor.refuse_row();");
    SRecordsPass refused(db);
    ASSERT_FALSE(refused.Run());
    EXPECT_EQ(refused.nCode, db_layer::SqlStateToCode("23514"));
    EXPECT_NE(refused.strText.find("visit record refused at commit refused"), std::string::npos) << refused.strText;
    EXPECT_EQ(StatusRow(db), "2|0|30004|-");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "30003");

    db.Exec("DROP TRIGGER refuse_row ON visitor.visitor_record;");
    SRecordsPass resumed(db);
    ASSERT_TRUE(resumed.Run()) << resumed.strText;
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "35000");
    EXPECT_EQ(Mismatches(db), "0/0");
    EXPECT_EQ(StatusRow(db), "1|-1|-1|1.0.0");

    // Copy completed but the finished marker missing: nothing is copied again.
    db.Exec("UPDATE platform.module_version_status SET status = 2, schedule = 1, rate_progress = 0, step_ver = '0.0.0'");
    ASSERT_TRUE(resumed.Run());
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.visitor_record"), "35000");
    EXPECT_EQ(StatusRow(db), "1|-1|-1|1.0.0");
}

TEST(RawTo100OnServer, MissingSourceIsNothingToCopyButABrokenSourceFailsThePass) {
    VSU_REQUIRE_SERVER();
    CTestDatabase withoutSchema;
    withoutSchema.Exec(std::string(kStatusTable) + "CREATE SCHEMA visitor;");
    SRecordsPass noSchema(withoutSchema);
    noSchema.strText = "untouched";
    ASSERT_TRUE(noSchema.Run());
    EXPECT_EQ(StatusRow(withoutSchema), "1|-1|-1|1.0.0");
    EXPECT_EQ(noSchema.strText, "untouched");

    CTestDatabase withoutTable;
    withoutTable.Exec(std::string(kStatusTable) + "CREATE SCHEMA rt_data;");
    SRecordsPass noTable(withoutTable);
    ASSERT_TRUE(noTable.Run());
    EXPECT_EQ(StatusRow(withoutTable), "1|-1|-1|1.0.0");

    CTestDatabase broken;
    broken.Exec(std::string(kStatusTable) + "CREATE SCHEMA rt_data; CREATE TABLE rt_data.visitor_record(guid text);");
    SRecordsPass badTable(broken);
    EXPECT_FALSE(badTable.Run());
    EXPECT_NE(badTable.strText.find("column \"id\" does not exist"), std::string::npos) << badTable.strText;
    EXPECT_EQ(StatusRow(broken), "2|0|0|-");
}

}  // namespace
