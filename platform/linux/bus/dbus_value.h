// User information on the bus: a Dictionary written as `a{sv}` and read back from whatever a
// sender put there. Writing follows the wire format's type table; reading is lenient about types
// and strict about size and depth, so no message can make the reader crash or recurse without
// bound. The functions keep no state; a message is used by one thread at a time.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <optional>

#include "model/value.h"

namespace trellis::lnx {

// Appends `info` to `message` as one `a{sv}` argument. Kinds map as: string s, bool b, int32 i,
// int64 x, uint32 u, uint64 t, double d, float d (the double of the same value), bytes ay,
// array av, dictionary a{sv}, date d (seconds since 1970); null entries are left out of a
// dictionary and become an empty `av` inside an array. Returns 0 or a negative errno:
// -ELOOP, before anything is written, when the value would nest more than 64 containers on the
// wire (a bus daemon drops the whole connection of a sender that goes deeper), -EINVAL for a
// text or key holding NUL or not UTF-8, or what sd-bus returns. After a failure the message is
// only fit to be dropped.
int appendDictionary(sd_bus_message* message, const Dictionary& info);

// Reads the next argument of `message` as user information. Returns nothing, having skipped the
// argument, when it is not of type `a{sv}` or is nested deeper than `maxDepth` (counted as
// Value::depth() counts the result: the dictionary itself is 1). Returns nothing without
// consuming anything when the message has no further argument. A message sd-bus cannot read
// (a corrupted body, or more than 128 containers deep, which sd-bus refuses to enter) also gives
// nothing, and reading the rest of it may then fail too.
//
// Inside the argument anything is accepted: y and q read as uint32, n as int32, i x u t d b s as
// their own kinds, o and g as strings; variants are unwrapped (they add no depth); structs and
// arrays become arrays, except `ay`, which becomes bytes, and arrays of dict entries, which
// become dictionaries whatever their value type. Keys of dict entries are text as they are;
// integer, boolean and double keys are written out in decimal ("7", "true", "0.5"); a key sent
// twice keeps its last value. File descriptors (h) are left out, as are entries keyed by one.
std::optional<Dictionary> readDictionary(sd_bus_message* message, int maxDepth);

// The size in bytes that `info` adds to a message body as an a{sv} argument: never less than it
// takes wherever in the body it starts (its padding depends on that), and at most 4 bytes more.
// It walks `info` once, without building a message.
std::size_t encodedSize(const Dictionary& info);

}  // namespace trellis::lnx
