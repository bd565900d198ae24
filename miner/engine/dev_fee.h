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
// cache and logs the change. A fee login the pool refuses, or that cannot
// connect within a few tries, gives the window up at once: a WARN line, the
// user's credentials back, and no new try until the window has closed.
// Returns whether it switched (the job cache is then cleared).
bool dev_fee_tick(MinerState& state);

// Test seam: moves the clock the window reads by `offset_ns`, so a test can
// put a run into and out of the window.
void set_dev_fee_clock_offset_ns(int64_t offset_ns);
