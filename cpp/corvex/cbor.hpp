// The binary codec: CBOR (RFC 8949), for values JSON cannot carry.
//
// cbor_dumps writes None, the booleans, integers, floats, str, bytes, lists
// and dicts as CBOR's own items, and the other values it knows under tags:
//   registered   0 aware datetime (RFC 3339 text)     1004 date (RFC 8943 text)
//                2/3 integers beyond 64 bits          4 Decimal [exponent, mantissa]
//                37 UUID (16 bytes)                  258 set (array)
//                40 NumPy array [shape, typed array]  64..87 typed arrays (RFC 8746)
//   sorvane's    kTagTuple .. kTagDecimalText (below), where no registered tag fits.
// cbor_loads builds exactly those values and nothing else: any other tag or
// simple value, an indefinite-length item, nesting deeper than kMaxDepth, a
// length or count the input cannot hold and trailing bytes are refused with
// CodecError (a ValueError). A typed array comes back as a read-only NumPy
// array over the input's own bytes; NumPy is imported only for one.
//
// This header holds what the writer (cbor_encode.cpp) and the reader
// (cbor_decode.cpp) share: the tags and the nesting bound. The module's
// functions are in cbor.cpp.
#pragma once

#include "corvex.hpp"

#include <cstdint>

namespace sorvane::corvex {

// sorvane's own tags (first-come range of the tag registry), each over the
// item in brackets.
constexpr std::uint64_t kTagTuple = 52992;          // tuple [array]
constexpr std::uint64_t kTagFrozenset = 52993;      // frozenset [array]
constexpr std::uint64_t kTagBytearray = 52994;      // bytearray [byte string]
constexpr std::uint64_t kTagNaiveDatetime = 52995;  // datetime without offset [ISO 8601 text]
constexpr std::uint64_t kTagTime = 52996;           // time of day [ISO 8601 text]
constexpr std::uint64_t kTagTimedelta = 52997;      // timedelta [[days, seconds, microseconds]]
constexpr std::uint64_t kTagDecimalText = 52998;    // Decimal tag 4 cannot hold [text]

constexpr std::uint64_t kTagDatetime = 0, kTagPositive = 2, kTagNegative = 3, kTagDecimal = 4,
                        kTagUuid = 37, kTagNdarray = 40, kTagSet = 258, kTagDate = 1004,
                        kTagSelfDescribed = 55799;

// How deep values may nest, either way (a circular value ends here too).
constexpr int kMaxDepth = 256;

}  // namespace sorvane::corvex
