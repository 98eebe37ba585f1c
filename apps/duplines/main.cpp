// Quorith: removes duplicate lines from text files.
#include "core/rt.h"
#include "duplines/quorith.h"

int main(int argc, char** argv) { rt_run(argc, argv, quorith_program()); }
