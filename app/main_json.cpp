// halvex-relay-json: the bridge with the JSON edition and its TCP unit adaptor.
#include <memory>

#include "adaptor_json/halvex_adaptor.h"
#include "app/entry.h"
#include "controller/edition_json.h"
#include "controller/last_address_store.h"

using halvex::adaptor_json::HalvexAdaptor;
using halvex::app::Program;
using halvex::configuration::Configuration;
using halvex::controller::JsonEdition;
using halvex::controller::WifiSettings;

int main(int argc, char** argv) {
    // One record of the last unit reached for the whole process, in the current folder.
    auto lastAddress = std::make_shared<halvex::controller::LastAddressStore>(".");
    const Program program{
        JsonEdition::kConfigurationKeys,
        [lastAddress](Configuration& configuration) {
            return std::make_unique<JsonEdition>(configuration, std::make_unique<HalvexAdaptor>(lastAddress));
        },
        [lastAddress](const WifiSettings& settings) {
            HalvexAdaptor unit(lastAddress);
            return JsonEdition::setUpWifi(unit, settings);
        }};
    return halvex::app::runEntryPoint(argc, argv, program);
}
