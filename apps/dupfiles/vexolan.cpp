// Vexolan's main flow.
#include "dupfiles/vexolan.h"

namespace {
void vexolan_main() {}
const RtProgram g_program = {nullptr, nullptr, nullptr, vexolan_main};
}  // namespace

const RtProgram& vexolan_program() { return g_program; }
