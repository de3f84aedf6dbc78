// cvie proxy: runs the local filtering HTTP proxy until SIGINT or SIGTERM.
//
// With the user's "InspectHttps" switch on and a local CA present, secure
// sites (CONNECT) are opened and filtered too, except the passthrough hosts.
// The environment variable CVIE_UPSTREAM_CA_FILE names a PEM bundle to verify
// upstream servers against instead of the system's trust store.

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "comm/comm_mgr.h"
#include "comm/list_refresher.h"
#include "comm/update_listener.h"
#include "command.h"
#include "https/host_blocker.h"
#include "https/https_settings.h"
#include "https/interceptor.h"
#include "https/local_ca.h"
#include "ie/blocked_pages.h"
#include "lists/list_set.h"
#include "log/logger.h"
#include "panel/panel_handler.h"
#include "panel/panel_ui.h"
#include "panel/update_page.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/own_listeners.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "platform/upstream_trust.h"
#include "proxy/listen_address.h"
#include "proxy/proxy_server.h"
#include "proxy/request_target.h"
#include "proxy/stop_signal.h"
#include "road/browser_window.h"
#include "road/plugin_host.h"
#include "road/road_handler.h"
#include "rules/current_rules.h"
#include "rules/rule_file.h"

namespace cvie::app {
namespace {

// How long the update worker gets to end when the proxy stops.
constexpr int kUpdateWorkerStopMs = 10000;

// Makes the panel's ui the process's ui for the life of the command. On every
// way out it closes the panel (a question the update worker waits on is
// refused at once), ends the update worker and only then gives the previous
// ui back: the worker must not be left running while the objects it uses go
// away (this ui, and once the command returns the process's log, download
// session and manager), nor turn to another ui with a late question.
class PanelUiScope {
 public:
  explicit PanelUiScope(panel::PanelUi* ui) : ui_(ui), previous_(platform::SetUi(ui)) {}
  ~PanelUiScope() {
    ui_->Close();
    CCommMgr* manager = CommMgr();
    if (manager && !manager->StopWorkers(kUpdateWorkerStopMs)) {
      // Leave without destroying anything the worker may still use.
      fprintf(stderr, "cvie: the update check did not stop; leaving it behind\n");
      fflush(stdout);
      fflush(stderr);
      _Exit(1);
    }
    platform::SetUi(previous_);
  }
  PanelUiScope(const PanelUiScope&) = delete;
  PanelUiScope& operator=(const PanelUiScope&) = delete;

 private:
  panel::PanelUi* ui_;
  platform::Ui* previous_;
};

struct ProxyArgs {
  std::string listen = "127.0.0.1:8118";
  int workers = 0;  // 0: the server's default
  bool workers_given = false;
  bool update_check = true;
  bool no_update_check = false;
  size_t max_filtered_mib = 32;
  size_t max_workers = 0;       // 0: the server's default
  int idle_timeout_ms = 60000;  // hidden option, for tests
  std::string connect_ports = "443";
  int lists_refresh_ms = 2000;  // hidden option, for tests
};

// "443,8443" -> {443, 8443}; false when an entry is not a port (1..65535).
bool ParsePortList(const std::string& text, std::vector<uint16_t>* ports) {
  ports->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(start, comma - start);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.empty() || item.size() > 5 ||
        item.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    unsigned long port = strtoul(item.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) return false;
    ports->push_back(static_cast<uint16_t>(port));
    start = comma + 1;
  }
  return !ports->empty();
}

// Why the local CA's key must not be used, or empty. Said at start so that the
// user learns it before wondering why secure pages are not filtered.
std::string CaKeyProblem() {
  if (!https::InspectHttpsEnabled() || !https::LocalCaPresent()) return "";
  std::string why;
  if (platform::FileIsPrivate(https::LocalCaKeyPath(), &why)) return "";
  return "the local CA key " + platform::ToNarrow(https::LocalCaKeyPath()) + " " + why +
         ": secure sites are tunnelled unfiltered until only you can read it (chmod "
         "600, owned by you)";
}

// A token that names this start of the proxy in the Via header of the
// requests it forwards: a request that comes back carrying it is a loop.
std::string NewLoopToken() {
  std::random_device random;
  std::string token = "cvie-";
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) token += kHex[random() & 15];
  return token;
}

