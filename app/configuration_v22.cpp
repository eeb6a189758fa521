// The v2.2 edition reads no keys beyond the shared ones: both of its simulator
// connections go to the local server.
#include "app/configuration.h"
#include "app/configuration_edition.h"

void loadEditionSettings(Configuration&, const boost::property_tree::ptree&) {}
