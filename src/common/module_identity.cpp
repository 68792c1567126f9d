#include "common/module_identity.h"

#include <atomic>

namespace zep {

namespace {
std::atomic<int> workMode{ZEP_WORK_MODE_SERVICE};
}  // namespace

int WorkMode() { return workMode.load(); }

void SetWorkMode(int mode) { workMode.store(mode); }

}  // namespace zep
