#include "adaptor_json/answer_reading.h"

#include <exception>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "adaptor_json/json_tree.h"
#include "platform/line_sink.h"

namespace halvex::adaptor_json {

std::string getJsonValue(const std::string& json, const std::string& path) {
    try {
        return readJsonTree(json).get<std::string>(path);
    } catch (const std::exception& error) {
        platform::printErr(std::string("HX>ERROR>") + error.what() + "\n" +
                           "Error while trying to locate value for key: " + path);
        return std::string();
    }
}

std::string indentedJson(const std::string& json) {
    std::ostringstream out;
    boost::property_tree::write_json(out, readJsonTree(json), true);
    return out.str();
}

}  // namespace halvex::adaptor_json
