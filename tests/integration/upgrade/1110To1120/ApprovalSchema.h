// The tables, sequences and status rows that the approval migration reads and
// writes, as a module database at 1.11.0 holds them, for the server tests.
#pragma once

namespace approval_server_test {

const char* const kSchema = R"SQL(
CREATE SCHEMA platform; CREATE SCHEMA deviceaccess; CREATE SCHEMA visitor; CREATE SCHEMA officeworkflow;
CREATE TABLE platform.module_version_status (module_identity varchar(64), version_no varchar(16), status integer,
    schedule integer, rate_progress integer, step_ver varchar(16), install_time timestamp, achieve_time timestamp);
INSERT INTO platform.module_version_status VALUES ('visitor.s', '1.12.0', 1, -1, -1, '1.11.0', NULL, NULL),
    ('visitor.s', '1.11.0', 1, -1, -1, '1.11.0', NULL, NULL);
CREATE TABLE platform.element (id integer PRIMARY KEY, resource_id integer);
CREATE TABLE platform.resource_related (source_id integer, related_source_id integer);
CREATE TABLE deviceaccess.door (id integer PRIMARY KEY, device_id integer, door_index integer);
CREATE TABLE deviceaccess.card_reader (id integer PRIMARY KEY, device_id integer, card_reader_index integer);
CREATE TABLE visitor.visit_checkout_point (id integer PRIMARY KEY, element_id integer NOT NULL,
    cardreader_id integer NOT NULL DEFAULT 0, type integer NOT NULL DEFAULT 6, create_time timestamp,
    update_time timestamp, is_deleted integer NOT NULL DEFAULT 0);
CREATE SEQUENCE visitor.visit_checkout_point_id_seq START 1000;
CREATE TABLE visitor.self_appoint_setting (user_id integer PRIMARY KEY, appoint_check integer NOT NULL DEFAULT 0,
    update_time timestamp);
CREATE SEQUENCE visitor.visitor_appoint_record_id_seq;
CREATE TABLE visitor.visitor_appoint_record (
    id bigint NOT NULL DEFAULT nextval('visitor.visitor_appoint_record_id_seq'), object_guid varchar(64),
    visitor_id integer, interviewee_id integer, visit_reason_id integer, visit_reason_detail text,
    appointment_status integer NOT NULL DEFAULT 0, start_valid_time timestamp, end_valid_time timestamp,
    start_time_differ integer NOT NULL DEFAULT 0, end_time_differ integer NOT NULL DEFAULT 0,
    create_time timestamp, update_time timestamp, is_deleted integer NOT NULL DEFAULT 0,
    qr_code_valid_num integer NOT NULL DEFAULT 0, visitor_group_id integer, appoint_approval_flow_id varchar(64),
    submit_person_type integer, submit_person_id integer, row_status_implicit_upgrade integer);
CREATE TABLE visitor.visitor_appoint_reveiw_record (id integer NOT NULL, appoint_review_status integer NOT NULL,
    visit_reason_id integer, visit_reason_detail text, visitor_id integer, interviewee_id integer,
    start_valid_time timestamp, end_valid_time timestamp, start_time_differ integer NOT NULL DEFAULT 0,
    end_time_differ integer NOT NULL DEFAULT 0, object_guid varchar(64), visitor_group_id integer,
    create_time timestamp, update_time timestamp, is_deleted integer NOT NULL DEFAULT 0,
    appoint_approval_flow_id varchar(64));
CREATE TABLE officeworkflow.approve_process (id integer PRIMARY KEY, process_num varchar(64), process_type integer,
    applicant_id integer, approve_flow_id integer, next_approve_node_id integer, agnet_user_id integer,
    status integer, abnormal_cause integer DEFAULT 0, is_auto_approval integer DEFAULT 0, create_time timestamp,
    update_time timestamp, row_status_implicit_upgrade integer, related_id_implicit_upgrade integer,
    is_deleted integer NOT NULL DEFAULT 0);
CREATE SEQUENCE officeworkflow.approve_process_id_seq;
CREATE TABLE officeworkflow.approve_process_node (id integer PRIMARY KEY, approve_process_id integer,
    approve_flow_node_id integer, serial_num integer, node_status integer, approver_id integer,
    approval_comment text, approver_type integer, approval_time timestamp, create_time timestamp,
    update_time timestamp, row_status_implicit_upgrade integer, related_id_implicit_upgrade integer,
    is_deleted integer NOT NULL DEFAULT 0);
CREATE SEQUENCE officeworkflow.approve_process_node_id_seq;
)SQL";

}  // namespace approval_server_test
