#include "adaptor_json/json_tree.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>

namespace pt = boost::property_tree;

namespace halvex::adaptor_json {

std::size_t jsonNestingDepth(const std::string& text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

pt::ptree readJsonTree(const std::string& text) {
    if (jsonNestingDepth(text) > kMaxJsonDepth)
        throw std::runtime_error("JSON text nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    std::istringstream in(text);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

std::string compactJson(const pt::ptree& tree) {
    std::ostringstream out;
    pt::write_json(out, tree, false);
    return out.str();
}

}  // namespace halvex::adaptor_json
