#pragma once
#include <string>

// Accepts a bech32m "vex" address of witness version 1 with a 32-byte program,
// optionally followed by "." and a worker name (never examined). Otherwise throws
// CliUsageError "invalid Vexal address '<whole text>': <reason>".
void check_payout_address(const std::string& address);
