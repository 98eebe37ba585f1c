// Vexolan: deletes duplicate files below one directory.
#include "core/rt.h"
#include "dupfiles/vexolan.h"

int main(int argc, char** argv) { rt_run(argc, argv, vexolan_program()); }
