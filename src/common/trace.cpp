#include "common/trace.h"

namespace vemra::trace {

void function(const char* message) { sink(Kind::Function, message, 0); }

void step(const char* message) { sink(Kind::Step, message, 0); }

void value(const char* format, long value) { sink(Kind::Value, format, value); }

}  // namespace vemra::trace
