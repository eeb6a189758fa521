// The JSON edition's configuration keys: the simulator server addresses.
#include <boost/property_tree/ptree.hpp>

#include <iostream>

#include "app/configuration.h"
#include "app/configuration_edition.h"

void loadEditionSettings(Configuration& configuration, const boost::property_tree::ptree& tree) {
    try {
        configuration.SimulatorIP = tree.get<std::string>("Halvex.SimulatorIP");
        configuration.RHMIP = tree.get<std::string>("Halvex.RHMIP");
    } catch (const boost::property_tree::ptree_error& error) {
        std::cerr << "HX>ERROR>" << error.what() << std::endl;
        std::cerr << "Unable to read \"SimulatorIP or RHMIP\" from the configuration file. Ignoring and using "
                     "default of 127.0.0.1 for both."
                  << std::endl;
    }
}
