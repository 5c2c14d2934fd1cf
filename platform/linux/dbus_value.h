// User information on the bus: a Dictionary written as `a{sv}` and read back from whatever a
// sender put there. Writing follows the wire format's type table; reading is lenient about types
// and strict about size and depth, so no message can make the reader crash or recurse without
// bound.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>

#include "model/value.h"

namespace trellis::linux {

// Appends `info` to `message` as one `a{sv}` argument. Kinds map as: string s, bool b, int32 i,
// int64 x, uint32 u, uint64 t, double d, float d (the double of the same value), bytes ay,
// array av, dictionary a{sv}, date d (seconds since 1970); null entries are left out of a
// dictionary and become an empty `av` inside an array. Returns 0 or a negative errno.
int appendDictionary(sd_bus_message* message, const Dictionary& info);

// Reads the next argument of `message` as user information. Returns nothing, having skipped the
// argument, when it is not of type `a{sv}`, is nested deeper than `maxDepth`, or cannot be read;
// returns nothing without consuming anything when the message has no further argument. Integer
// types read as their own kind (y, q widen to uint32; n to int32; h and unknown types are
// skipped), o and g as strings, structs and arrays as arrays, a{?v}-like dicts with string-ish
// keys as dictionaries.
std::optional<Dictionary> readDictionary(sd_bus_message* message, int maxDepth);

// The size in bytes that `info` takes on the wire as a{sv}, or an estimate that is never smaller.
std::size_t encodedSize(const Dictionary& info);

}  // namespace trellis::linux
