// mrim-inspect: loads the plug-in into the host stand-in, prints its information record and
// everything it registered with the host, then unloads it.
//   mrim-inspect [PLUGIN_FILE]
#include <cstdio>
#include <string>

#include "hostsim/host.h"

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : MRIM_DEFAULT_PLUGIN;
  hostsim::Host host;
  if (!host.load_plugin(path)) {
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), host.error().c_str());
    return 1;
  }
  host.modules_loaded();

  const PluginInfo* info = host.plugin_info();
  std::printf("Plug-in: %s\n", path.c_str());
  std::printf("  name:        %s\n", info->short_name);
  std::printf("  version:     %u.%u.%u.%u\n", (info->version >> 24) & 0xFF, (info->version >> 16) & 0xFF,
              (info->version >> 8) & 0xFF, info->version & 0xFF);
  std::printf("  description: %s\n", info->description);
  for (const auto& protocol : host.registered_protocols())
    std::printf("Protocol registered: %s\n", protocol.c_str());
  std::printf("Services created:\n");
  for (const auto& name : host.service_names())
    for (const auto& protocol : host.registered_protocols())
      if (name.rfind(protocol + "/", 0) == 0) std::printf("  %s\n", name.c_str());
  std::printf("Events hooked:\n");
  for (const auto& name : host.hooked_events()) std::printf("  %s\n", name.c_str());
  std::printf("Contact menu items:\n");
  for (const auto& item : host.menu_items())
    std::printf("  \"%s\" -> %s (contacts of %s)\n", item.name.c_str(), item.service.c_str(),
                item.contact_owner.c_str());
  host.unload_plugins();
  std::printf("Unloaded.\n");
  return 0;
}
