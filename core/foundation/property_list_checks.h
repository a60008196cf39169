#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The checks the property-list reader runs before it hands bytes to libplist, for what the
// library gets wrong on its own:
//  - it builds and frees its tree recursively, so a document nested a million levels deep
//    exhausts the stack inside the library;
//  - its binary reader copies an object each time it is referenced, so a few kilobytes of
//    binary property list whose objects refer to each other twice over expand into billions
//    of values;
//  - its string and key getters abort the process (an assert) on text with a zero
//    character, and it turns a UTF-16 string with an unpaired surrogate into "" silently;
//  - it accepts some truncated XML documents (an excerpt that stops inside an element, or a
//    document missing its closing tags) as whatever it had read so far.
// All of these are refused here, from the bytes alone, without recursion. The nesting
// checks err on the side of refusing: they never let through a document that libplist would
// nest deeper than the limit, and they refuse nothing a real tool writes.
namespace mcom::cf {

// The most values (containers, keys and leaves, counting every reference separately) a
// binary property list may ever expand into.
inline constexpr uint64_t kMaxBinaryPropertyListValues = uint64_t{1} << 21;

// What a binary property list may expand into when libplist copies every shared object.
struct BinaryPropertyListLimits {
  int max_nesting = 0;             // containers within containers
  uint64_t max_values = 0;         // containers, keys and leaves
  uint64_t max_payload_bytes = 0;  // bytes of text and data
};

// The limits the reader applies to a binary property list of `size` bytes: nesting up to
// kMaxNesting; at most 4 values per byte of input (the platform never shares containers, so
// what it writes expands into at most one value per reference) and never more than
// kMaxBinaryPropertyListValues; text and data copies up to 16 times the input, or 16 MiB.
// Work and memory stay proportional to the input, however its objects are shared.
BinaryPropertyListLimits BinaryPropertyListLimitsFor(size_t size);

// For XML text: whether no <array> or <dict> element is nested more than `max_nesting`
// deep. Opening tags are counted wherever they appear (also inside comments, CDATA sections
// and processing instructions); closing tags only outside them, so the count never falls
// below what a parser would see.
// Text with a zero byte answers false (XML cannot hold one).
bool XMLPropertyListWithinLimits(std::string_view text, int max_nesting);

// For XML text: whether every element that is opened is closed again, in order, and every
// comment, CDATA section, processing instruction and declaration ends; so a document cut
// off anywhere fails.
bool XMLElementsBalanced(std::string_view text);

// For a binary property list ("bplist00"): whether its trailer and offset table are sound,
// every container's references name existing objects, no container contains itself, no
// chain of containers from the top object is longer than the limit, the top object expands
// into no more values and payload bytes than allowed, and every string it reaches is free of zero
// characters and (in UTF-16) of unpaired surrogates. Anything malformed answers false.
bool BinaryPropertyListWithinLimits(std::string_view bytes, const BinaryPropertyListLimits& limits);

}  // namespace mcom::cf
