#include "sim/tools/tools.h"

namespace sim::tools {

// FIXME: not built yet.
int RunAsr(ToolContext& context) { return context.Fail("not available on this machine yet"); }

}  // namespace sim::tools
