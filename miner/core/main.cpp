#include "core/config.h"
#include "core/entry_point.h"
#include "engine/run_miner.h"

int main(int argc, char** argv) { return korvath_main(argc, argv, run_miner); }
