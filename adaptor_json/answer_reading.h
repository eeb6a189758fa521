#pragma once

// Reading the unit's answers (JSON texts, after their frame and length check): one
// member as text, or the whole answer indented for the operator. Every answer is read
// through readJsonTree (json_tree.h), so one nested deeper than kMaxJsonDepth is
// refused before it is parsed.

#include <string>

namespace halvex::adaptor_json {

// Reads one member of a JSON text, every value as text ('.' separates levels).
// When the text is no JSON (or nested deeper than kMaxJsonDepth) or the member is
// missing: prints "HX>ERROR><reason>" and
// "Error while trying to locate value for key: <path>" on standard error and
// returns empty text.
std::string getJsonValue(const std::string& json, const std::string& path);
// The JSON text indented, four spaces per level; raises on a text that is no JSON or
// is nested deeper than kMaxJsonDepth.
std::string indentedJson(const std::string& json);

}  // namespace halvex::adaptor_json
