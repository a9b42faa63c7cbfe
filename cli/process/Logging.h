#pragma once

namespace cli {

// Log lines (the node's and the host layer's, through spdlog's default
// logger) go to stderr: standard output carries only what was asked for.
void sendLogsToStderr();

// Writes out what the loggers hold.
void flushLogs();

} // namespace cli
