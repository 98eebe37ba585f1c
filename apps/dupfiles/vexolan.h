// Vexolan's program logic and the library steps it runs with.
#pragma once
#include "core/rt.h"

const RtProgram& vexolan_program();
