#pragma once
#include <string>

struct PoolConnection;

// Handlers of the pool's notifications; the caller holds the connection's mutex.

// mining.notify: builds the next job generation from the line and the last
// mining parameters and makes it the current job.
void handle_mining_notify(PoolConnection& conn, const std::string& line);

// mining.set_difficulty: sets the share target override and retargets the held job.
void handle_set_difficulty(PoolConnection& conn, const std::string& line);

// vexal.set_mining_params: stores the work shape and patterns, then refuses a
// shape the configuration cannot mine (check_pool_shape).
void handle_set_mining_params(PoolConnection& conn, const std::string& line);

// Throws "pool mining config uses unsupported m/n/rank/row/col profile" or
// "pool mining config uses unsupported k/rank shape" unless the pool's shape
// fits the connection's Config.
void check_pool_shape(const PoolConnection& conn);
