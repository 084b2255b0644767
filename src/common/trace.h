// The driver's trace facility: three calls through which every entry point
// reports its progress. The messages go to one sink, chosen when the driver
// is linked: the delivered library discards them, the test build keeps them.
#pragma once

namespace vemra::trace {

// Entry and exit of an entry point ("Function CardReadFile called").
void function(const char* message);
// A step after an argument check or a notable outcome ("\tPIN BLOCKED\n").
void step(const char* message);
// A message with one integer argument, formatted printf-style ("%d").
void value(const char* format, long value);

// The sink behind the three calls; defined once per link.
enum class Kind { Function, Step, Value };
void sink(Kind kind, const char* message, long value);

}  // namespace vemra::trace
