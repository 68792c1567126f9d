// Decimal text as the C run-time's atoi reads it, without its undefined
// behaviour on overflow: leading blanks, an optional sign, digits up to the
// first other character. No digits read as 0; overflow saturates.
#pragma once

#include <string>

namespace zep {

int ParseDecimalPrefix(const std::string& text);

}  // namespace zep
