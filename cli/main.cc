// trellis: the companion of trellis-agent.
#include "cli/companion.h"

int main(int argc, char** argv) { return trellis::cli::runCompanion(argc, argv); }
