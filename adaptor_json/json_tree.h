#pragma once

// JSON text to and from property trees: the adaptor's one reader of JSON text, with
// the depth guard the unit's answers need, and the compact writer of the messages
// built as trees. No I/O here.

#include <cstddef>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace halvex::adaptor_json {

// Answers from the unit nested deeper than this are malformed: the JSON reader
// recurses once per level and a deep enough text would overflow its stack.
constexpr std::size_t kMaxJsonDepth = 64;

// The deepest nesting of objects and arrays in a JSON text, brackets inside strings
// not counted. Reads the text as it is; no JSON check beyond that.
std::size_t jsonNestingDepth(const std::string& text);

// The tree of a JSON text. Raises std::runtime_error for a text nested deeper than
// kMaxJsonDepth (before reading it) and the property tree's json_parser_error for a
// text that is no JSON.
boost::property_tree::ptree readJsonTree(const std::string& text);

// The tree as one line of JSON, every value a string, as the property tree writes it
// (with its line end).
std::string compactJson(const boost::property_tree::ptree& tree);

}  // namespace halvex::adaptor_json