int RunProxy(const ProxyArgs& args) {
  proxy::ListenAddress address;
  std::string error;
  if (!proxy::ParseListenAddress(args.listen, &address, &error)) return UsageError(error);
  if ((args.workers_given && args.workers < 1) || args.workers < 0 ||
      args.workers > 1024) {
    return UsageError("--workers must be a number from 1 to 1024");
  }
  std::vector<uint16_t> connect_ports;
  if (!ParsePortList(args.connect_ports, &connect_ports)) {
    return UsageError(
        "--connect-ports must be a comma-separated list of ports (1 to 65535)");
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
  options.connect_ports = connect_ports;
  options.max_workers = args.max_workers;
  options.loop_token = NewLoopToken();
  options.log = [](const std::string& line) {
    fprintf(stderr, "cvie: %s\n", line.c_str());
  };
  // Verify upstream servers against this bundle instead of the system's.
  if (const char* bundle = getenv("CVIE_UPSTREAM_CA_FILE"); bundle && *bundle) {
    platform::SetUpstreamCaFile(bundle);
  }
  https::Interceptor interceptor(https::Interceptor::UserSources(), options.log);
  options.tls_interception = &interceptor;
  // The subscribed filter lists, loaded before the first request so that
  // pages and tunnels are judged by them from the start; the watcher below
  // reloads them after every change of the lists folder.
  lists::CurrentListSet::Process().ReloadIfChanged(lists::ListsFolderPath());
  // Tunnels to the lists' advertising hosts are refused, also while secure
  // sites are not opened for filtering.
  https::HostBlocker::Sources list_sources = https::HostBlocker::UserSources();
  list_sources.refresh = std::chrono::milliseconds(args.lists_refresh_ms);
  https::HostBlocker host_blocker(list_sources, options.log);
  options.host_policy = &host_blocker;
  panel::TunnelBlocks tunnel_blocks;
  options.on_tunnel_blocked = [&tunnel_blocks](const std::string& host,
                                               const proxy::HostVerdict& verdict) {
    std::string rule =
        verdict.list + ":" + std::to_string(verdict.line) + ": " + verdict.rule;
    tunnel_blocks.Record(host, rule);
    // Listed with the pages on the panel's "Blocked on recent pages".
    RecordTunnelBlock(BlockedPages::Instance(), host, rule, time(nullptr));
    Logger::Instance().Log(LOG_NOTICE, L"blocked the secure site %s (%s)\n", host.c_str(),
                           rule.c_str());
  };
  // The window opens: rules, whitelist, filter and handler registrations, the
  // silent update check.
  // The control panel shows message boxes, questions and dialogs, also those
  // of the update check started with the window.
  road::BrowserWindow window;
  panel::PanelUi ui;
  // The panel's "Updates" page tells what the update checks of this process
  // did, the silent one at start included. The status lives as long as the
  // process, so it stays set.
  SetUpdateListener(&panel::UpdateStatus::Process());
  PanelUiScope ui_scope(&ui);
  road::PluginHost host;
  // The rule file as the window's start reads it: a later install (an
  // update) is loaded by the watcher below; taken before the start, so a
  // file replaced while it is read is read again.
  const std::wstring rule_file = platform::RuleFilePath();
  const std::string rule_stamp = platform::FileVersionStamp(rule_file);
  if (!host.Open(args.update_check, &error, &window)) {
    return Fail(error);
  }
  if (std::string problem = CaKeyProblem(); !problem.empty()) {
    fprintf(stderr, "cvie: warning: %s\n", problem.c_str());
    Logger::Instance().Log(LOG_NOTICE, L"%s\n", problem.c_str());
    ui.AddNotice(L"HTTPS filtering", platform::ToWide(problem));
  }
  window.set_helper(host.helper());
  // The lists are reloaded after every change of the lists folder, on the
  // watcher's own thread; pages take the current set when they start.
  lists::ListSetWatcher list_watcher(&lists::CurrentListSet::Process(),
                                     lists::ListsFolderPath(),
                                     std::chrono::milliseconds(args.lists_refresh_ms));
  // Subscribed lists that fall due while the proxy runs are downloaded on a
  // timer (the start's update check already took those due at start).
  std::optional<ListRefresher> list_refresher;
  if (args.update_check) list_refresher.emplace();
  // A rule file installed while the proxy runs (`cvie update`, the panel's
  // "Check Update") is loaded on the watcher's thread; pages take the rules
  // in force when they start.
  CurrentRules::Process().AssumeLoaded(rule_stamp, RuleFileVersion());
  RulesWatcher rules_watcher(&CurrentRules::Process(), rule_file,
                             std::chrono::milliseconds(args.lists_refresh_ms));
  road::RoadOptions road_options;
  road_options.max_filtered_bytes = args.max_filtered_mib << 20;
  road_options.idle_timeout_ms = args.idle_timeout_ms;
  road_options.via_token = options.loop_token;
  road::RoadHandler road(&window, road_options);
  panel::PanelHandler panel(&window, &ui);
  panel.set_secure_sites(&host_blocker, &tunnel_blocks);
  proxy::ProxyServer server(options, &road, &panel);
  if (!server.Start(&error)) {
    return Fail(error);
  }

  // Upstream connections to our own port are refused: they would loop.
  platform::AddOwnListener(server.address(), server.port());

  printf("cvie proxy listening on http://%s/\n",
         proxy::FormatHostPort(server.address(), server.port()).c_str());
  fflush(stdout);
  int sig = proxy::WaitForStopSignal();
  printf("cvie proxy stopping (signal %d)\n", sig);
  fflush(stdout);
  server.Stop();
  platform::ClearOwnListeners();
  // The window closes: the registrations are withdrawn.
  window.set_helper(nullptr);
  host.Close();
  printf("cvie proxy stopped\n");
  return 0;
}

CommandRun SetupProxy(CLI::App* sub) {
  auto args = std::make_shared<ProxyArgs>();
  sub->add_option("--listen", args->listen,
                  "Address and port to listen on (default 127.0.0.1:8118; port 0 picks a "
                  "free one)");
  CLI::Option* workers = sub->add_option(
      "--workers", args->workers,
      "Workers always ready for requests (default: twice the number of cores); more "
      "start while requests wait for slow servers, up to --max-workers");
  sub->add_option("--max-workers", args->max_workers,
                  "Requests handled at once at most (default: 8 times --workers, at "
                  "least 64)")
      ->check(CLI::Range(1, 4096));
  sub->add_option(
         "--max-filtered-mib", args->max_filtered_mib,
         "HTML pages declaring more than this many MiB pass unfiltered (default 32)")
      ->check(CLI::Range(1, 4096));
  sub->add_option("--connect-ports", args->connect_ports,
                  "Ports that CONNECT (secure sites) may reach, comma-separated; any "
                  "other gets 403 (default 443)");
  // Tests wait seconds, not a minute, for a silent server.
  sub->add_option("--idle-timeout-ms", args->idle_timeout_ms,
                  "How long an upstream server may send nothing")
      ->check(CLI::Range(100, 3600000))
      ->group("");
  sub->add_option("--lists-refresh-ms", args->lists_refresh_ms,
                  "How often the subscribed lists' generation and the rule file are "
                  "looked at")
      ->check(CLI::Range(50, 3600000))
      ->group("");
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
