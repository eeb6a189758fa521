#include "app/configuration.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <iostream>

#include "app/configuration_edition.h"

namespace pt = boost::property_tree;

namespace {

// Reads every entry of a calibration element into the table. Only child elements
// are entries: the XML reader keeps comments (and could keep other nodes) as
// children named "<xml...>", and reading those as points 0 -> 0 would bend the
// SpO2 and CO2 curves.
void readCalibrationTable(const pt::ptree& tree, const char* path, std::map<float, float>& table) {
    for (const auto& child : tree.get_child(path)) {
        const std::string& name = child.first;
        if (name.empty() || name[0] == '<') {
            continue;
        }
        const float key = child.second.get<float>("<xmlattr>.key", 0.0f);
        const float value = child.second.get<float>("<xmlattr>.value", 0.0f);
        table[key] = value;  // a later entry with an equal key wins
    }
}

}  // namespace

Configuration::Configuration(std::string path) : path_(std::move(path)) {}

Configuration::~Configuration() = default;

bool Configuration::load() {
    std::cout << "HX>Reading configuration file: " << path_ << std::endl;
    // Every read starts from empty tables, so an entry deleted from the file is gone
    // after the next read.
    SPO2Calibration.clear();
    CO2Calibration.clear();
    try {
        pt::ptree tree;
        pt::read_xml(path_, tree);

        SPO2Scale = tree.get<std::int32_t>("Halvex.SPO2Scale");
        SerialID = tree.get<std::string>("Halvex.SerialID");
        IPAddress = tree.get<std::string>("Halvex.IPAddress");

        readCalibrationTable(tree, "Halvex.SPO2Calibration", SPO2Calibration);
        if (SPO2Calibration.empty()) {
            std::cerr << "HX>ERROR>Missing \"Halvex.SPO2Calibration\" into configuration XML" << std::endl;
            return false;
        }
        readCalibrationTable(tree, "Halvex.CO2Calibration", CO2Calibration);
        if (CO2Calibration.empty()) {
            std::cerr << "HX>ERROR>Missing \"Halvex.CO2Calibration\" into configuration XML" << std::endl;
            return false;
        }

        try {
            IPRangeStart = tree.get<std::string>("Halvex.IPRangeStart");
            IPRangeEnd = tree.get<std::string>("Halvex.IPRangeEnd");
        } catch (const pt::ptree_error& error) {
            std::cerr << "HX>ERROR>" << error.what() << std::endl;
            std::cerr << "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring."
                      << std::endl;
        }

        loadEditionSettings(*this, tree);
    } catch (const std::exception& error) {
        std::cerr << "HX>ERROR>" << error.what() << std::endl;
        std::cerr << "Unable to read the configuration file" << std::endl;
        return false;
    }
    std::cout << "HX>Configuration file read succesfully." << std::endl;
    return true;
}
