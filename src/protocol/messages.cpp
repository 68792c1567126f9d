#include "protocol/messages.h"

namespace zep {

namespace {
const char* const kMessages[] = {
    "",  // no message 0
    "Function not found",
    "Invalid parameter type.",
    "Invalid parameter count.",
    "Unsupported browser client. Please try Lumora plugin edition for chrome in Chrome!",
};
}  // namespace

const char* Message(MessageId id) { return kMessages[id]; }

}  // namespace zep
