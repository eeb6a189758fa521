#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

class Configuration;

// What one edition reads from the configuration file beyond the shared keys. Each
// edition links its own definition (configuration_json.cpp, configuration_v22.cpp).
void loadEditionSettings(Configuration& configuration, const boost::property_tree::ptree& tree);
