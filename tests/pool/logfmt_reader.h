#pragma once
// A small logfmt reader for checking the miner's log lines from the outside:
// each line is the timestamp, then blank-separated fields, each a bare word
// or key=value; a value in double quotes decodes \" \\ \n \r \t \xHH \uXXXX.
// The gpu label of the fixed prefix is the device's own name, blanks and
// all: it is read up to " component=".
#include <string>
#include <utility>
#include <vector>

struct LogfmtLine {
  std::vector<std::pair<std::string, std::string>> fields;  // bare words have an empty key
  std::string error;  // why the line does not read as logfmt; empty when it does
  std::vector<std::string> keys() const;
  // The first bare word: the line's event.
  std::string event() const;
  // The value of the only field with that key; "<missing>" or "<repeated>" otherwise.
  std::string value(const std::string& key) const;
};

LogfmtLine read_logfmt(const std::string& line);

// The lines of a captured log that contain `piece`, each read.
std::vector<LogfmtLine> logfmt_lines_with(const std::string& log, const std::string& piece);
