// halvex-relay-json: the bridge with the JSON edition and its TCP unit adaptor.
#include "adaptor_json/halvex_adaptor.h"
#include "app/entry.h"
#include "controller/edition_json.h"

int main(int argc, char** argv) {
    const Program program{JsonEdition::kConfigurationKeys, [](const Configuration& configuration) {
                              return std::make_unique<JsonEdition>(configuration,
                                                                   std::make_unique<HalvexAdaptor>());
                          }};
    return runEntryPoint(argc, argv, program);
}
