#include "common/module_identity.h"

#include <atomic>

namespace zep {

namespace {
std::atomic<int> workMode{0};
}  // namespace

int WorkMode() { return workMode.load(); }

void SetWorkMode(int mode) { workMode.store(mode); }

}  // namespace zep
