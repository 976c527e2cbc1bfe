-- The FILELIST table: one row per QRX4.0 waveform file, written by livemill
-- and cardmill. The same text works on SQLite and PostgreSQL.
-- CPATH is the file's path relative to the QRX4.0 data directory,
-- "<station>/<file name>"; LDDATE is the local time of the last write;
-- TBEGIN is the file start in seconds since 1970-01-01 UTC, TQTY its length
-- in seconds, FOFF the offset of the first sample.
CREATE TABLE IF NOT EXISTS FILELIST (
    STA      VARCHAR(255) NOT NULL,
    SPS      DOUBLE PRECISION,
    GAIN     INTEGER,
    CPATH    VARCHAR(255) NOT NULL,
    DATATYPE INTEGER,
    CH       VARCHAR(255),
    CREATER  VARCHAR(255),
    LDDATE   TIMESTAMP,
    TBEGIN   DOUBLE PRECISION,
    TQTY     DOUBLE PRECISION,
    FOFF     INTEGER
);

-- Every write finds its row by path; one row per file.
CREATE UNIQUE INDEX IF NOT EXISTS FILELIST_CPATH ON FILELIST (CPATH);
