// cvie proxy: runs the local filtering HTTP proxy until SIGINT or SIGTERM.
//
// With the user's "InspectHttps" switch on and a local CA present, secure
// sites (CONNECT) are opened and filtered too, except the passthrough hosts.
// The environment variable CVIE_UPSTREAM_CA_FILE names a PEM bundle to verify
// upstream servers against instead of the system's trust store.

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "command.h"
#include "https/interceptor.h"
#include "panel/panel_handler.h"
#include "panel/panel_ui.h"
#include "platform/ui.h"
#include "platform/upstream_trust.h"
#include "proxy/listen_address.h"
#include "proxy/proxy_server.h"
#include "proxy/request_target.h"
#include "proxy/stop_signal.h"
#include "road/browser_window.h"
#include "road/plugin_host.h"
#include "road/road_handler.h"

namespace cvie::app {
namespace {

struct ProxyArgs {
  std::string listen = "127.0.0.1:8118";
  int workers = 0;  // 0: the server's default
  bool workers_given = false;
  bool update_check = true;
  bool no_update_check = false;
  size_t max_filtered_mib = 32;
};

int RunProxy(const ProxyArgs& args) {
  proxy::ListenAddress address;
  std::string error;
  if (!proxy::ParseListenAddress(args.listen, &address, &error)) return Fail(error);
  if ((args.workers_given && args.workers < 1) || args.workers < 0 ||
      args.workers > 1024) {
    return Fail("--workers must be a number from 1 to 1024");
  }
  std::string where = proxy::FormatHostPort(address.host, address.port);
  if (!proxy::IsLoopbackAddress(address.host)) {
    fprintf(stderr,
            "cvie: warning: listening on %s, not on loopback: other computers that reach "
            "this address can use the proxy\n",
            where.c_str());
  }

  // Before any thread starts, so that every thread inherits the blocked signals.
  proxy::BlockStopSignals();

  proxy::ProxyServerOptions options;
  options.address = address.host;
  options.port = address.port;
  options.workers = static_cast<size_t>(args.workers);
  options.log = [](const std::string& line) {
    fprintf(stderr, "cvie: %s\n", line.c_str());
  };
  // Verify upstream servers against this bundle instead of the system's.
  if (const char* bundle = getenv("CVIE_UPSTREAM_CA_FILE"); bundle && *bundle) {
    SetUpstreamCaFile(bundle);
  }
  https::Interceptor interceptor(https::Interceptor::UserSources(), options.log);
  options.tls_interception = &interceptor;
  // The window opens: rules, whitelist, filter and handler registrations, the
  // silent update check.
  // The control panel shows message boxes, questions and dialogs, also those
  // of the update check started with the window.
  road::BrowserWindow window;
  panel::PanelUi ui;
  platform::Ui* previous_ui = platform::SetUi(&ui);
  road::PluginHost host;
  if (!host.Open(args.update_check, &error, &window)) {
    platform::SetUi(previous_ui);
    return Fail(error);
  }
  window.set_helper(host.helper());
  road::RoadOptions road_options;
  road_options.max_filtered_bytes = args.max_filtered_mib << 20;
  road::RoadHandler road(&window, road_options);
  panel::PanelHandler panel(&window, &ui);
  proxy::ProxyServer server(options, &road, &panel);
  if (!server.Start(&error)) {
    platform::SetUi(previous_ui);
    return Fail(error);
  }

  printf("cvie proxy listening on http://%s/\n",
         proxy::FormatHostPort(server.address(), server.port()).c_str());
  fflush(stdout);
  int sig = proxy::WaitForStopSignal();
  printf("cvie proxy stopping (signal %d)\n", sig);
  fflush(stdout);
  server.Stop();
  // The window closes: the registrations are withdrawn.
  window.set_helper(nullptr);
  host.Close();
  platform::SetUi(previous_ui);
  printf("cvie proxy stopped\n");
  return 0;
}

CommandRun SetupProxy(CLI::App* sub) {
  auto args = std::make_shared<ProxyArgs>();
  sub->add_option("--listen", args->listen,
                  "Address and port to listen on (default 127.0.0.1:8118; port 0 picks a "
                  "free one)");
  CLI::Option* workers =
      sub->add_option("--workers", args->workers,
                      "Requests handled at once (default: twice the number of cores)");
  sub->add_option(
         "--max-filtered-mib", args->max_filtered_mib,
         "HTML pages declaring more than this many MiB pass unfiltered (default 32)")
      ->check(CLI::Range(1, 4096));
  CLI::Option* no_update = sub->add_flag("--no-update-check", args->no_update_check,
                                         "Do not run the silent update check at start");
  return [args, workers, no_update] {
    args->update_check = no_update->count() == 0;
    args->workers_given = workers->count() > 0;
    return RunProxy(*args);
  };
}

CommandRegistrar kProxy("proxy", "Run the local filtering HTTP proxy", SetupProxy);

}  // namespace
}  // namespace cvie::app
