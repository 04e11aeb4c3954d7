#include "pipe/target.h"

namespace trb {

std::atomic<MainHandler*> g_main_handler{nullptr};

}  // namespace trb
