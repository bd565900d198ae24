#pragma once
#include "proof/plain_proof.h"

struct HostSignalHeader;

// The A rows and B columns a reported candidate touches: the tile's base plus
// each distinct in-tile row (column), ascending.
OpenedRowsCols candidate_rows_cols(const HostSignalHeader& header);
