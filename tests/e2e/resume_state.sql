-- What the upgrade leaves in one database, one line per row, for comparing a run
-- broken off and resumed with an uninterrupted one (tests/e2e/resume_e2e.sh):
--   psql -X -At -v tmap=JSON -f resume_state.sql | LC_ALL=C sort
-- Rows of every table of the schemas visitor and officeworkflow, and the status
-- table, plus the shape (relations, columns, constraints, indexes, foreign servers).
-- Left out, because a rerun may legitimately give other values: time columns, and
-- ids drawn from sequences (a rolled-back insert consumes them). A link through such
-- an id is written as what it links: a template as its type, name and subject (tmap,
-- read from the module database, whose ids the incremental database's configuration
-- refers to), a process and its nodes as the records that carry its flow number.
-- With -v exact=true, for comparing two runs from the same start: ids kept, and
-- times too, except those of the last two days (the runs' own), which read as "recent".
\set ON_ERROR_STOP on
\if :{?exact}
\else
\set exact false
\endif
SET client_min_messages = warning;
SELECT set_config('vsu.tmap', :'tmap', false) \g /dev/null

-- Guids of the appointments and review records that carry a flow number (plpgsql: its
-- statements are planned when called, so these also exist where the columns do not yet).
CREATE FUNCTION pg_temp.records_of(flow text) RETURNS text LANGUAGE plpgsql STABLE AS $$ BEGIN
    RETURN (SELECT coalesce(string_agg(g, ',' ORDER BY g), '<none>') FROM (
        SELECT 'a:' || object_guid FROM visitor.visitor_appoint_record WHERE appoint_approval_flow_id = flow
        UNION ALL SELECT 'r:' || object_guid FROM visitor.visitor_appoint_reveiw_record
                  WHERE appoint_approval_flow_id = flow) s(g));
END $$;
-- A flow number as its date digits and the number of processes that carry it here.
CREATE FUNCTION pg_temp.flow(f text) RETURNS text LANGUAGE plpgsql STABLE AS $$ BEGIN
    RETURN CASE WHEN coalesce(f, '') = '' THEN f
                ELSE left(f, 8) || '+' || (SELECT count(*) FROM officeworkflow.approve_process WHERE process_num = f)
           END;
END $$;
CREATE FUNCTION pg_temp.recent(t text) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT CASE WHEN t >= to_char(now() - interval '2 days', 'YYYY-MM-DD') THEN 'recent' ELSE t END $$;
CREATE FUNCTION pg_temp.template(id integer) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT coalesce(current_setting('vsu.tmap')::json ->> id::text, id::text) $$;

WITH overrides(tab, col, expr) AS (VALUES
    ('platform.module_version_status', 'id', NULL),
    ('officeworkflow.approve_process', 'id', NULL),
    ('officeworkflow.approve_process', 'process_num',
     $$(x.process_num = to_char(x.create_time, 'YYYYMMDD') || x.id) || ' ' || pg_temp.records_of(x.process_num)$$),
    ('officeworkflow.approve_process_node', 'id', NULL),
    ('officeworkflow.approve_process_node', 'approve_process_id',
     $$pg_temp.records_of((SELECT p.process_num FROM officeworkflow.approve_process p WHERE p.id = x.approve_process_id))$$),
    ('visitor.visitor_appoint_record', 'appoint_approval_flow_id', 'pg_temp.flow(x.appoint_approval_flow_id)'),
    ('visitor.visitor_appoint_reveiw_record', 'appoint_approval_flow_id', 'pg_temp.flow(x.appoint_approval_flow_id)'),
    -- Appointments made from review records take drawn ids; their guid is the review's.
    ('visitor.visitor_appoint_record', 'id',
     $$CASE WHEN EXISTS (SELECT 1 FROM visitor.visitor_appoint_reveiw_record r WHERE r.object_guid = x.object_guid)
            THEN NULL ELSE x.id END$$),
    -- Copied visit records take drawn ids; the leftover rows of the module's own table keep theirs.
    ('visitor.visitor_record', 'id',
     'CASE WHEN x.object_guid IN (SELECT object_guid FROM rt_data.visitor_record) THEN NULL ELSE x.id END'),
    ('visitor.visit_checkout_point', 'id', NULL),
    ('visitor.visit_group_visitor_rel', 'id', NULL),
    ('visitor.visitor_access_level', 'id', NULL),
    ('visitor.emailtemplate', 'id', NULL)),
columns AS (
    SELECT c.oid::regclass::text AS tab, a.attnum, a.attname, format_type(a.atttypid, a.atttypmod) AS type
    FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace JOIN pg_attribute a ON a.attrelid = c.oid
    WHERE (n.nspname IN ('visitor', 'officeworkflow') OR c.oid = 'platform.module_version_status'::regclass)
      AND c.relkind IN ('r', 'p') AND NOT c.relispartition AND a.attnum > 0 AND NOT a.attisdropped)
-- The base configuration's template references read as the templates they name (tmap).
SELECT format('SELECT %L || ROW(%s)::text FROM %s x', 'row|' || c.tab || '|',
              string_agg(coalesce(o.expr, CASE WHEN c.tab = 'visitor.visit_basic_config'
                  AND c.attname ~ '(emailtemplate_id|^whats_app_id_for_.*)$' THEN format('pg_temp.template(x.%I)', c.attname)
                  END, CASE WHEN t.is_time THEN format('pg_temp.recent(x.%I::text)', c.attname) END,
                  'x.' || quote_ident(c.attname)), ', ' ORDER BY c.attnum), c.tab)
FROM columns c LEFT JOIN overrides o ON o.tab = c.tab AND o.col = c.attname AND NOT (:exact AND c.attname ~ 'id$')
CROSS JOIN LATERAL (SELECT c.type LIKE 'timestamp%' OR c.type LIKE 'time %' OR c.type = 'date'
                           OR c.attname LIKE '%time') t(is_time)
WHERE (:exact OR NOT t.is_time) AND NOT (o.tab IS NOT NULL AND o.expr IS NULL)
GROUP BY c.tab
\gexec

SELECT 'relation|' || n.nspname || '.' || c.relname || '|' || c.relkind::text
FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast') AND n.nspname NOT LIKE 'pg_temp%'
  AND n.nspname NOT LIKE 'pg_toast_temp%';
SELECT 'column|' || a.attrelid::regclass || '|' || a.attname || '|' || format_type(a.atttypid, a.atttypmod) || '|'
       || coalesce(pg_get_expr(d.adbin, d.adrelid), '')
FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
WHERE n.nspname IN ('visitor', 'officeworkflow', 'platform') AND c.relkind IN ('r', 'p')
  AND a.attnum > 0 AND NOT a.attisdropped;
SELECT 'constraint|' || conrelid::regclass || '|' || conname || '|' || pg_get_constraintdef(oid)
FROM pg_constraint WHERE connamespace::regnamespace::text IN ('visitor', 'officeworkflow', 'platform');
SELECT 'index|' || schemaname || '.' || tablename || '|' || indexdef FROM pg_indexes
WHERE schemaname IN ('visitor', 'officeworkflow', 'platform');
SELECT 'foreign server|' || srvname FROM pg_foreign_server;
