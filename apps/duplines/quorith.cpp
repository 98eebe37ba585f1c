// Quorith's main flow.
#include "duplines/quorith.h"

namespace {
void quorith_main() {}
const RtProgram g_program = {nullptr, nullptr, nullptr, quorith_main};
}  // namespace

const RtProgram& quorith_program() { return g_program; }
