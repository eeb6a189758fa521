#include "configuration/configuration.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "platform/line_sink.h"

namespace pt = boost::property_tree;
using halvex::platform::printErr;
using halvex::platform::printOut;

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

Configuration::Configuration(std::string path, ConfigurationKeys keys) : path_(std::move(path)), keys_(keys) {}

Configuration::~Configuration() = default;

bool Configuration::load() {
    printOut("HX>Reading configuration file: " + path_);
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
            printErr("HX>ERROR>Missing \"Halvex.SPO2Calibration\" into configuration XML");
            return false;
        }
        readCalibrationTable(tree, "Halvex.CO2Calibration", CO2Calibration);
        if (CO2Calibration.empty()) {
            printErr("HX>ERROR>Missing \"Halvex.CO2Calibration\" into configuration XML");
            return false;
        }

        try {
            IPRangeStart = tree.get<std::string>("Halvex.IPRangeStart");
            IPRangeEnd = tree.get<std::string>("Halvex.IPRangeEnd");
        } catch (const pt::ptree_error& error) {
            printErr(std::string("HX>ERROR>") + error.what());
            printErr("Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring.");
        }

        if (keys_.simulatorAddresses)
            loadSimulatorAddresses(tree);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printErr("Unable to read the configuration file");
        return false;
    }
    printOut("HX>Configuration file read succesfully.");
    return true;
}

void Configuration::loadSimulatorAddresses(const pt::ptree& tree) {
    try {
        SimulatorIP = tree.get<std::string>("Halvex.SimulatorIP");
        RHMIP = tree.get<std::string>("Halvex.RHMIP");
    } catch (const pt::ptree_error& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printErr("Unable to read \"SimulatorIP or RHMIP\" from the configuration file. Ignoring and using "
                 "default of 127.0.0.1 for both.");
    }
}

bool Configuration::save() {
    printErr("HX>ERROR>Saving the configuration is not available in this build yet.");
    printErr("Unable to save the configuration file");
    return false;
}
