#pragma once
// The developer-fee window: the last 10 s of every 1000 s of a pool run are
// mined under a built-in developer login.
#include <cstdint>
#include <string>

struct MinerState;

// The built-in developer address, "." and a number from 1 to 10000 drawn
// with this thread's generator.
std::string make_dev_fee_login();

// Whether the window is open `elapsed_seconds` after the run's start.
bool dev_fee_window_open(double elapsed_seconds);

// The fixed share difficulty asked for inside the window, by measured rate.
uint32_t dev_fee_difficulty(double measured_tmac_s);

// Switches the connection's credentials when the window opened or closed
// since the last call: drains the submitter, logs in again, clears the job
// cache and logs the change. Returns whether it switched.
bool dev_fee_tick(MinerState& state);
