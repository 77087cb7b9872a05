-- The empty store shipped beside the program. Queries that select * read columns by
-- position, so the column order of Device and User is part of the file format.
-- isLatest needs its integer type: inserts write it as the text '1', and
-- "isLatest = 1" must still find the row.
CREATE TABLE Device (
  deviceName   TEXT,
  createdDate  TEXT,
  modifiedDate TEXT,
  remark       TEXT,
  isLatest     INTEGER,
  lowestNote   INTEGER,
  highestNote  INTEGER
);
CREATE TABLE User (
  userId       TEXT,
  token        TEXT,
  createdDate  TEXT,
  modifiedDate TEXT,
  remark       TEXT,
  speakerPc    INTEGER
);
CREATE TABLE Installation (
  installationId TEXT,
  createdDate    TEXT,
  modifiedDate   TEXT
);
CREATE TABLE Midi (
  midiID           TEXT,
  lastModifiedDate TEXT
);
CREATE TABLE Exersise (
  exersiseId       TEXT,
  lastModifiedDate TEXT
);
