#include "configuration/configuration.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>

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

namespace {

namespace fs = std::filesystem;

// Local time as the backup names want it: "%d-%m-%Y %H-%M-%S".
std::string backupStamp() {
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    const boost::gregorian::date day = now.date();
    const boost::posix_time::time_duration time = now.time_of_day();
    char text[96];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d-%02d-%02d", static_cast<int>(day.day()),
                  static_cast<int>(day.month()), static_cast<int>(day.year()), static_cast<int>(time.hours()),
                  static_cast<int>(time.minutes()), static_cast<int>(time.seconds()));
    return text;
}

// A backup path no file holds yet: the stamped name, or, when a save in the same second
// made that one, the stamped name with a counter before ".bak". An existing backup is
// never overwritten.
std::string freeBackupPath(const std::string& path) {
    const std::string stem = path + "." + backupStamp();
    for (int counter = 0;; ++counter) {
        const std::string candidate = stem + (counter == 0 ? "" : "." + std::to_string(counter)) + ".bak";
        std::error_code ignored;
        if (!fs::exists(candidate, ignored))
            return candidate;
    }
}

// A byte-for-byte copy of `from`, complete or reported: an error text, empty on success.
std::string copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return "cannot read " + from;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out)
        return "cannot create the backup " + to;
    out << in.rdbuf();
    out.flush();
    const bool complete = in.good() || in.eof();
    out.close();
    if (!complete || !out)
        return "cannot write the backup " + to;
    return {};
}

// Up to 9 significant digits, whole numbers without a fraction: 97 -> "97", 0.5 -> "0.5".
std::string numberText(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(9);
    text << value;
    return text.str();
}

pt::ptree calibrationSection(const std::map<float, float>& table) {
    pt::ptree section;
    for (const auto& [key, value] : table) {
        pt::ptree entry;
        entry.put("<xmlattr>.key", numberText(key));
        entry.put("<xmlattr>.value", numberText(value));
        section.add_child("Entry", entry);
    }
    return section;
}

}  // namespace

// The file is replaced only once a complete backup of it exists, and only by a
// complete new file: the new text goes to a temporary file beside it, which then takes
// the file's place in one rename. A failure at any step leaves the file as it was.
bool Configuration::save() {
    std::string temporary;
    try {
        std::error_code missing;
        const bool exists = fs::exists(path_, missing);
        if (exists) {
            const std::string backup = freeBackupPath(path_);
            const std::string failure = copyFile(path_, backup);
            if (!failure.empty())
                throw std::runtime_error(failure + "; the configuration file was left as it was");
            // An operator who made the file read-only keeps it: the backup is made, the
            // file is not replaced.
            if ((fs::status(path_).permissions() & fs::perms::owner_write) == fs::perms::none)
                throw std::runtime_error(path_ + " is read-only");
        }
        // With no file there is nothing to back up, and nothing to lose.

        pt::ptree tree;
        tree.put("Halvex.IPAddress", IPAddress);
        tree.put("Halvex.IPRangeStart", IPRangeStart);
        tree.put("Halvex.IPRangeEnd", IPRangeEnd);
        tree.put("Halvex.SerialID", SerialID);
        tree.put("Halvex.SPO2Scale", SPO2Scale);
        tree.add_child("Halvex.CO2Calibration", calibrationSection(CO2Calibration));
        tree.add_child("Halvex.SPO2Calibration", calibrationSection(SPO2Calibration));

        temporary = path_ + ".saving";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (!out)
                throw std::runtime_error("cannot create " + temporary);
            pt::write_xml(out, tree, pt::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));
            out.close();
            if (!out)
                throw std::runtime_error("cannot write " + temporary);
        }
        fs::rename(temporary, path_);
        temporary.clear();
    } catch (const std::exception& error) {
        if (!temporary.empty()) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
        }
        printErr(std::string("HX>ERROR>") + error.what());
        printErr("Unable to save the configuration file");
        return false;
    }
    printOut("HX>Configuration file has been written at: " + path_);
    printOut(path_);
    return true;
}
