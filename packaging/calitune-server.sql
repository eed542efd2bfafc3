-- Calitune's history tables and the role its stations log in under.
-- Run as the database's owner with the right to create roles. Running it
-- again changes nothing; a newer Calitune's file brings the tables up to date:
--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/calitune/calitune-server.sql
BEGIN;
CREATE SCHEMA IF NOT EXISTS calitune;
CREATE TABLE IF NOT EXISTS calitune.schema_version (version integer NOT NULL);
CREATE TABLE IF NOT EXISTS calitune.records (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  station text NOT NULL CHECK (station <> ''),
  local_id bigint NOT NULL CHECK (local_id > 0),
  uid text NOT NULL CHECK (uid <> ''),
  time timestamptz NOT NULL,
  source text NOT NULL CHECK (source IN ('window', 'cli')),
  port text NOT NULL,
  device text NOT NULL,
  radio text,
  action text NOT NULL CHECK (action IN ('read', 'write', 'restore', 'backup')),
  outcome text NOT NULL CHECK (outcome IN ('done', 'port', 'no-reply', 'other-reply', 'link-lost', 'verify', 'other-radio', 'interrupted', 'file', 'unfinished')),
  block_before bytea CHECK (octet_length(block_before) = 16),
  block_sent bytea CHECK (octet_length(block_sent) = 16),
  block_after bytea CHECK (octet_length(block_after) = 16),
  verified boolean,
  forced boolean NOT NULL DEFAULT false,
  source_file text,
  source_sha256 text CHECK (source_sha256 ~* '^[0-9a-f]{64}$'),
  source_record text,
  uploaded_at timestamptz NOT NULL DEFAULT now(),
  UNIQUE (station, local_id));
CREATE INDEX IF NOT EXISTS records_time ON calitune.records (time DESC);
CREATE INDEX IF NOT EXISTS records_radio ON calitune.records (radio, time DESC);
CREATE INDEX IF NOT EXISTS records_station ON calitune.records (station, time DESC);
CREATE INDEX IF NOT EXISTS records_port ON calitune.records (port, time DESC);
CREATE INDEX IF NOT EXISTS records_device ON calitune.records (device, time DESC);
CREATE OR REPLACE FUNCTION calitune.keep_record() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE kept calitune.records := NEW;
BEGIN
  IF OLD.outcome <> 'unfinished' THEN
    RAISE EXCEPTION 'record %:% is complete and is never rewritten', OLD.station, OLD.local_id;
  END IF;
  kept.outcome := OLD.outcome;
  kept.block_after := OLD.block_after;
  kept.verified := OLD.verified;
  kept.forced := OLD.forced;
  IF OLD.block_before IS NULL THEN kept.block_before := NULL; END IF;
  IF OLD.block_sent IS NULL THEN kept.block_sent := NULL; END IF;
  IF kept IS DISTINCT FROM OLD THEN
    RAISE EXCEPTION 'record %:% may only be completed', OLD.station, OLD.local_id;
  END IF;
  RETURN NEW;
END $$;
DROP TRIGGER IF EXISTS keep_record ON calitune.records;
CREATE TRIGGER keep_record BEFORE UPDATE ON calitune.records FOR EACH ROW EXECUTE FUNCTION calitune.keep_record();
INSERT INTO calitune.schema_version (version) SELECT 1 WHERE NOT EXISTS (SELECT FROM calitune.schema_version WHERE version = 1);
CREATE TABLE IF NOT EXISTS calitune.stations (
  station text PRIMARY KEY CHECK (station <> ''),
  login name NOT NULL);
CREATE OR REPLACE FUNCTION calitune.bind_station() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE refused text;
BEGIN
  IF (SELECT rolsuper FROM pg_roles WHERE rolname = session_user)
     OR pg_has_role(session_user, (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'MEMBER') THEN
    RETURN NULL;
  END IF;
  SELECT w.station INTO refused FROM written w WHERE NOT EXISTS (SELECT FROM calitune.stations s
    WHERE s.station = w.station AND s.login = session_user) LIMIT 1;
  IF FOUND THEN
    RAISE EXCEPTION 'login % may not write records of station %', session_user, refused
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS bind_station_insert ON calitune.records;
CREATE TRIGGER bind_station_insert AFTER INSERT ON calitune.records REFERENCING NEW TABLE AS written FOR EACH STATEMENT EXECUTE FUNCTION calitune.bind_station();
DROP TRIGGER IF EXISTS bind_station_update ON calitune.records;
CREATE TRIGGER bind_station_update AFTER UPDATE ON calitune.records REFERENCING NEW TABLE AS written FOR EACH STATEMENT EXECUTE FUNCTION calitune.bind_station();
INSERT INTO calitune.schema_version (version) SELECT 2 WHERE NOT EXISTS (SELECT FROM calitune.schema_version WHERE version = 2);
ALTER TABLE calitune.records ADD COLUMN IF NOT EXISTS fingerprint text GENERATED ALWAYS AS (encode(substring(block_before FROM 13 FOR 4), 'hex')) STORED;
ALTER TABLE calitune.records ALTER COLUMN fingerprint DROP EXPRESSION IF EXISTS;
CREATE OR REPLACE FUNCTION calitune.set_fingerprint() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  NEW.fingerprint := encode(substring(NEW.block_before FROM 13 FOR 4), 'hex');
  RETURN NEW;
END $$;
DROP TRIGGER IF EXISTS set_fingerprint ON calitune.records;
CREATE TRIGGER set_fingerprint BEFORE INSERT OR UPDATE ON calitune.records FOR EACH ROW EXECUTE FUNCTION calitune.set_fingerprint();
CREATE INDEX IF NOT EXISTS records_fingerprint ON calitune.records (fingerprint, time);
INSERT INTO calitune.schema_version (version) SELECT 3 WHERE NOT EXISTS (SELECT FROM calitune.schema_version WHERE version = 3);
DO $$ BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'calitune_station') THEN
    CREATE ROLE "calitune_station" NOLOGIN;
  END IF;
END $$;
GRANT USAGE ON SCHEMA calitune TO "calitune_station";
GRANT SELECT ON calitune.schema_version TO "calitune_station";
GRANT SELECT ON calitune.records TO "calitune_station";
GRANT INSERT (station, local_id, uid, time, source, port, device, radio, action, outcome, block_before, block_sent, block_after, verified, forced, source_file, source_sha256, source_record) ON calitune.records TO "calitune_station";
GRANT UPDATE (outcome, block_before, block_sent, block_after, verified, forced) ON calitune.records TO "calitune_station";
COMMIT;
-- Then one login per station, and the stations it writes for:
--   CREATE ROLE station_01 LOGIN PASSWORD '...' IN ROLE "calitune_station";
--   INSERT INTO calitune.stations VALUES ('line-1', 'station_01');
