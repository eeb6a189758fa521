#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace halvex::configuration {

// The settings of the bridge's XML configuration file (root element "Halvex").
//
// The entry point builds one Configuration for the life of the process; every
// controller re-reads the file into it with load() when it starts, so edits made
// while the bridge runs are picked up at the next rebuild of the controller.
//
// Field names are the file's element names.
//
// The keys that only some editions read; each edition names its own (edition_*.h).
struct ConfigurationKeys {
    // "SimulatorIP" and "RHMIP": the simulator server's APP and SIM addresses.
    bool simulatorAddresses = false;
};

class Configuration {
public:
    explicit Configuration(std::string path, ConfigurationKeys keys = {});
    virtual ~Configuration();

    // Elements nested deeper than this make a file unreadable: the XML reader
    // recurses once per level, and a file of some 50,000 nested elements would
    // overflow its stack. Real files nest three levels.
    static constexpr std::size_t kMaxXmlDepth = 64;

    // Reads the file into the fields, printing progress and errors. Never throws.
    bool load();
    // The same from the file's text, as if the file held it: what load() does after
    // reading the file, with the same lines (errors name path()). Never throws.
    bool loadText(const std::string& xml);
    // Backs the file up (a time-stamped ".bak" copy beside it) and writes it anew from
    // the fields, printing progress and errors. The fields keep their values whatever
    // happens; false when the file could not be rewritten, and then the file is as it
    // was. Never throws.
    //
    // The backup is "<path>.<%d-%m-%Y %H-%M-%S>.bak" in local time; when that name is
    // taken (two saves in one second) ".1", ".2", ... go before ".bak": no backup is
    // ever overwritten. A save fails, leaving the file alone, when the backup cannot
    // be made in full or the file is read-only (no write permission for its owner).
    // A missing file is written without a backup.
    bool save();

    const std::string& path() const { return path_; }

    std::int32_t SPO2Scale = 5;
    std::string SerialID;
    std::string IPAddress;
    std::string IPRangeStart;
    std::string IPRangeEnd;
    // Read only with ConfigurationKeys::simulatorAddresses; these defaults otherwise.
    std::string SimulatorIP = "127.0.0.1";
    std::string RHMIP = "127.0.0.1";
    // Calibration tables, in ascending key order.
    std::map<float, float> CO2Calibration;
    std::map<float, float> SPO2Calibration;

private:
    void loadSimulatorAddresses(const boost::property_tree::ptree& tree);
    // The file save() writes, as text.
    std::string writtenText() const;

    std::string path_;
    ConfigurationKeys keys_;
};

}  // namespace halvex::configuration
